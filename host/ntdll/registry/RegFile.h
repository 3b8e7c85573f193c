// Registry trees in the text form regedit exports and imports ("Windows Registry Editor Version 5.00").
//
// Reading accepts UTF-16LE with its byte-order mark (what regedit writes) and UTF-8 or ASCII with or without one;
// CRLF or LF line ends; blank lines and lines starting with ';'; [HKEY_LOCAL_MACHINE\...] and [HKEY_USERS\...]
// key lines; and value lines "Name"=... or @=... (the default value) holding "text" (REG_SZ, escapes \\ and \"),
// dword:XXXXXXXX (REG_DWORD), hex:.. (REG_BINARY) or hex(N):.. (type N, hexadecimal), the bytes separated by
// commas and continued over lines ending in a backslash. Deleting forms ([-KEY], "Name"=-) are refused: a file
// here is the whole registry, not a change list.
//
// Writing gives regedit's own form: UTF-16LE with a byte-order mark, CRLF, every key below a hive root in folded
// name order with a blank line after it, values in their order, strings as "text" when they are plain
// terminated text and as hex(1) otherwise, dwords as dword:, everything else as hex lines wrapped after 77
// columns. Reading what was written gives the same tree.
#pragma once

#include <string>
#include <string_view>

#include "host/ntdll/registry/RegistryKey.h"

namespace host {

// Merges the file `bytes` into `registryRoot` (the key that stands for \REGISTRY): keys named again are merged and
// a value named again is replaced, as a regedit import does. *changed (optional) says whether the tree changed.
// On a malformed file: false, with "FILE, line N: what was expected" in *error; the tree may then hold the keys
// and values of the lines before the bad one.
bool ReadRegFile(const std::string& bytes, const std::string& fileName, RegistryKey* registryRoot, bool* changed,
                 std::string* error);

// The whole tree under `registryRoot` as the bytes of a .reg file.
std::string WriteRegFile(const RegistryKey& registryRoot);

}  // namespace host
