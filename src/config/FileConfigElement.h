// The file section: one file to process and the operation, appended to the run's file list when applied.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/ConfigElement.h"
#include "platform/NativeApi.h"

// One configured file. Made once when its section is applied and read-only afterwards.
struct SFileForProcessing {
  std::u16string path_;  // \??\X:\... : the drive letter is at index 4
  LONG fragCount_;       // fragments asked for by the fragment operation; 0 when not given
  LONG operation_;       // kOperationDefragment or kOperationFragment
};

constexpr LONG kOperationDefragment = 1;
constexpr LONG kOperationFragment = 2;

// The run's work list, in the order of the file sections.
using FileList = std::vector<std::shared_ptr<SFileForProcessing>>;

class CFileConfigElement : public IConfigElement {
 public:
  CFileConfigElement(std::string name, std::shared_ptr<FileList> files)
      : IConfigElement(std::move(name)), files_(std::move(files)) {}

  // Reads path, mode and frag_count. An unknown key, a line without a key or a mode other than defrag or frag
  // stops the parsing at once and leaves the entry valid with what was read before it. A completed section is
  // valid when it names a path and, for the fragment operation, asks for at least two fragments.
  bool Parse(std::vector<std::string> lines) override;
  // Appends the entry to the file list when the section was valid.
  void Apply() override;

 private:
  std::shared_ptr<FileList> files_;
  std::u16string path_;
  LONG operation_ = kOperationDefragment;
  LONG fragCount_ = 0;
  bool valid_ = true;
};

class CFileConfigElementFactory : public IConfigElementFactory {
 public:
  explicit CFileConfigElementFactory(std::shared_ptr<FileList> files) : files_(std::move(files)) {}

  std::shared_ptr<IConfigElement> CreateElement(std::shared_ptr<CConfigBlock> block) override;
  const std::string& GetName() const override { return name_; }

 private:
  const std::string name_ = "file";
  std::shared_ptr<FileList> files_;
};
