// The boot screen of a program run under Wine, recovered from Wine's trace. Wine shows each NtDisplayString call
// as one line on standard error when err+ntdll is on:
//
//   0104:err:ntdll:NtDisplayString L"Zenmoria Spindraxel\n"
//
// with \n, \r, \t, \\ and \" escaped and any other character outside printable ASCII as a backslash and four hex
// digits; a text longer than the trace shows (289 characters, escapes counted as written) ends in "... after the
// closing quote. Other lines of the trace are left out.
#pragma once

#include <string>

namespace winetest {

struct DisplayTrace {
  std::string screen;  // every text in order, UTF-8
  bool cut = false;    // at least one text was not shown whole (too long, or a line broken off)
};

DisplayTrace DecodeDisplayTrace(const std::string& standardError);

}  // namespace winetest
