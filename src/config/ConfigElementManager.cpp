#include "config/ConfigElementManager.h"

#include "log/Logger.h"

void CConfigElementManager::AddFactory(std::shared_ptr<IConfigElementFactory> factory) {
  factories_.push_back(std::move(factory));
}

void CConfigElementManager::AddConfigElement(std::shared_ptr<CConfigBlock> block) {
  SX_LOG_FUNCTION("CConfigElementManager::AddConfigElement");
  std::string name = block->GetName();
  std::shared_ptr<IConfigElementFactory> factory;
  for (const auto& candidate : factories_) {
    if (candidate->GetName() == name) {
      factory = candidate;
      break;
    }
  }
  if (!factory) {
    SX_LOG(1, "No suitable factory found for config section");
    return;
  }
  std::shared_ptr<IConfigElement> element = factory->CreateElement(block);
  if (!element) {
    SX_LOG(1, "Error creating config element from block");
    return;
  }
  element->Parse(block->GetLines());
  elements_.push_back(std::move(element));
}

void CConfigElementManager::ApplyElements() {
  for (const auto& element : elements_) element->Apply();
}
