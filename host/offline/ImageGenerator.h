// Fragmented content for demonstrations, tests and benchmarks: files of random bytes whose clusters are scattered
// over the free space of a volume in pieces of random length, interleaved with each other, in no particular order,
// as years of use leave a disk. A seed gives the same bytes and the same layout every time on the same volume.
//
//   host::FragmentOptions options;
//   options.files = 8;
//   std::vector<host::GeneratedFile> files;
//   if (!host::GenerateFragmentedFiles(volume, options, &files, &error)) ...
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/ntfs/NtfsVolume.h"

namespace host {

struct FragmentOptions {
  int files = 8;
  uint64_t size = 4ull << 20;  // bytes per file
  uint32_t seed = 1;
  std::u16string directory = u"Fragmented";  // where the files go, created when missing
  int minFragments = 10;  // per file, chosen at random in [minFragments, maxFragments] and at most its clusters
  int maxFragments = 100;
};

struct GeneratedFile {
  std::u16string path;  // volume-relative, u"Fragmented\\file01.bin"
  int64_t clusters = 0;
  int64_t fragments = 0;  // runs after merging neighbours that happen to touch
};

// Writes options.files files into options.directory and scatters each over the free space outside the MFT zone.
// False with one line in *error when the volume has too little free space (checked before anything is written) or
// a write or move fails; what the call wrote is then removed again.
bool GenerateFragmentedFiles(NtfsVolume& volume, const FragmentOptions& options, std::vector<GeneratedFile>* files,
                             std::string* error);

// The bytes of file `index` (0-based) for `seed`: what GenerateFragmentedFiles wrote, for checking them later.
std::string GeneratedContent(uint32_t seed, int index, uint64_t size);

}  // namespace host
