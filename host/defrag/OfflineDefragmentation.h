// Offline defragmentation of a whole selection of files with the boot-time program's own engine
// (CDefragmentation), run on the host's native calls against drive C:. Passes over the files still fragmented
// repeat while a pass lowers their fragment count; with consolidation, the files and fragments that stand where a
// file still fragmented could go are moved out of the way first, and the passes start again.
//
//   host::MountDrive('C', "disk.img", &error);
//   std::vector<host::DefragFile> files = ...;  // paths from a walk of the volume (VolumeAnalysis)
//   host::DefragSettings settings;
//   settings.consolidate = true;
//   host::DefragmentFiles("disk.img", &files, settings, &passes, &error);
//
// Nothing is written to the volume but the moves. Consolidation takes a fresh look at the whole layout, read-only:
// it unmounts C: for that and mounts it again.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/NativeApi.h"

namespace host {

struct DefragFile {
  std::string path;  // from the root, '/'-separated, UTF-8: "/Data/big.bin"
  int64_t clusters = 0;
  int64_t fragmentsBefore = 0;
  int64_t fragmentsAfter = 0;
  NTSTATUS status = STATUS_SUCCESS;  // the engine's last answer for it
};

struct DefragPass {
  bool consolidation = false;  // files and fragments moved out of the way, not a pass of the engine
  size_t files = 0;            // worked on
  int64_t fragmentsBefore = 0;
  int64_t fragmentsAfter = 0;
  uint64_t bytesMoved = 0;
};

struct DefragProgress {
  size_t pass = 0;  // 1-based
  size_t file = 0;  // 1-based within the pass
  size_t files = 0;
  const std::string* path = nullptr;
  uint64_t bytesMoved = 0;  // since the run started
  uint64_t bytesToGo = 0;   // of the files after this one in the pass
};

struct DefragSettings {
  int64_t clusterSize = 4096;
  bool consolidate = false;
  std::set<std::string> stayPut;                        // paths consolidation must not move (files the user left out)
  std::function<void(const DefragProgress&)> progress;  // before each file
  std::function<void(const DefragPass&)> passDone;
};

// The native path of a volume path on drive C: ("/Data/big.bin" -> \??\C:\Data\big.bin).
std::u16string NativePathOnC(const std::string& path);

// Defragments `files` on drive C:, which is mounted on `device`. Stops early, with what was done, when an interrupt
// asks the engine to. False with *error when the volume cannot be worked on (C: may then be unmounted).
bool DefragmentFiles(const std::string& device, std::vector<DefragFile>* files, const DefragSettings& settings,
                     std::vector<DefragPass>* passes, std::string* error);

}  // namespace host
