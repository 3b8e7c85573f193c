#include "config/GeneralConfigElement.h"

#include <new>

#include "config/ConfigText.h"

namespace {

constexpr size_t kShortestLogDirectory = 6;  // \??\C: and no less

}  // namespace

CGeneralConfigElement::CGeneralConfigElement(std::string name, CLogger* logger, const SGeneralSettingsTargets& targets)
    : IConfigElement(std::move(name)), logger_(logger), targets_(targets) {
  *targets_.crashDumpEnabledBackup_ = 2;
  *targets_.logEventBackup_ = 1;
}

bool CGeneralConfigElement::Parse(std::vector<std::string> lines) {
  for (const std::string& line : lines) {
    std::string key, value;
    SplitKeyValue(line, &key, &value);
    if (key == "log") {
      logLevel_ = ReadInteger(value);
    } else if (key == "log_dir") {
      logDirectory_ = WidenValue(value);
      if (logDirectory_.size() < kShortestLogDirectory) return false;
    } else if (key == "check_file_integrity") {
      *targets_.checkFileIntegrity_ = ReadInteger(value) != 0;
    } else if (key == "dump_file_information") {
      *targets_.dumpFileInformation_ = ReadInteger(value) != 0;
    } else if (key == "run_mode") {
      *targets_.runMode_ = ReadInteger(value);
    } else if (key == "crash_dump_enabled_backup") {
      *targets_.crashDumpEnabledBackup_ = ReadInteger(value);
    } else if (key == "log_event_backup") {
      *targets_.logEventBackup_ = ReadInteger(value);
    }
  }
  return true;
}

void CGeneralConfigElement::Apply() { logger_->Open(logDirectory_, logLevel_); }

std::shared_ptr<IConfigElement> CGeneralConfigElementFactory::CreateElement(std::shared_ptr<CConfigBlock>) {
  return std::shared_ptr<IConfigElement>(new (std::nothrow) CGeneralConfigElement(name_, logger_, targets_));
}
