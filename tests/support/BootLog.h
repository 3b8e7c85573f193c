// Reading what a boot left behind: the names in a folder of an image, the log file the program wrote there, and
// screens and logs compared with patterns.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestImage.h"

namespace testsupport {

// The names in `directory` of the image ("/" is the root) as ntfsls lists them, without "." and "..".
std::vector<std::string> NamesIn(const TestImage& image, const std::string& directory = "/");

// The text of the first Spindraxel_native_*.txt in the root of the image, its name in *name; "" when none.
std::string BootLogOf(const TestImage& image, std::string* name = nullptr);

// Whether `text` is `pattern`, in which each "…" stands for any text (none at all included).
::testing::AssertionResult Matches(const std::string& text, const std::string& pattern);

// How often `part` occurs in `text` (overlapping occurrences counted).
size_t Occurrences(const std::string& text, const std::string& part);

}  // namespace testsupport
