// One subcommand's command line: its options defined once with CLI11, the help text made from the same
// definitions, and every refusal as one line "spindraxel COMMAND: ..." on standard error with exit status 2.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

class CommandLine {
 public:
  // `usage` holds the synopsis lines (each "spindraxel COMMAND ..."), `description` the prose under them and
  // `footer` what follows the options, ending with examples.
  CommandLine(const std::string& command, const std::string& usage, const std::string& description,
              const std::string& footer);

  CLI::App& App() { return app_; }

  // Gives `app`, the command or one of its actions (image create), its synopsis, description and footer.
  static void Describe(CLI::App& app, const std::string& usage, const std::string& description,
                       const std::string& footer);

  // Parses `args`. Returns -1 when the command goes on; otherwise the exit status the command ends with: 0 after
  // the help on standard output, 2 after one line on standard error. An unknown option is named before any other
  // fault, since it usually is the cause of the others.
  int Parse(const std::vector<std::string>& args);

  // "spindraxel COMMAND: message" on standard error; returns 2.
  int Refuse(const std::string& message) const;

 private:
  std::string command_;
  CLI::App app_;
};

// The edit distance (insertions, deletions, substitutions) between `a` and `b`, for did-you-mean hints.
size_t EditDistance(const std::string& a, const std::string& b);

// A size with an optional suffix K, M or G (powers of 1024): "4M". False when `text` is none.
bool ParseSize(const std::string& text, uint64_t* bytes);

// `text` with A-Z in lower case and every other byte as it was, as Windows compares ASCII names.
std::string LowerCase(std::string text);
