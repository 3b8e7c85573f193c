// From configuration text to the run's settings and file list: the element manager, the general section and the
// file sections, as the main sequence wires them.
#include <gtest/gtest.h>

#include <tuple>

#include "SystemImage.h"
#include "config/ConfigElementManager.h"
#include "config/ConfigFileReader.h"
#include "config/FileConfigElement.h"
#include "config/GeneralConfigElement.h"
#include "support/BootLog.h"

namespace {

// The run settings: check_file_integrity, dump_file_information, run_mode, crash_dump_enabled_backup,
// log_event_backup.
using Settings = std::tuple<bool, bool, LONG, LONG, LONG>;
// A file entry: its path, frag_count and operation.
using Entry = std::tuple<std::u16string, LONG, LONG>;

// What applying a configuration left behind.
struct Outcome {
  Settings settings{false, false, 0, 2, 1};
  std::vector<Entry> files;
};

Outcome Apply(const std::string& configuration) {
  WriteNativeFile(u"\\??\\C:\\Config\\elements.cfg", configuration);
  CConfigFileReader reader(u"\\??\\C:\\Config\\elements.cfg");
  EXPECT_TRUE(reader.Initialize());
  Outcome outcome;
  auto& [integrity, dump, runMode, crashDump, logEvent] = outcome.settings;
  CLogger logger;
  auto files = std::make_shared<FileList>();
  CConfigElementManager manager;
  manager.AddFactory(std::make_shared<CGeneralConfigElementFactory>(
      &logger, SGeneralSettingsTargets{&integrity, &dump, &runMode, &crashDump, &logEvent}));
  manager.AddFactory(std::make_shared<CFileConfigElementFactory>(files));
  for (const auto& block : reader.ReadAllBlocks()) manager.AddConfigElement(block);
  manager.ApplyElements();
  NtClose(reader.GetHandle());
  for (const auto& file : *files) outcome.files.emplace_back(file->path_, file->fragCount_, file->operation_);
  logger.Close();
  return outcome;
}

struct GeneralCase {
  const char* what;
  std::string lines;  // the general section's content
  Settings settings;
};

void PrintTo(const GeneralCase& general, std::ostream* out) { *out << general.what; }

class GeneralSection : public testing::TestWithParam<GeneralCase> {};

// Each case's lines go inside one general section; a case may close it and open a second.
TEST_P(GeneralSection, SetsTheRunSettings) {
  EXPECT_EQ(GetParam().settings, Apply("<general>\n" + GetParam().lines + "</general>\n").settings);
}

INSTANTIATE_TEST_SUITE_P(Keys, GeneralSection,
                         testing::Values(GeneralCase{"every key",
                                                     "check_file_integrity=1\ndump_file_information=1\nrun_mode=1\n"
                                                     "crash_dump_enabled_backup=7\nlog_event_backup=0\n",
                                                     {true, true, 1, 7, 0}},
                                         GeneralCase{"switches are on for any number but zero and off for text",
                                                     "check_file_integrity=-1\ndump_file_information=yes\n",
                                                     {true, false, 0, 2, 1}},
                                         GeneralCase{"keys are exact: no blanks, case-sensitive",
                                                     "run_mode =1\nRun_Mode=1\n",
                                                     {false, false, 0, 2, 1}},
                                         GeneralCase{"a short log directory stops the parsing",
                                                     "run_mode=1\nlog_dir=C:\\\nrun_mode=3\n",
                                                     {false, false, 1, 2, 1}},
                                         GeneralCase{"a second section overwrites what it sets and resets the backups",
                                                     "run_mode=1\ncheck_file_integrity=1\ncrash_dump_enabled_backup=5\n"
                                                     "log_event_backup=6\n</general>\n<general>\nrun_mode=2\n",
                                                     {true, false, 2, 2, 1}}));

struct FileCase {
  const char* what;
  std::string sections;
  std::vector<Entry> files;
};

void PrintTo(const FileCase& file, std::ostream* out) { *out << file.what; }

class FileSections : public testing::TestWithParam<FileCase> {};

TEST_P(FileSections, BuildTheFileList) { EXPECT_EQ(GetParam().files, Apply(GetParam().sections).files); }

INSTANTIATE_TEST_SUITE_P(
    Entries, FileSections,
    testing::Values(
        FileCase{"path only: defragment", "<file>\npath=\\??\\C:\\a\n</file>\n", {{u"\\??\\C:\\a", 0, 1}}},
        FileCase{"frag needs at least two fragments",
                 "<file>\npath=a\nmode=frag\nfrag_count=1\n</file>\n<file>\npath=b\nmode=frag\n</file>\n"
                 "<file>\npath=c\nmode=frag\nfrag_count=5\n</file>\n",
                 {{u"c", 5, 2}}},
        FileCase{"an unknown mode before the path stops with an empty path",
                 "<file>\nmode=Defrag\npath=a\n</file>\n",
                 {{u"", 0, 1}}},
        FileCase{"an unknown key stops the parsing", "<file>\npath=a\nsize=5\nmode=frag\n</file>\n", {{u"a", 0, 1}}},
        FileCase{"entries keep the order of the sections, duplicates included",
                 "<file>\npath=b\n</file>\n<general>\nlog=0\n</general>\n<file>\npath=a\n</file>\n"
                 "<file>\npath=b\n</file>\n",
                 {{u"b", 0, 1}, {u"a", 0, 1}, {u"b", 0, 1}}}));

TEST(ElementManager, UnknownSectionsAreReportedAndSkipped) {
  LoggedSinceLastMark();
  Outcome outcome = Apply("<General>\nrun_mode=1\n</General>\n<files>\npath=a\n</files>\n<file>\npath=b\n</file>\n");
  std::string logged = LoggedSinceLastMark();
  EXPECT_EQ((Settings{false, false, 0, 2, 1}), outcome.settings);
  EXPECT_EQ((std::vector<Entry>{{u"b", 0, 1}}), outcome.files);
  EXPECT_EQ(2u, testsupport::Occurrences(logged, " L1 No suitable factory found for config section\r\n")) << logged;
  EXPECT_NE(std::string::npos,
            LineWith(logged, "No suitable factory").find("CConfigElementManager::AddConfigElement#"));
}

}  // namespace
