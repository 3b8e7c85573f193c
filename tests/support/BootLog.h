// Reading what a boot left behind: the log file in an image and counts of lines in it.
#pragma once

#include <string>

#include "support/TestImage.h"

namespace testsupport {

// The text of the first Spindraxel_native_*.txt in `directory` of the image ("/" is the root); "" when none.
std::string BootLogOf(const TestImage& image, const std::string& directory = "/");

// How often `part` occurs in `text` (overlapping occurrences counted).
size_t Occurrences(const std::string& text, const std::string& part);

}  // namespace testsupport
