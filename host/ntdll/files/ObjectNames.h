// Object names as the file calls take them: \??\X: is the volume of drive X and \??\X:\path a file on it
// (\DosDevices\ and \GLOBAL??\ name the same directory, in any case).
#pragma once

#include <memory>
#include <string>

#include "host/ntdll/files/Drives.h"
#include "platform/NativeApi.h"

namespace host {

struct ParsedName {
  std::shared_ptr<Drive> drive;
  bool isVolume = false;
  bool trailingBackslash = false;
  std::u16string path;  // volume-relative, no leading or trailing backslash
};

// Splits the name in `attributes`. STATUS_OBJECT_PATH_SYNTAX_BAD for a name that does not start with a backslash,
// STATUS_OBJECT_PATH_NOT_FOUND outside the drive directory or on a letter no drive backs (a path through it),
// STATUS_OBJECT_NAME_NOT_FOUND for such a letter alone or a name that is not a drive, STATUS_OBJECT_NAME_INVALID
// for anything but a backslash after the colon.
NTSTATUS ParseName(const OBJECT_ATTRIBUTES* attributes, ParsedName* parsed);

}  // namespace host
