#include "host/ntdll/faults/FsOverrides.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace host {
namespace {

// Clusters [firstLcn, firstLcn + count) of a drive.
struct ClusterRange {
  char drive;
  int64_t firstLcn;
  int64_t count;
};

struct MoveRefusal {
  char drive;
  int64_t firstLcn;
  int64_t count;
  NTSTATUS status;
};

struct MoveRedirect {
  char drive;
  int64_t askedLcn;
  int64_t landingLcn;
};

struct RetrievalOverride {
  char drive;
  std::u16string path;
  std::vector<OverrideExtent> extents;
};

struct Overrides {
  std::mutex mutex;
  std::vector<VolumeDataEditor> volumeData;
  std::vector<MoveRefusal> refusals;
  std::vector<MoveRedirect> redirects;
  std::vector<RetrievalOverride> retrieval;
  bool strict = false;
  std::vector<ClusterRange> freed;  // strict mode: clusters freed since the drive's last flush
};

Overrides& State() {
  static Overrides* state = new Overrides();  // outlives every thread that may still call in at exit
  return *state;
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

char16_t Upper16(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool SamePath(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upper16(a[i]) != Upper16(b[i])) return false;
  }
  return true;
}

}  // namespace

void AddVolumeDataOverride(VolumeDataEditor editor) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().volumeData.push_back(std::move(editor));
}

void OverrideMftZone(char drive, int64_t start, int64_t end) {
  AddVolumeDataOverride([letter = Upper(drive), start, end](char target, NTFS_VOLUME_DATA_BUFFER* data) {
    if (target != letter) return;
    data->MftZoneStart.QuadPart = start;
    data->MftZoneEnd.QuadPart = end;
  });
}

void RefuseMovesInto(char drive, int64_t firstLcn, int64_t count, NTSTATUS status) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().refusals.push_back(MoveRefusal{Upper(drive), firstLcn, count, status});
}

void RedirectMoves(char drive, int64_t askedLcn, int64_t landingLcn) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().redirects.push_back(MoveRedirect{Upper(drive), askedLcn, landingLcn});
}

void OverrideRetrievalPointers(char drive, const std::u16string& path, std::vector<OverrideExtent> extents) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().retrieval.push_back(RetrievalOverride{Upper(drive), path, std::move(extents)});
}

void SetNtfsStrict(bool strict) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().strict = strict;
}

bool NtfsStrict() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().strict;
}

void NoteFreedClusters(char drive, int64_t lcn, int64_t count) {
  std::lock_guard<std::mutex> lock(State().mutex);
  if (State().strict && count > 0) State().freed.push_back(ClusterRange{Upper(drive), lcn, count});
}

bool OverlapsFreedClusters(char drive, int64_t lcn, int64_t count) {
  std::lock_guard<std::mutex> lock(State().mutex);
  for (const ClusterRange& range : State().freed) {
    if (range.drive == Upper(drive) && lcn < range.firstLcn + range.count && range.firstLcn < lcn + count) return true;
  }
  return false;
}

void ForgetFreedClusters(char drive) {
  std::lock_guard<std::mutex> lock(State().mutex);
  auto& freed = State().freed;
  freed.erase(
      std::remove_if(freed.begin(), freed.end(), [drive](const ClusterRange& r) { return r.drive == Upper(drive); }),
      freed.end());
}

void ClearFsOverrides() {
  Overrides& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.strict = false;
  state.freed.clear();
  state.volumeData.clear();
  state.refusals.clear();
  state.redirects.clear();
  state.retrieval.clear();
}

void ApplyVolumeDataOverrides(char drive, NTFS_VOLUME_DATA_BUFFER* data) {
  std::vector<VolumeDataEditor> editors;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    editors = State().volumeData;
  }
  // Outside the lock, so that an editor may itself add or clear overrides.
  for (const VolumeDataEditor& edit : editors) edit(Upper(drive), data);
}

bool FindMoveRefusal(char drive, int64_t lcn, int64_t count, NTSTATUS* status) {
  std::lock_guard<std::mutex> lock(State().mutex);
  for (const MoveRefusal& refusal : State().refusals) {
    if (refusal.drive == Upper(drive) && lcn < refusal.firstLcn + refusal.count && refusal.firstLcn < lcn + count) {
      *status = refusal.status;
      return true;
    }
  }
  return false;
}

bool FindMoveRedirect(char drive, int64_t lcn, int64_t* landingLcn) {
  std::lock_guard<std::mutex> lock(State().mutex);
  for (const MoveRedirect& redirect : State().redirects) {
    if (redirect.drive == Upper(drive) && (redirect.askedLcn == kAnyLcn || redirect.askedLcn == lcn)) {
      *landingLcn = redirect.landingLcn;
      return true;
    }
  }
  return false;
}

bool FindRetrievalPointersOverride(char drive, const std::u16string& path, std::vector<OverrideExtent>* extents) {
  std::lock_guard<std::mutex> lock(State().mutex);
  for (const RetrievalOverride& entry : State().retrieval) {
    if (entry.drive == Upper(drive) && SamePath(entry.path, path)) {
      *extents = entry.extents;
      return true;
    }
  }
  return false;
}

}  // namespace host
