// The lines of a log file, split and checked against the system's line format:
//
//   [YYYY-MM-DD] [HH:MM:SS.mmm] Function#line L1 message\r\n
//
// (a message may hold a bare line feed of its own: the keyboard lines start with one).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace winetest {

// The lines of `log` without their time stamps ("Function#line L1 message"); fails, naming the line, when a line
// lacks the format or the log does not end with a line end.
::testing::AssertionResult SplitLogLines(const std::string& log, std::vector<std::string>* lines);

// A line without its source line number ("Function L1 message"), for comparing with texts written in a test.
std::string WithoutSourceLine(const std::string& line);
std::vector<std::string> WithoutSourceLines(const std::vector<std::string>& lines);

}  // namespace winetest
