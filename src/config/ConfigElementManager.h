// CConfigElementManager: hands each configuration section to the factory registered for its name, keeps the
// parsed elements, and applies them in file order.
#pragma once

#include <memory>
#include <vector>

#include "config/ConfigElement.h"

class CConfigElementManager {
 public:
  // No check for a second factory of the same name: the first one registered wins.
  void AddFactory(std::shared_ptr<IConfigElementFactory> factory);
  // Makes and parses the element for `block`, or logs why there is none. The parse result is the element's own
  // business: the element is kept either way.
  void AddConfigElement(std::shared_ptr<CConfigBlock> block);
  void ApplyElements();

 private:
  std::vector<std::shared_ptr<IConfigElementFactory>> factories_;
  std::vector<std::shared_ptr<IConfigElement>> elements_;
};
