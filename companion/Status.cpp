#include "companion/Status.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "companion/BootRegistry.h"
#include "companion/NativeFiles.h"
#include "config/ConfigFileReader.h"
#include "config/FileConfigElement.h"
#include "config/GeneralConfigElement.h"

namespace companion {
namespace {

// What follows `marker` in `line` up to `end` (not included); empty when either is missing.
std::string Between(const std::string& line, const std::string& marker, const std::string& end) {
  const size_t start = line.find(marker);
  if (start == std::string::npos) return "";
  const size_t from = start + marker.size();
  const size_t to = end.empty() ? line.size() : line.find(end, from);
  return to == std::string::npos ? "" : line.substr(from, to - from);
}

SFileOutcome& OutcomeOf(SRunOutcome* outcome, const std::string& path) {
  for (SFileOutcome& file : outcome->files) {
    if (file.path == path) return file;
  }
  outcome->files.emplace_back();
  outcome->files.back().path = path;
  return outcome->files.back();
}

}  // namespace

NTSTATUS ReadScheduledRun(SScheduledRun* run) {
  std::vector<std::u16string> entries;
  const NTSTATUS status = ReadBootExecute(&entries);
  if (!NT_SUCCESS(status)) return status;
  for (const std::u16string& entry : entries) {
    if (IsProgramEntry(entry)) run->entries.push_back(entry);
  }
  if (run->entries.empty()) return STATUS_SUCCESS;
  const std::u16string& entry = run->entries.front();
  const size_t space = entry.find(u' ', entry.find_first_not_of(u' '));
  run->configPath = space == std::u16string::npos ? u"" : entry.substr(entry.find_first_not_of(u' ', space));

  CConfigFileReader reader(run->configPath);
  if (run->configPath.empty() || !reader.Initialize()) return STATUS_SUCCESS;
  run->configurationRead = true;
  bool integrity = false, report = false;
  LONG runMode = 0, crashDump = 2, logEvent = 1;
  auto files = std::make_shared<FileList>();
  for (const std::shared_ptr<CConfigBlock>& block : reader.ReadAllBlocks()) {
    if (block->GetName() == "general") {
      CGeneralConfigElement general("general", nullptr, {&integrity, &report, &runMode, &crashDump, &logEvent});
      general.Parse(block->GetLines());
      run->logLevel = general.GetLogLevel();
      run->logDirectory = general.GetLogDirectory();
    } else if (block->GetName() == "file") {
      CFileConfigElement file("file", files);
      if (file.Parse(block->GetLines())) file.Apply();
    }
  }
  NtClose(reader.GetHandle());
  run->checkIntegrity = integrity;
  run->report = report;
  run->oneShot = runMode == 1;
  for (const std::shared_ptr<SFileForProcessing>& file : *files) run->files.push_back(file->path_);
  return STATUS_SUCCESS;
}

bool FindNewestLog(const std::u16string& folder, std::u16string* path) {
  std::vector<SFolderEntry> entries;
  if (!NT_SUCCESS(ListFolder(folder, u"Spindraxel_native_*.txt", &entries))) return false;
  const SFolderEntry* newest = nullptr;
  for (const SFolderEntry& entry : entries) {
    if (!entry.isFolder && (newest == nullptr || entry.name > newest->name)) newest = &entry;
  }
  if (newest == nullptr) return false;
  *path = folder + (folder.back() == u'\\' ? u"" : u"\\") + newest->name;
  return true;
}

SRunOutcome ReadRunLog(const std::string& log) {
  SRunOutcome outcome;
  std::string current;  // the file the processing thread is on
  for (size_t start = 0; start < log.size();) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // "File "\??\C:\a.bin:", Clusters: 256, Fragments: 68": before processing, then after.
    const std::string reported = Between(line, " File \"", ":\", Clusters: ");
    if (!reported.empty()) {
      SFileOutcome& file = OutcomeOf(&outcome, reported);
      const int64_t fragments = std::atoll(Between(line, ", Fragments: ", "").c_str());
      (file.fragmentsBefore < 0 ? file.fragmentsBefore : file.fragmentsAfter) = fragments;
      continue;
    }
    if (std::string path = Between(line, " Beginning defragmentation of ", ""); !path.empty()) {
      current = path;
      OutcomeOf(&outcome, current);
    } else if (std::string result = Between(line, " Defragmentation finished (", ")"); !result.empty()) {
      if (!current.empty()) OutcomeOf(&outcome, current).status = result;
    } else if (std::string checked = Between(line, " Integrity check for file ", " performed successfully.");
               !checked.empty()) {
      OutcomeOf(&outcome, checked).integrity = "OK";
    } else if (std::string failed = Between(line, " Integrity check for file ", " failed. File appears");
               !failed.empty()) {
      OutcomeOf(&outcome, failed).integrity = "CORRUPTED";
    } else if (line.find(" Processing finished successfully") != std::string::npos) {
      outcome.finished = true;
    } else if (line.find(" Aborting...") != std::string::npos) {
      outcome.aborted = true;
    }
  }
  return outcome;
}

}  // namespace companion
