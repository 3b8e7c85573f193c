// The drive table: which NTFS volume, or which host folder, backs each letter A to Z. MountDrive and friends (host/ntdll/Host.h) fill it
// for the command line and the tests; the file calls find drives here.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "host/ntfs/NtfsVolume.h"

namespace host {

struct Drive {
  char letter;
  std::mutex mutex;  // held around every use of `volume`, so unmounting waits for calls in progress
  std::unique_ptr<NtfsVolume> volume;
  std::string folder;  // for a drive backed by a host folder (no volume): its absolute path

  // False once unmounted: calls on handles still open then fail.
  bool Mounted() const { return volume || !folder.empty(); }
};

// The drive of `letter` (either case), or null when none is mounted there.
std::shared_ptr<Drive> FindDrive(char16_t letter);

}  // namespace host
