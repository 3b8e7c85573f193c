#include "host/ntfs/MountSafety.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include <dirent.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace host {
namespace {

struct MountTableOverride {
  std::mutex mutex;
  std::string mountTable;
  std::string sysBlock;
};

MountTableOverride& MountTables() {
  static MountTableOverride tables;
  return tables;
}

// Whether `path` names the file `file` describes: the same inode (a hard link, a symlink or a bind-mounted folder
// reaches it by another path) or, for a block device, the same device.
bool SameFile(const struct stat& file, const std::string& path) {
  struct stat other;
  if (stat(path.c_str(), &other) != 0) return false;
  if (S_ISBLK(file.st_mode)) return S_ISBLK(other.st_mode) && other.st_rdev == file.st_rdev;
  return other.st_dev == file.st_dev && other.st_ino == file.st_ino;
}

// The mount table escapes blanks and backslashes in its fields as octal (\040).
std::string UnescapeMountField(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    const bool octal = i + 3 < field.size() && field.find_first_not_of("01234567", i + 1) >= i + 4;
    if (field[i] == '\\' && octal) {
      out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// The loop devices (/dev/loopN) whose backing file is `image`.
std::vector<std::string> LoopDevicesBackedBy(const std::string& sysBlock, const struct stat& image) {
  std::vector<std::string> devices;
  DIR* directory = opendir(sysBlock.c_str());
  if (directory == nullptr) return devices;
  while (const dirent* entry = readdir(directory)) {
    const std::string name = entry->d_name;
    if (name.rfind("loop", 0) != 0) continue;
    std::ifstream backing(sysBlock + "/" + name + "/loop/backing_file");
    std::string file;
    if (!std::getline(backing, file)) continue;
    // A backing file removed since reads "PATH (deleted)", which names nothing.
    if (SameFile(image, file)) devices.push_back("/dev/" + name);
  }
  closedir(directory);
  return devices;
}

}  // namespace

std::string MountFailureReason(int error) {
  switch (error) {
    case EINVAL:
      return "not a valid NTFS volume";
    case EPERM:  // the library's answer for an active hiberfil.sys, checked only for a read-write mount
      return "Windows is hibernated on this volume, or was shut down with Fast Startup (hiberfil.sys is in use): "
             "start Windows and shut it down fully (Fast Startup off) first";
    case EBUSY:
      return "the device is in use by a mounted file system";
    case EAGAIN:  // the library's own lock on the device: another program has it open
      return "already mounted by this or another process";
    case EIO:
      return "the volume is damaged or truncated (" + std::string(std::strerror(error)) + ")";
    case EACCES:
    case EROFS:
      return "the device cannot be opened for writing (" + std::string(std::strerror(error)) + ")";
    default:
      return "mount refused: " + std::string(std::strerror(error));
  }
}

bool HasNtfsSignature(int fd) {
  char oemId[8];
  return pread(fd, oemId, sizeof(oemId), 3) == static_cast<ssize_t>(sizeof(oemId)) &&
         std::memcmp(oemId, "NTFS    ", sizeof(oemId)) == 0;
}

void SetMountTableForTests(const std::string& mountTable, const std::string& sysBlock) {
  std::lock_guard<std::mutex> guard(MountTables().mutex);
  MountTables().mountTable = mountTable;
  MountTables().sysBlock = sysBlock;
}

bool FindKernelMount(const std::string& device, std::string* mountPoint) {
  std::string mountTable = "/proc/self/mounts", sysBlock = "/sys/block";
  {
    std::lock_guard<std::mutex> guard(MountTables().mutex);
    if (!MountTables().mountTable.empty()) mountTable = MountTables().mountTable;
    if (!MountTables().sysBlock.empty()) sysBlock = MountTables().sysBlock;
  }
  struct stat info;
  if (stat(device.c_str(), &info) != 0) return false;
  std::vector<std::string> loops;
  if (S_ISREG(info.st_mode)) loops = LoopDevicesBackedBy(sysBlock, info);

  std::ifstream table(mountTable);
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string source, target;
    if (!(fields >> source >> target)) continue;
    source = UnescapeMountField(source);
    bool mounted = source.rfind('/', 0) == 0 && SameFile(info, source);
    for (const std::string& loop : loops) {
      // The loop device itself or one of its partitions (/dev/loop3p1).
      mounted = mounted || source == loop || (source.rfind(loop + "p", 0) == 0);
    }
    if (mounted) {
      *mountPoint = UnescapeMountField(target);
      return true;
    }
  }
  return false;
}

std::string CheckDeviceHoldsVolume(int fd) {
  unsigned char boot[512];
  if (pread(fd, boot, sizeof boot, 0) != static_cast<ssize_t>(sizeof boot)) return "";
  uint64_t bytesPerSector = boot[0x0B] | (boot[0x0C] << 8);
  uint64_t sectors = 0;
  for (int i = 7; i >= 0; --i) sectors = (sectors << 8) | boot[0x28 + i];
  struct stat info;
  if (fstat(fd, &info) != 0) return "";
  uint64_t deviceBytes = static_cast<uint64_t>(info.st_size);
  if (S_ISBLK(info.st_mode) && ioctl(fd, BLKGETSIZE64, &deviceBytes) != 0) return "";
  // The volume is `sectors` sectors long; the boot sector's backup in the sector after it is not needed.
  const uint64_t volumeBytes = sectors * bytesPerSector;
  if (bytesPerSector == 0 || sectors > UINT64_MAX / bytesPerSector || deviceBytes >= volumeBytes) return "";
  return "the device holds " + std::to_string(deviceBytes) + " bytes of a " + std::to_string(volumeBytes) +
         "-byte NTFS volume: the image was cut short (or the partition is too small)";
}

}  // namespace host
