// The two interfaces by which the configuration grows by section kind: an element parses and applies one section,
// and a factory makes elements for the section name it serves.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/ConfigBlock.h"

class IConfigElement {
 public:
  explicit IConfigElement(std::string name) : name_(std::move(name)) {}
  virtual ~IConfigElement() = default;

  virtual const std::string& GetName() const { return name_; }
  // Reads the section's content lines; reports whether the section was complete and valid. Parsing may already
  // change the run's settings.
  virtual bool Parse(std::vector<std::string> lines) = 0;
  // Puts the parsed settings into effect.
  virtual void Apply() = 0;

 private:
  std::string name_;
};

class IConfigElementFactory {
 public:
  virtual ~IConfigElementFactory() = default;

  // A new element, or null when none can be made.
  virtual std::shared_ptr<IConfigElement> CreateElement(std::shared_ptr<CConfigBlock> block) = 0;
  // The section name served, compared exactly with the blocks' names.
  virtual const std::string& GetName() const = 0;
};
