#include "host/ntdll/files/Drives.h"

#include <sys/stat.h>

#include <array>
#include <climits>
#include <cstdlib>
#include <string>

#include "host/ntdll/Host.h"

namespace host {
namespace {

std::mutex g_drivesMutex;
std::array<std::shared_ptr<Drive>, 26> g_drives;

}  // namespace

std::shared_ptr<Drive> FindDrive(char16_t letter) {
  if (letter >= u'a' && letter <= u'z') letter = static_cast<char16_t>(letter - u'a' + u'A');
  if (letter < u'A' || letter > u'Z') return nullptr;
  std::lock_guard<std::mutex> guard(g_drivesMutex);
  return g_drives[letter - u'A'];
}

bool MountDrive(char letter, const std::string& device, std::string* error) {
  char upper = static_cast<char>(letter >= 'a' && letter <= 'z' ? letter - 'a' + 'A' : letter);
  if (upper < 'A' || upper > 'Z') {
    *error = std::string("drive letter '") + letter + "' is not a letter from A to Z";
    return false;
  }
  std::lock_guard<std::mutex> guard(g_drivesMutex);
  if (g_drives[upper - 'A']) {
    *error = std::string("drive ") + upper + ": is given twice";
    return false;
  }
  auto drive = std::make_shared<Drive>();
  drive->letter = upper;
  struct stat info {};
  char resolved[PATH_MAX];
  if (stat(device.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && realpath(device.c_str(), resolved) != nullptr) {
    drive->folder = resolved;
  } else {
    drive->volume = NtfsVolume::Mount(device, error);
    if (!drive->volume) return false;
  }
  g_drives[upper - 'A'] = drive;
  return true;
}

bool UnmountDrive(char letter, std::string* failure) {
  char upper = static_cast<char>(letter >= 'a' && letter <= 'z' ? letter - 'a' + 'A' : letter);
  if (upper < 'A' || upper > 'Z') return false;
  std::shared_ptr<Drive> drive;
  {
    std::lock_guard<std::mutex> guard(g_drivesMutex);
    drive.swap(g_drives[upper - 'A']);
  }
  if (!drive) return false;
  std::lock_guard<std::mutex> guard(drive->mutex);
  const std::string refused = drive->volume ? drive->volume->Close() : "";
  if (failure != nullptr) *failure = refused.empty() ? "" : std::string("drive ") + drive->letter + ": " + refused;
  drive->volume.reset();
  drive->folder.clear();
  return true;
}

std::vector<std::string> UnmountAllDrives() {
  std::array<std::shared_ptr<Drive>, 26> drives;
  {
    std::lock_guard<std::mutex> guard(g_drivesMutex);
    drives.swap(g_drives);
  }
  std::vector<std::string> failures;
  for (auto& drive : drives) {
    if (!drive) continue;
    std::lock_guard<std::mutex> guard(drive->mutex);
    const std::string failure = drive->volume ? drive->volume->Close() : "";
    if (!failure.empty()) failures.push_back(std::string("drive ") + drive->letter + ": " + failure);
    drive->volume.reset();
    drive->folder.clear();
  }
  return failures;
}

}  // namespace host
