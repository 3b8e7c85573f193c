#include "host/ntfs/MoveJournal.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace host {
namespace {

// Records are written as version 2; version 1 (checksummed a byte at a time) is still rolled back.
constexpr char kMagic[8] = {'S', 'X', 'U', 'N', 'D', 'O', '0', '2'};
constexpr char kMagicVersion1[8] = {'S', 'X', 'U', 'N', 'D', 'O', '0', '1'};
// The boot sector's volume serial number, which names a partition's journal: device names change between boots.
constexpr off_t kSerialOffset = 0x48;

struct Header {
  char magic[8];
  uint64_t mftRef;
  uint32_t count;
  uint32_t reserved;
  uint64_t checksum;  // FNV-1a over the record's 64-bit words (version 1: its bytes) with this field 0
};
constexpr size_t kEntrySize = sizeof(uint64_t) + MoveJournal::kBlockSize;

uint64_t Fnv1a(const uint8_t* bytes, size_t length) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ull;
  return hash;
}

// A record is a multiple of 8 bytes long (a 32-byte header, entries of 520); a word at a time is 8 times faster.
uint64_t Fnv1aWords(const uint8_t* bytes, size_t length) {
  static_assert(sizeof(Header) % 8 == 0 && kEntrySize % 8 == 0, "records are whole words");
  uint64_t hash = 0xcbf29ce484222325ull;
  for (size_t i = 0; i + 8 <= length; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + i, sizeof word);
    hash = (hash ^ word) * 0x100000001b3ull;
  }
  return hash;
}

std::string StateFolder() {
  if (const char* own = std::getenv("SPINDRAXEL_STATE_DIR"); own != nullptr && *own != '\0') return own;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state != '\0') {
    return std::string(state) + "/spindraxel";
  }
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : ".") + "/.local/state/spindraxel";
}

}  // namespace

bool WriteAll(int fd, int64_t offset, const void* data, size_t length) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t done = 0; done < length;) {
    const ssize_t wrote = pwrite(fd, bytes + done, length - done, static_cast<off_t>(offset + done));
    if (wrote <= 0) {
      if (wrote == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(wrote);
  }
  return true;
}

std::string MoveJournal::PathFor(const std::string& device, int fd, std::string* error) {
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISBLK(info.st_mode)) return device + ".sxjournal";
  uint64_t serial = 0;
  if (pread(fd, &serial, sizeof serial, kSerialOffset) != static_cast<ssize_t>(sizeof serial)) {
    *error = std::string("cannot read the volume serial number: ") + std::strerror(errno);
    return "";
  }
  char name[48];
  std::snprintf(name, sizeof name, "/volume-%016" PRIX64 ".sxjournal", serial);
  return StateFolder() + name;
}

MoveJournal::~MoveJournal() {
  if (fd_ >= 0) close(fd_);
}

bool MoveJournal::Open(const std::string& path, std::string* error) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    *error = "cannot keep its undo journal " + path + ": " + std::strerror(errno);
    return false;
  }
  path_ = path;
  return true;
}

int MoveJournal::Write(int64_t offset, const void* data, size_t length) {
  if (DeviceObserver* observer = CurrentDeviceObserver()) {
    if (const int error = observer->Writing(DeviceObserver::File::kJournal, offset, data, length)) return error;
  }
  return WriteAll(fd_, offset, data, length) ? 0 : errno;
}

int MoveJournal::Sync() {
  if (!flushes_) return 0;
  if (fdatasync(fd_) != 0) return errno;
  if (DeviceObserver* observer = CurrentDeviceObserver()) observer->Synced(DeviceObserver::File::kJournal);
  return 0;
}

int MoveJournal::Record(uint64_t mftRef, const std::vector<std::pair<int64_t, const uint8_t*>>& blocks) {
  const size_t length = sizeof(Header) + blocks.size() * kEntrySize;
  // Kept between records: a group's record runs to megabytes, and fresh memory of that size costs a page fault
  // per page each time.
  if (record_.size() < length) record_.resize(length);
  uint8_t* const record = record_.data();
  Header header{};
  std::memcpy(header.magic, kMagic, sizeof kMagic);
  header.mftRef = mftRef;
  header.count = static_cast<uint32_t>(blocks.size());
  std::memcpy(record, &header, sizeof header);
  uint8_t* entry = record + sizeof header;
  for (const auto& [offset, bytes] : blocks) {
    const uint64_t at = static_cast<uint64_t>(offset);
    std::memcpy(entry, &at, sizeof at);
    std::memcpy(entry + sizeof at, bytes, kBlockSize);
    entry += kEntrySize;
  }
  header.checksum = Fnv1aWords(record, length);
  std::memcpy(record, &header, sizeof header);
  if (const int error = Write(0, record, length)) return error;
  return Sync();
}

int MoveJournal::Clear() {
  const char cleared[sizeof kMagic] = {};
  if (const int error = Write(0, cleared, sizeof cleared)) return error;
  return Sync();
}

void MoveJournal::Remove() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
  unlink(path_.c_str());
}

bool MoveJournal::ReadUnfinished(const std::string& path, Unfinished* unfinished) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  std::vector<uint8_t> record;
  if (fstat(fd, &info) == 0 && info.st_size >= static_cast<off_t>(sizeof(Header))) {
    record.resize(static_cast<size_t>(info.st_size));
    if (pread(fd, record.data(), record.size(), 0) != static_cast<ssize_t>(record.size())) record.clear();
  }
  close(fd);
  if (record.size() < sizeof(Header)) return false;
  Header header;
  std::memcpy(&header, record.data(), sizeof header);
  const bool version1 = std::memcmp(header.magic, kMagicVersion1, sizeof kMagic) == 0;
  if (!version1 && std::memcmp(header.magic, kMagic, sizeof kMagic) != 0) return false;
  const size_t length = sizeof header + static_cast<size_t>(header.count) * kEntrySize;
  if (length > record.size()) return false;
  const uint64_t checksum = header.checksum;
  header.checksum = 0;
  std::memcpy(record.data(), &header, sizeof header);
  if ((version1 ? Fnv1a(record.data(), length) : Fnv1aWords(record.data(), length)) != checksum) return false;

  unfinished->mftRef = header.mftRef;
  unfinished->blocks.clear();
  for (const uint8_t* entry = record.data() + sizeof header; entry < record.data() + length; entry += kEntrySize) {
    uint64_t offset = 0;
    std::memcpy(&offset, entry, sizeof offset);
    unfinished->blocks.emplace_back(static_cast<int64_t>(offset),
                                    std::vector<uint8_t>(entry + sizeof offset, entry + kEntrySize));
  }
  return true;
}

bool MoveJournal::RollBack(int fd, const std::string& path, bool* rolledBack, uint64_t* mftRef, std::string* error) {
  *rolledBack = false;
  Unfinished unfinished;
  if (!ReadUnfinished(path, &unfinished)) return true;
  for (const auto& [offset, bytes] : unfinished.blocks) {
    if (!WriteAll(fd, offset, bytes.data(), bytes.size())) {
      *error = "cannot roll back the interrupted move in " + path + ": " + std::strerror(errno);
      return false;
    }
  }
  // The device holds the old metadata before the record that could restore it goes.
  MoveJournal journal;
  if (fsync(fd) != 0 || !journal.Open(path, error) || journal.Clear() != 0) {
    if (error->empty()) *error = "cannot roll back the interrupted move in " + path + ": " + std::strerror(errno);
    return false;
  }
  *rolledBack = true;
  *mftRef = unfinished.mftRef;
  return true;
}

}  // namespace host
