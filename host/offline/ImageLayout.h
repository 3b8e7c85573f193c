// File layouts on a mounted NTFS volume: files written with their parent directories, clusters placed exactly
// where a caller wants them, files cut into fragments, sparse and compressed files, a volume filled up to chosen
// holes. The placing is done with the same move machinery as FSCTL_MOVE_FILE, so a layout made here is one the
// system could have made itself.
//
//   std::string error;
//   host::NtfsVolume::Node node;
//   if (!host::PutFile(volume, u"Data\\big.bin", bytes, &node, &error) ||
//       !host::FragmentFile(volume, node.mftRef, 1000, nullptr, &error)) {
//     std::fprintf(stderr, "%s\n", error.c_str());
//   }
//
// Every call returns false with one line for a user in *error when it fails; what it changed before that stays.
// Paths are as NtfsVolume takes them (u"Dir\\File").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/ntfs/NtfsVolume.h"

namespace host {

// Clusters [lcn, lcn + count).
struct ClusterRun {
  int64_t lcn;
  int64_t count;
};

// Bytes at an offset of a sparse file.
struct FilePiece {
  uint64_t offset;
  std::string bytes;
};

// "0xC0000034": a status as error messages show it.
std::string Hex(NTSTATUS status);
// A path for a message: characters outside ASCII become '?'.
std::string Narrow(const std::u16string& text);

// Creates the directory `path` and any missing parents; an existing directory is fine, an existing file is not.
bool MakeDirectories(NtfsVolume& volume, const std::u16string& path, std::string* error);

// Puts `bytes` at `path`, creating missing parent directories and replacing the content of an existing file.
// *node (when given) names the file; its size is that before the write.
bool PutFile(NtfsVolume& volume, const std::u16string& path, const std::string& bytes, NtfsVolume::Node* node,
             std::string* error);

// Every run of the stream of `mftRef`; none (and success) for a resident or empty stream.
NTSTATUS AllRuns(NtfsVolume& volume, uint64_t mftRef, std::vector<NtfsVolume::Run>* runs);

// Moves the clusters of `mftRef` (a file without holes) to `runs`, in file order: their counts add up to the file's
// clusters and the targets are free. A file that already lies where it is to go is first moved whole out of the way.
bool PlaceRuns(NtfsVolume& volume, uint64_t mftRef, const std::vector<ClusterRun>& runs, std::string* error);

// Moves the file's clusters into `fragments` runs of nearly equal size, ascending, with one free cluster between
// neighbours, in the first free space large enough outside the MFT zone. *runs (when given) receives them.
bool FragmentFile(NtfsVolume& volume, uint64_t mftRef, int fragments, std::vector<ClusterRun>* runs,
                  std::string* error);

// A sparse file of `size` bytes with `pieces` in it (ascending, not overlapping) and holes, in whole clusters,
// elsewhere. Fails when the library did not make the stream sparse.
bool PutSparseFile(NtfsVolume& volume, const std::u16string& path, uint64_t size, const std::vector<FilePiece>& pieces,
                   std::string* error);

// A compressed file, created in its directory after flagging that directory compressed, as Windows compresses new
// files in a compressed directory. The file must not exist yet.
bool PutCompressedFile(NtfsVolume& volume, const std::u16string& path, const std::string& bytes, std::string* error);

// Allocates every free cluster except those of `keepFree` (which must be free) to one file at `path`: its clusters
// are allocated, not written, and read as zeros.
bool FillVolumeExcept(NtfsVolume& volume, const std::vector<ClusterRun>& keepFree, const std::u16string& path,
                      std::string* error);

}  // namespace host
