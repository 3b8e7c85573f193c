#include "host/ntdll/registry/Registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/ntdll/faults/Faults.h"
#include "host/ntdll/registry/RegFile.h"

namespace host {
namespace {

struct RegistryState {
  std::mutex mutex;
  std::shared_ptr<RegistryKey> root;
  std::string path;           // the bound file, resolved through links; "" when none
  uint64_t changes = 0;       // values changed since the registry was made
  uint64_t savedChanges = 0;  // `changes` as of the last load or save
};

std::shared_ptr<RegistryKey> MakeEmptyRoot() {
  auto root = std::make_shared<RegistryKey>(u"REGISTRY");
  bool created;
  root->OpenOrCreateSubkey(u"MACHINE", &created);
  root->OpenOrCreateSubkey(u"USER", &created);
  return root;
}

RegistryState& State() {
  static RegistryState* state = [] {
    auto* made = new RegistryState();  // threads may still reach it while the process exits
    made->root = MakeEmptyRoot();
    return made;
  }();
  return *state;
}

std::string SystemError(const std::string& path, int error) { return path + ": " + std::strerror(error); }

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = SystemError(path, errno);
    return false;
  }
  struct stat status;
  if (fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
    close(fd);
    *error = SystemError(path, EISDIR);
    return false;
  }
  char chunk[65536];
  for (;;) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = SystemError(path, errno);
      close(fd);
      return false;
    }
    if (got == 0) break;
    bytes->append(chunk, static_cast<size_t>(got));
  }
  close(fd);
  return true;
}

bool WriteAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) return false;
    done += static_cast<size_t>(wrote);
  }
  return true;
}

// Replaces `path` with `bytes` so that the file is, at every moment, either wholly old or wholly new.
bool ReplaceFileAtomically(const std::string& path, const std::string& bytes, std::string* error) {
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temporary = (slash == std::string::npos ? "" : directory) + "." + base + ".XXXXXX";
  int fd = mkstemp(temporary.data());
  if (fd < 0) {
    *error = SystemError(directory, errno);
    return false;
  }
  struct stat old;
  if (stat(path.c_str(), &old) == 0) fchmod(fd, old.st_mode & 07777);
  auto fail = [&](int code) {
    close(fd);
    unlink(temporary.c_str());
    *error = SystemError(temporary, code);
    return false;
  };
  if (!WriteAll(fd, bytes) || fsync(fd) != 0) return fail(errno);

  NTSTATUS injected;
  if (InjectFault("NtFlushKey", &injected)) {
    RecordCall("NtFlushKey", injected);
    close(fd);
    unlink(temporary.c_str());
    char status[16];
    std::snprintf(status, sizeof status, "0x%08X", static_cast<ULONG>(injected));
    *error = path + ": the flush failed with status " + status;
    return false;
  }
  if (close(fd) != 0) {
    unlink(temporary.c_str());
    *error = SystemError(temporary, errno);
    return false;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    int code = errno;
    unlink(temporary.c_str());
    *error = SystemError(path, code);
    return false;
  }
  // The rename itself is durable only once the directory is.
  int directoryFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directoryFd >= 0) {
    fsync(directoryFd);
    close(directoryFd);
  }
  RecordCall("NtFlushKey", STATUS_SUCCESS);
  return true;
}

bool SameName(const std::u16string& left, const std::u16string& right, bool caseInsensitive) {
  return caseInsensitive ? FoldRegistryName(left) == FoldRegistryName(right) : left == right;
}

}  // namespace

bool LoadRegistryText(const std::string& text, const std::string& fileName, std::string* error) {
  std::shared_ptr<RegistryKey> root = MakeEmptyRoot();
  if (!ReadRegFile(text, fileName, root.get(), nullptr, error)) return false;
  RegistryState& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.root = root;
  state.path.clear();
  state.savedChanges = state.changes;
  return true;
}

bool LoadRegistry(const std::string& path, std::string* error) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) {
    *error = SystemError(path, errno);
    return false;
  }
  std::string bytes;
  if (!ReadWholeFile(resolved, &bytes, error)) return false;
  if (!LoadRegistryText(bytes, path, error)) return false;
  RegistryState& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.path = resolved;
  return true;
}

void BindRegistryFile(const std::string& path) {
  RegistryState& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.path = path;
}

bool ImportRegistry(const std::string& path, std::string* error) {
  std::string bytes;
  if (!ReadWholeFile(path, &bytes, error)) return false;
  // Read once aside, so that a malformed file changes nothing; then into the registry itself, whose open keys
  // stay the same keys.
  RegistryKey aside(u"REGISTRY");
  if (!ReadRegFile(bytes, path, &aside, nullptr, error)) return false;
  RegistryState& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  bool changed = false;
  ReadRegFile(bytes, path, state.root.get(), &changed, error);
  if (changed) ++state.changes;
  return true;
}

bool SaveRegistry(std::string* error) {
  RegistryState& state = State();
  std::string path, bytes;
  uint64_t changes;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    if (state.path.empty() || state.changes == state.savedChanges) return true;
    path = state.path;
    changes = state.changes;
    bytes = WriteRegFile(*state.root);
  }
  if (!ReplaceFileAtomically(path, bytes, error)) return false;
  std::lock_guard<std::mutex> guard(state.mutex);
  if (state.path == path) state.savedChanges = changes;
  return true;
}

void ResetRegistry() {
  RegistryState& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.root = MakeEmptyRoot();
  state.path.clear();
  state.savedChanges = state.changes;
}

std::string RegistryFile() {
  RegistryState& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  return state.path;
}

bool RegistryChanged() {
  RegistryState& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  return state.changes != state.savedChanges;
}

bool QueryRegistryValue(const std::u16string& keyPath, const std::u16string& name, RegistryValue* value) {
  std::lock_guard<std::mutex> guard(RegistryMutex());
  std::shared_ptr<RegistryKey> key;
  if (!NT_SUCCESS(FindRegistryKey(keyPath, true, &key))) return false;
  const RegistryValue* found = key->Value(name);
  if (found == nullptr) return false;
  *value = *found;
  return true;
}

std::mutex& RegistryMutex() { return State().mutex; }

std::shared_ptr<RegistryKey> RegistryRootKey() { return State().root; }

void MarkRegistryChanged() { ++State().changes; }

NTSTATUS FindRegistryKey(const std::u16string& objectName, bool caseInsensitive, std::shared_ptr<RegistryKey>* key) {
  if (objectName.empty() || objectName[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  const size_t end = objectName.find(u'\\', 1);
  const std::u16string first = objectName.substr(1, end == std::u16string::npos ? end : end - 1);
  if (first.empty()) return STATUS_OBJECT_TYPE_MISMATCH;
  if (!SameName(first, RegistryRootKey()->Name(), caseInsensitive)) {
    return end == std::u16string::npos ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
  }
  return FindRegistrySubkey(RegistryRootKey(), end == std::u16string::npos ? u"" : objectName.substr(end + 1), key);
}

NTSTATUS FindRegistrySubkey(const std::shared_ptr<RegistryKey>& start, const std::u16string& relativeName,
                            std::shared_ptr<RegistryKey>* key) {
  std::shared_ptr<RegistryKey> current = start;
  for (size_t begin = 0; begin < relativeName.size();) {
    size_t end = relativeName.find(u'\\', begin);
    if (end == std::u16string::npos) end = relativeName.size();
    if (end > begin) {
      current = current->Subkey(relativeName.substr(begin, end - begin));
      if (!current) return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    begin = end + 1;
  }
  *key = current;
  return STATUS_SUCCESS;
}

}  // namespace host
