// What the NTFS file-system controls of the host answer, bent for a test: a chosen MFT zone or other volume data,
// moves refused or landing elsewhere, a file's retrieval pointers. Process-wide and thread-safe; every override
// stays until ClearFsOverrides(). Drive letters are 'A' to 'Z' (either case); LCNs and VCNs are in clusters.
//
//   host::OverrideMftZone('C', -5, 1 << 40);                               // a zone the system must clamp
//   host::RefuseMovesInto('C', 1000, 50, STATUS_ALREADY_COMMITTED);        // a range NTFS will not give out
//   host::RedirectMoves('C', host::kAnyLcn, host::kAnyFreeLcn);            // moves succeed, somewhere else
//   host::OverrideRetrievalPointers('C', u"Data\\a.bin", {{16, 100}, {32, -1}});
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/NativeApi.h"

namespace host {

// Edits the real volume data of `drive` before FSCTL_GET_NTFS_VOLUME_DATA returns it. Editors run in the order
// they were added.
using VolumeDataEditor = std::function<void(char drive, NTFS_VOLUME_DATA_BUFFER* data)>;
void AddVolumeDataOverride(VolumeDataEditor editor);
// Reports [start, end) as the MFT zone of `drive`, whatever the values (negative, past the volume, reversed).
void OverrideMftZone(char drive, int64_t start, int64_t end);

// A move on `drive` whose target [StartingLcn, StartingLcn + ClusterCount) overlaps [firstLcn, firstLcn + count)
// fails with `status` and changes nothing.
void RefuseMovesInto(char drive, int64_t firstLcn, int64_t count, NTSTATUS status);

constexpr int64_t kAnyLcn = -1;      // as askedLcn: every move on the drive
constexpr int64_t kAnyFreeLcn = -1;  // as landingLcn: the first free run that does not overlap the asked one
// A move on `drive` asked to land at `askedLcn` lands at `landingLcn` instead and still succeeds, as NTFS
// sometimes places clusters elsewhere than asked. A landing place that is not free refuses the move as any other
// target would (STATUS_ALREADY_COMMITTED); no free place at all gives STATUS_DISK_FULL.
void RedirectMoves(char drive, int64_t askedLcn, int64_t landingLcn);

// FSCTL_GET_RETRIEVAL_POINTERS on file `path` of `drive` (volume-relative, matched without case) answers these
// extents, from VCN 0, instead of the file's runs. An Lcn of -1 is a hole.
struct OverrideExtent {
  int64_t nextVcn;
  int64_t lcn;
};
void OverrideRetrievalPointers(char drive, const std::u16string& path, std::vector<OverrideExtent> extents);

// NTFS as strict as Windows is where the host is otherwise lenient (on for every drive until ClearFsOverrides):
// - clusters that a move freed are not a move target again until the volume is flushed (NTFS reuses them only
//   after its next checkpoint): such a move fails with STATUS_ALREADY_COMMITTED;
// - FSCTL_GET_VOLUME_BITMAP starts its answer at the page of bitmap (32,768 clusters) that holds the LCN asked for.
void SetNtfsStrict(bool strict);
bool NtfsStrict();
constexpr int64_t kStrictBitmapAlignment = 4096 * 8;

// For the controls, in strict mode: clusters [lcn, lcn + count) of `drive` were just freed by a move; whether a
// target overlaps clusters freed since the last flush; the volume was flushed.
void NoteFreedClusters(char drive, int64_t lcn, int64_t count);
bool OverlapsFreedClusters(char drive, int64_t lcn, int64_t count);
void ForgetFreedClusters(char drive);

void ClearFsOverrides();

// For the controls.
void ApplyVolumeDataOverrides(char drive, NTFS_VOLUME_DATA_BUFFER* data);
// True with the status when a refusal matches.
bool FindMoveRefusal(char drive, int64_t lcn, int64_t count, NTSTATUS* status);
// True with the landing LCN (possibly kAnyFreeLcn) when a redirection matches.
bool FindMoveRedirect(char drive, int64_t lcn, int64_t* landingLcn);
bool FindRetrievalPointersOverride(char drive, const std::u16string& path, std::vector<OverrideExtent>* extents);

}  // namespace host
