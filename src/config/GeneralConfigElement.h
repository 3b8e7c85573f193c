// The general section: log level and directory, the integrity and report switches, the run mode and the two
// crash-control values to restore. Parsing writes five of them straight into the main sequence's variables;
// applying opens the log with the other two.
#pragma once

#include "config/ConfigElement.h"
#include "log/Logger.h"

// Where the general section's settings go: the main sequence's variables.
struct SGeneralSettingsTargets {
  bool* checkFileIntegrity_;
  bool* dumpFileInformation_;
  LONG* runMode_;
  LONG* crashDumpEnabledBackup_;
  LONG* logEventBackup_;
};

class CGeneralConfigElement : public IConfigElement {
 public:
  // Resets the two crash-control backups to their defaults (2 and 1): every general section starts from them.
  CGeneralConfigElement(std::string name, CLogger* logger, const SGeneralSettingsTargets& targets);

  // Unknown keys and lines without a key are ignored. A log directory shorter than six characters stops the
  // parsing at once with false; the lines after it are not read.
  bool Parse(std::vector<std::string> lines) override;
  // Opens the log in the configured directory at the configured level (no file at level 0 or less).
  void Apply() override;

  LONG GetLogLevel() const { return logLevel_; }
  const std::u16string& GetLogDirectory() const { return logDirectory_; }

 private:
  CLogger* logger_;
  LONG logLevel_ = 0;
  std::u16string logDirectory_;
  SGeneralSettingsTargets targets_;
};

class CGeneralConfigElementFactory : public IConfigElementFactory {
 public:
  CGeneralConfigElementFactory(CLogger* logger, const SGeneralSettingsTargets& targets)
      : logger_(logger), targets_(targets) {}

  std::shared_ptr<IConfigElement> CreateElement(std::shared_ptr<CConfigBlock> block) override;
  const std::string& GetName() const override { return name_; }

 private:
  const std::string name_ = "general";
  CLogger* logger_;
  SGeneralSettingsTargets targets_;
};
