#include "cli/CommandLine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// Help in the order a reader needs it: the synopsis, what the command does, its options, then the footer.
class HelpFormatter : public CLI::Formatter {
 public:
  explicit HelpFormatter(std::string usage) : usage_(std::move(usage)) { column_width(24); }

  std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode mode) const override {
    return "Usage: " + usage_ + "\n\n" + make_description(app) + make_groups(app, mode) + "\n" + make_footer(app);
  }

 private:
  std::string usage_;
};

// CLI11's wording for a missing value or a repeated single-value option, said the way the other refusals are.
std::string Rephrase(const CLI::ParseError& error) {
  const std::string message = error.what();
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) == nullptr) return message;
  const std::string name = message.substr(0, message.find(':'));
  if (message.find(" missing") != std::string::npos) return name + " needs a value";
  if (message.find("At Most") != std::string::npos) return name + " may be given only once";
  return message;
}

}  // namespace

CommandLine::CommandLine(const std::string& command, const std::string& usage, const std::string& description,
                         const std::string& footer)
    : command_(command), app_("", "spindraxel " + command) {
  app_.set_help_flag("-h,--help", "show this text");
  Describe(app_, usage, description, footer);
}

void CommandLine::Describe(CLI::App& app, const std::string& usage, const std::string& description,
                           const std::string& footer) {
  app.formatter(std::make_shared<HelpFormatter>(usage));
  app.description(description);
  app.footer(footer);
  // Whatever the options do not take is judged in Parse, so that an unknown option is named as such.
  app.allow_extras();
}

int CommandLine::Parse(const std::vector<std::string>& args) {
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  std::string fault;
  try {
    app_.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app_.help().c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& error) {
    fault = Rephrase(error);
  }

  // The parsed action (image create) and its parents: their options are the ones a misspelt name may mean.
  std::vector<const CLI::App*> apps{&app_};
  std::string help = "see 'spindraxel " + command_;
  while (!apps.back()->get_subcommands().empty()) {
    apps.push_back(apps.back()->get_subcommands().front());
    help += " " + apps.back()->get_name();
  }
  help += " --help'";
  const std::vector<std::string> extras = app_.remaining(true);
  for (const std::string& arg : extras) {
    if (arg == "--") break;
    if (arg.size() < 2 || arg[0] != '-') continue;
    const std::string name = arg.substr(0, arg.find('='));
    std::string closest;
    size_t closestDistance = 3;  // farther than two edits is a different word, not a typing error
    for (const CLI::App* app : apps) {
      for (const CLI::Option* option : app->get_options()) {
        for (const std::string& known : option->get_lnames()) {
          const size_t distance = EditDistance(name, "--" + known);
          if (distance < closestDistance) closestDistance = distance, closest = "--" + known;
        }
      }
    }
    return Refuse("unknown option '" + name + "'" +
                  (closest.empty() ? "; " + help : " (did you mean " + closest + "?)"));
  }
  if (!fault.empty()) return Refuse(fault + "; " + help);
  for (const std::string& arg : extras) {
    if (arg != "--") return Refuse("unexpected argument '" + arg + "'; " + help);
  }
  return -1;
}

int CommandLine::Refuse(const std::string& message) const {
  std::fprintf(stderr, "spindraxel %s: %s\n", command_.c_str(), message.c_str());
  return 2;
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

bool ParseSize(const std::string& text, uint64_t* bytes) {
  if (text.empty()) return false;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  std::string suffix(end);
  uint64_t unit = 1;
  if (suffix == "K" || suffix == "k")
    unit = 1ull << 10;
  else if (suffix == "M" || suffix == "m")
    unit = 1ull << 20;
  else if (suffix == "G" || suffix == "g")
    unit = 1ull << 30;
  else if (!suffix.empty())
    return false;
  if (end == text.c_str() || value > UINT64_MAX / unit) return false;
  *bytes = value * unit;
  return true;
}

std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}
