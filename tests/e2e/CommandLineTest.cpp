// The spindraxel command line as a user meets it: refusals in one line naming the fault, and help made from the same
// definitions as the parser. (analyze's JSON is compared whole, escapes included, with the other commands.)
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/CommandRunner.h"

namespace {

using testsupport::CommandResult;
using testsupport::RunSpindraxel;

struct RefusalCase {
  std::vector<std::string> args;
  const char* error;  // all of standard error, one line
};
void PrintTo(const RefusalCase& refusal, std::ostream* out) { *out << refusal.error; }

// No image is read in any of these: the command line is refused before.
// clang-format off
const RefusalCase kRefusals[] = {
    {{"check", "x.img", "--json"}, "spindraxel check: unknown option '--json'; see 'spindraxel check --help'"},
    {{"analyze", "x.img", "--jsn"}, "spindraxel analyze: unknown option '--jsn' (did you mean --json?)"},
    // Unknown before missing: the misspelt flag is why --registry and --file seem to be missing.
    {{"prepare", "x.img", "--chek-integrity"},
     "spindraxel prepare: unknown option '--chek-integrity' (did you mean --check-integrity?)"},
    {{"boot", "--bogus", "--", "sxboottime x"},
     "spindraxel boot: unknown option '--bogus'; see 'spindraxel boot --help'"},
    {{"boot", "--dryrun", "--drive", "C=x.img", "sxboottime", "x"},
     "spindraxel boot: unknown option '--dryrun' (did you mean --dry-run?)"},
    {{"boot", "--stats", "/nonexistent/s.json", "--drive", "C=x.img", "--", "sxboottime x"},
     "spindraxel boot: --stats /nonexistent/s.json: No such file or directory"},
    {{"map", "x.img", "--out", "x.png", "--widht=300"},
     "spindraxel map: unknown option '--widht' (did you mean --width?)"},
    {{"image", "create", "x.img", "--sise", "1M"}, "spindraxel image: unknown option '--sise' (did you mean --size?)"},
    {{"image", "fragment", "x.img", "--sed", "3"}, "spindraxel image: unknown option '--sed' (did you mean --seed?)"},
    {{"map", "x.img", "--out"}, "spindraxel map: --out needs a value; see 'spindraxel map --help'"},
    {{"prepare", "x.img", "--file", "a.bin"},
     "spindraxel prepare: --registry is required; see 'spindraxel prepare --help'"},
    {{"boot", "--registry", "a.reg", "--registry", "b.reg"},
     "spindraxel boot: --registry may be given only once; see 'spindraxel boot --help'"},
    {{"image", "create", "x.img"}, "spindraxel image: --size is required; see 'spindraxel image create --help'"},
    {{"image", "nosuch", "x.img"}, "spindraxel image: unexpected argument 'nosuch'; see 'spindraxel image --help'"},
    {{"help", "nosuch"}, "spindraxel help: unknown command 'nosuch'; 'spindraxel help' lists the commands"},
    {{"nosuch"}, "spindraxel: unknown command 'nosuch'; 'spindraxel help' lists the commands"},
    {{"chekc", "x.img"}, "spindraxel: unknown command 'chekc'; did you mean check?"},
};
// clang-format on

class CommandLineRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(CommandLineRefusal, IsOneLineOnStandardErrorAndStatusTwo) {
  const CommandResult result = RunSpindraxel(GetParam().args);
  EXPECT_EQ(2, result.exitStatus);
  EXPECT_EQ("", result.out);
  EXPECT_EQ(std::string(GetParam().error) + "\n", result.err);
}

INSTANTIATE_TEST_SUITE_P(CommandLineArguments, CommandLineRefusal, testing::ValuesIn(kRefusals));

TEST(CommandLineHelp, HelpCommandShowsWhatTheHelpOptionShows) {
  for (const std::string command : {"analyze", "boot", "check", "image", "map", "prepare"}) {
    const CommandResult help = RunSpindraxel({"help", command});
    EXPECT_EQ(0, help.exitStatus) << command;
    EXPECT_EQ("", help.err) << command;
    EXPECT_EQ(0u, help.out.rfind("Usage: spindraxel " + command + " ", 0)) << help.out;
    EXPECT_NE(std::string::npos, help.out.find("\nExamples:\n  spindraxel " + command + " ")) << help.out;
    EXPECT_EQ(help.out, RunSpindraxel({command, "--help"}).out) << command;
  }
  const CommandResult none = RunSpindraxel({});
  EXPECT_EQ(2, none.exitStatus);
  EXPECT_EQ(RunSpindraxel({"help"}).out, none.err) << "without a command, the overview goes to standard error";
}

}  // namespace
