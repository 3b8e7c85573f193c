// The configuration path taken from the command line.
#include <gtest/gtest.h>

#include "native/NativeMain.h"

namespace {

struct CommandLineCase {
  std::u16string buffer;  // may hold text after a terminating zero
  std::u16string path;
};

void PrintTo(const CommandLineCase& line, std::ostream* out) {
  *out << std::string(line.buffer.begin(), line.buffer.end());
}

class CommandLine : public testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLine, PathIsEverythingAfterTheFirstBlankUpToTheTerminator) {
  std::u16string buffer = GetParam().buffer;
  UNICODE_STRING commandLine{static_cast<USHORT>(buffer.size() * 2), static_cast<USHORT>(buffer.size() * 2),
                             buffer.data()};
  EXPECT_EQ(GetParam().path, ConfigurationPathFromCommandLine(commandLine));
}

INSTANTIATE_TEST_SUITE_P(Forms, CommandLine,
                         testing::Values(CommandLineCase{u"sxboottime \\??\\C:\\run.cfg", u"\\??\\C:\\run.cfg"},
                                         CommandLineCase{std::u16string(u"sxboottime a.cfg\0junk", 21), u"a.cfg"},
                                         CommandLineCase{u"", u""}));

TEST(CommandLine, UnterminatedBufferIsReadOnlyToItsCapacity) {
  char16_t text[] = {u's', u'x', u' ', u'a', u'b'};  // no terminator
  UNICODE_STRING commandLine{sizeof text, sizeof text, text};
  EXPECT_EQ(u"ab", ConfigurationPathFromCommandLine(commandLine));
}

}  // namespace
