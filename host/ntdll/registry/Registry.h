// The registry of the host machine: \REGISTRY with its hive roots MACHINE and USER, kept in memory and backed by a
// .reg file (host/RegFile.h) when one is loaded. Without a file the hive roots are empty, so every key the system
// asks for is missing. A loaded file is written back by SaveRegistry, which ExitHostProcess calls, only when a
// value changed, and atomically: the new text goes to a temporary file in the same directory, is flushed to disk
// and renamed over the old one, so a process killed at any moment leaves either the old file or the new one.
//
// The save passes through the fault point "NtFlushKey" (the call that writes a hive back on Windows) once the
// temporary file is complete and before the rename: a delay there holds the save at its most delicate moment, an
// injected status makes it fail and keep the old file.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "host/ntdll/registry/RegistryKey.h"

namespace host {

// Replaces the registry with the content of the .reg file at `path` and binds the registry to that file. False
// with a one-line reason (the file and line of a malformed line, or why the file cannot be read); the registry is
// then left as it was.
bool LoadRegistry(const std::string& path, std::string* error);
// Replaces the registry with .reg `text` named `fileName` in errors; the registry is bound to no file.
bool LoadRegistryText(const std::string& text, const std::string& fileName, std::string* error);
// Binds the registry to `path`, which need not exist yet, so that SaveRegistry writes it there.
void BindRegistryFile(const std::string& path);
// Merges the .reg file at `path` into the registry, as `regedit /s` does. What it changes counts as a change.
bool ImportRegistry(const std::string& path, std::string* error);
// Writes the registry to its file when one is bound and something changed since it was loaded or last saved.
// True when there was nothing to do or the file was replaced.
bool SaveRegistry(std::string* error);
// An empty registry, bound to no file.
void ResetRegistry();

// The file the registry is bound to ("" when none), and whether it holds changes not yet saved.
std::string RegistryFile();
bool RegistryChanged();

// The value `name` of the key at native path `keyPath` (such as u"\\Registry\\Machine\\System"); false when
// either is missing. For the command line and tests: unlike NtQueryValueKey it counts no call, so fault rules see
// only the program's own calls.
bool QueryRegistryValue(const std::u16string& keyPath, const std::u16string& name, RegistryValue* value);

// For the native calls: the lock that guards the whole tree, its root key (\REGISTRY), and the mark that a value
// changed. The root may only be used, and the mark only set, with the lock held.
std::mutex& RegistryMutex();
std::shared_ptr<RegistryKey> RegistryRootKey();
void MarkRegistryChanged();
// Finds the key named by an absolute object name (\REGISTRY\...). Outside the registry the object namespace
// compares names exactly unless `caseInsensitive`, so "\Registry" is found only with OBJ_CASE_INSENSITIVE; inside
// it names always compare without case, and empty names between backslashes are skipped. Statuses as NtOpenKey
// gives them: STATUS_OBJECT_PATH_SYNTAX_BAD for a name that does not start with a backslash,
// STATUS_OBJECT_TYPE_MISMATCH for the root directory, STATUS_OBJECT_NAME_NOT_FOUND or
// STATUS_OBJECT_PATH_NOT_FOUND for a missing object outside the registry (last or earlier name) and
// STATUS_OBJECT_NAME_NOT_FOUND for any missing key inside it.
NTSTATUS FindRegistryKey(const std::u16string& objectName, bool caseInsensitive, std::shared_ptr<RegistryKey>* key);
// Finds `relativeName` below `start`, as inside the registry above.
NTSTATUS FindRegistrySubkey(const std::shared_ptr<RegistryKey>& start, const std::u16string& relativeName,
                            std::shared_ptr<RegistryKey>* key);

}  // namespace host
