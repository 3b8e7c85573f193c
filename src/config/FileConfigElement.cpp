#include "config/FileConfigElement.h"

#include <new>

#include "config/ConfigText.h"

bool CFileConfigElement::Parse(std::vector<std::string> lines) {
  for (const std::string& line : lines) {
    std::string key, value;
    SplitKeyValue(line, &key, &value);
    if (key == "path") {
      path_ = WidenValue(value);
    } else if (key == "mode") {
      if (value == "frag") {
        operation_ = kOperationFragment;
      } else if (value == "defrag") {
        operation_ = kOperationDefragment;
      } else {
        return false;
      }
    } else if (key == "frag_count") {
      fragCount_ = ReadInteger(value);
    } else {
      return false;
    }
  }
  if (operation_ == kOperationFragment && fragCount_ <= 1) valid_ = false;
  valid_ = valid_ && !path_.empty();
  return valid_;
}

void CFileConfigElement::Apply() {
  if (!valid_) return;
  files_->push_back(std::make_shared<SFileForProcessing>(SFileForProcessing{path_, fragCount_, operation_}));
}

std::shared_ptr<IConfigElement> CFileConfigElementFactory::CreateElement(std::shared_ptr<CConfigBlock>) {
  return std::shared_ptr<IConfigElement>(new (std::nothrow) CFileConfigElement(name_, files_));
}
