#include "host/defrag/OfflineDefragmentation.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <set>

#include "config/FileConfigElement.h"
#include "defrag/Defragmentation.h"
#include "host/ntdll/Host.h"
#include "host/offline/VolumeAnalysis.h"
#include "native/VolumeExecutionContext.h"
#include "text/Utf.h"
#include "volume/FileFragments.h"
#include "volume/OpenFile.h"
#include "volume/Volume.h"
#include "volume/VolumeBitmapCache.h"

namespace host {
namespace {

constexpr char16_t kDrive[] = u"\\??\\C:";

// One contiguous piece of a file on the volume; `file` -1 for one that consolidation may not move.
struct Extent {
  int64_t lcn;
  int64_t count;
  int64_t vcn;
  int file;
};

// The engine on drive C: for one mount: the volume, its bitmap cache and the execution state, as the boot-time
// program's main sequence makes them for a volume.
class Engine {
 public:
  bool Open(std::string* error) {
    volume_ = std::make_shared<CVolume>();
    if (!volume_->Initialize(kDrive)) {
      *error = "the volume cannot be opened for defragmentation";
      return false;
    }
    context_ = std::make_shared<SVolumeExecutionContext>(volume_, std::make_shared<CVolumeBitmapCache>(volume_, true),
                                                         0.0, true);
    if (!context_->Initialize()) {
      *error = "cannot create the run's events";
      return false;
    }
    return true;
  }

  NTSTATUS Defragment(const std::string& path, SFileFragments* fragments) {
    auto entry = std::make_shared<SFileForProcessing>(SFileForProcessing{NativePathOnC(path), 0, kOperationDefragment});
    SDefragContext defragContext{std::make_shared<FileList>(FileList{entry}), context_};
    context_->ResetProgress();
    return CDefragmentation::DefragmentFile(defragContext, *entry, *fragments,
                                            SProgressRange{&context_->progress_, 1.0});
  }

  // Moves the file's [vcn, vcn + count) to lcn, as the engine moves.
  NTSTATUS Move(const std::string& path, int64_t vcn, int64_t count, int64_t lcn) {
    HANDLE file = nullptr;
    NTSTATUS status = OpenFile(NativePathOnC(path).c_str(), &file, FILE_READ_DATA, FILE_ATTRIBUTE_NORMAL,
                               FILE_SHARE_READ, FILE_OPEN, 0);
    if (!NT_SUCCESS(status)) return status;
    context_->ResetProgress();
    status =
        CDefragmentation::MoveFileRegion(*context_, file, lcn, vcn, count, SProgressRange{&context_->progress_, 1.0});
    NtClose(file);
    return status;
  }

  // The file's allocated runs exactly as the volume reports them (the engine's fragment lists merge runs that
  // touch on the volume, whatever their VCNs, which a move by VCN cannot use).
  NTSTATUS Runs(const std::string& path, int index, std::vector<Extent>* runs) {
    HANDLE file = nullptr;
    NTSTATUS status = OpenFile(NativePathOnC(path).c_str(), &file, FILE_READ_DATA, FILE_ATTRIBUTE_NORMAL,
                               FILE_SHARE_READ, FILE_OPEN, 0);
    if (!NT_SUCCESS(status)) return status;
    runs->clear();
    std::vector<uint8_t> buffer(64 * 1024);
    auto* pointers = reinterpret_cast<RETRIEVAL_POINTERS_BUFFER*>(buffer.data());
    STARTING_VCN_INPUT_BUFFER input{};
    do {
      IO_STATUS_BLOCK ioStatus{};
      status = NtFsControlFile(file, nullptr, nullptr, nullptr, &ioStatus, FSCTL_GET_RETRIEVAL_POINTERS, &input,
                               sizeof input, buffer.data(), static_cast<ULONG>(buffer.size()));
      if (NT_ERROR(status) || pointers->ExtentCount == 0) break;
      int64_t vcn = pointers->StartingVcn.QuadPart;
      for (ULONG i = 0; i < pointers->ExtentCount; ++i) {
        const int64_t next = pointers->Extents[i].NextVcn.QuadPart;
        if (pointers->Extents[i].Lcn.QuadPart >= 0 && next > std::max(vcn, input.StartingVcn.QuadPart)) {
          const int64_t from = std::max(vcn, input.StartingVcn.QuadPart);
          runs->push_back(Extent{pointers->Extents[i].Lcn.QuadPart + (from - vcn), next - from, from, index});
        }
        vcn = next;
      }
      input.StartingVcn.QuadPart = vcn;
    } while (status == STATUS_BUFFER_OVERFLOW);
    NtClose(file);
    return status == STATUS_END_OF_FILE || NT_SUCCESS(status) ? STATUS_SUCCESS : status;
  }

  // The allocation bitmap as the volume answers now.
  NTSTATUS ReadBitmap(ClusterBitmap* bitmap) {
    const int64_t total = volume_->GetTotalClusters();
    std::vector<uint8_t> buffer(sizeof(VOLUME_BITMAP_BUFFER) + static_cast<size_t>(total / 8 + 8));
    STARTING_LCN_INPUT_BUFFER input{};
    IO_STATUS_BLOCK ioStatus{};
    const NTSTATUS status =
        NtFsControlFile(volume_->GetHandle(), nullptr, nullptr, nullptr, &ioStatus, FSCTL_GET_VOLUME_BITMAP, &input,
                        sizeof input, buffer.data(), static_cast<ULONG>(buffer.size()));
    if (status != STATUS_SUCCESS) return NT_SUCCESS(status) ? STATUS_BUFFER_OVERFLOW : status;
    const size_t offset = offsetof(VOLUME_BITMAP_BUFFER, Buffer);
    *bitmap = ClusterBitmap(std::vector<uint8_t>(buffer.begin() + offset, buffer.end()), total);
    return STATUS_SUCCESS;
  }

 private:
  std::shared_ptr<CVolume> volume_;
  std::shared_ptr<SVolumeExecutionContext> context_;
};

bool ExtentBefore(const Extent& a, const Extent& b) { return a.lcn < b.lcn; }

// Where consolidation stands: every file's extents by cluster, and the volume's files.
struct Layout {
  VolumeLayout volume;
  std::vector<FileLayout> files;
  std::vector<Extent> extents;  // sorted by lcn

  // Reads the runs of file `index` again, after it moved.
  NTSTATUS Update(Engine& engine, int index) {
    std::vector<Extent> runs;
    const NTSTATUS status = engine.Runs(files[static_cast<size_t>(index)].path, index, &runs);
    if (!NT_SUCCESS(status)) return status;
    extents.erase(std::remove_if(extents.begin(), extents.end(), [index](const Extent& e) { return e.file == index; }),
                  extents.end());
    // A merge, not a sort of the whole: consolidation reads files again after every move it makes.
    std::sort(runs.begin(), runs.end(), ExtentBefore);
    const auto kept = static_cast<std::ptrdiff_t>(extents.size());
    extents.insert(extents.end(), runs.begin(), runs.end());
    std::inplace_merge(extents.begin(), extents.begin() + kept, extents.end(), ExtentBefore);
    return STATUS_SUCCESS;
  }
};

// The volume's own files and files with holes (sparse, compressed) stay where they are.
bool Movable(const FileLayout& file) {
  int64_t allocated = 0;
  for (const ClusterRun& run : file.fragments) allocated += run.count;
  return file.path.rfind("/$", 0) != 0 && allocated == file.clusters;
}

bool ReadLayout(const std::string& device, const std::set<std::string>& stayPut, Layout* layout, std::string* error) {
  std::unique_ptr<VolumeAnalysis> analysis = VolumeAnalysis::Open(device, error);
  VolumeFiles walk;
  if (!analysis || !analysis->ReadVolume(&layout->volume, error) || !analysis->ReadAllFiles(&walk, error)) return false;
  layout->files = std::move(walk.files);
  layout->extents.clear();
  for (size_t i = 0; i < layout->files.size(); ++i) {
    const bool movable = Movable(layout->files[i]) && stayPut.count(layout->files[i].path) == 0;
    int64_t vcn = 0;
    for (const ClusterRun& run : layout->files[i].fragments) {
      layout->extents.push_back(Extent{run.lcn, run.count, vcn, movable ? static_cast<int>(i) : -1});
      vcn += run.count;
    }
  }
  std::sort(layout->extents.begin(), layout->extents.end(), ExtentBefore);
  return true;
}

// A stretch of the volume to empty for a file of `clusters`: [start, end) holds at least that many clusters and
// otherwise only runs of movable files, `cost` clusters of them to move. A window is exactly the file's size: what
// is in the way goes elsewhere for good. A wider region holds the file's size in free clusters besides: what is in
// the way comes back into it after the file.
struct Region {
  int64_t start;
  int64_t end;
  int64_t cost;
};

// The windows (`window`) or regions for a file of `clusters`, outside the MFT zone and with room outside them for
// what they hold, fewest clusters to move first (lowest of equals).
std::vector<Region> Regions(const Layout& layout, const ClusterBitmap& bitmap, int64_t clusters, bool window) {
  const int64_t total = layout.volume.totalClusters;
  const int64_t zoneStart = layout.volume.mftZoneStart, zoneEnd = layout.volume.mftZoneEnd;
  const int64_t usable =
      total - bitmap.CountUsed(0, total) - ((zoneEnd - zoneStart) - bitmap.CountUsed(zoneStart, zoneEnd));
  const std::vector<Extent>& extents = layout.extents;
  std::vector<int64_t> starts{0, zoneEnd};
  for (const Extent& e : extents) starts.push_back(e.lcn + e.count);
  std::sort(starts.begin(), starts.end());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());

  std::vector<Region> candidates;
  size_t first = 0;  // the first extent that ends after the start
  for (int64_t start : starts) {
    while (first < extents.size() && extents[first].lcn + extents[first].count <= start) ++first;
    int64_t at = start, room = 0, cost = 0;
    bool movable = true;
    for (size_t i = first;; ++i) {
      const int64_t next = i < extents.size() ? std::max(extents[i].lcn, at) : total;
      if (room + (next - at) >= clusters) {
        at += clusters - room;
        break;
      }
      room += next - at;
      if (i == extents.size() || extents[i].file < 0) {
        movable = false;
        break;
      }
      // A window counts what is in the way as room too, and the runs it cuts whole as cost.
      const int64_t length = extents[i].lcn + extents[i].count - next;
      cost += window ? extents[i].count : length;
      if (window && room + length >= clusters) {
        at = next + (clusters - room);
        break;
      }
      room += window ? length : 0;
      at = extents[i].lcn + extents[i].count;
    }
    if (movable && at <= total && (at <= zoneStart || start >= zoneEnd)) candidates.push_back(Region{start, at, cost});
  }
  std::sort(candidates.begin(), candidates.end(),
            [](const Region& a, const Region& b) { return a.cost != b.cost ? a.cost < b.cost : a.start < b.start; });
  std::vector<Region> regions;
  for (const Region& region : candidates) {
    // Used clusters that no file of the walk claims (directories' indexes, leaks) rule a stretch out.
    int64_t claimed = 0;
    for (auto e =
             std::lower_bound(extents.begin(), extents.end(), Extent{region.start - clusters, 0, 0, 0}, ExtentBefore);
         e != extents.end() && e->lcn < region.end; ++e) {
      claimed += std::max<int64_t>(0, std::min(e->lcn + e->count, region.end) - std::max(e->lcn, region.start));
    }
    const int64_t freeInside = (region.end - region.start) - claimed;
    if (bitmap.CountUsed(region.start, region.end) == claimed && usable - freeInside >= region.cost) {
      regions.push_back(region);
    }
  }
  return regions;
}

// Empties `region` into the lowest free space outside it and the MFT zone (runs that no free run holds whole go in
// pieces), moves `file` into it, and gathers again each file that was in the way: the region has room for them
// after the file. Every file it moves is read again into the layout.
NTSTATUS MakeRoom(Engine& engine, Layout* layout, const Region& region, bool window, int file,
                  std::vector<int>* moved) {
  ClusterBitmap space;
  NTSTATUS status = engine.ReadBitmap(&space);
  if (!NT_SUCCESS(status)) return status;
  const int64_t total = space.Clusters();
  space.MarkUsed(layout->volume.mftZoneStart, layout->volume.mftZoneEnd);
  space.MarkUsed(region.start, region.end);
  std::vector<int>& owners = *moved;
  for (const Extent& e : layout->extents) {
    if (e.lcn < region.end && e.lcn + e.count > region.start) owners.push_back(e.file);
  }
  std::sort(owners.begin(), owners.end());
  owners.erase(std::unique(owners.begin(), owners.end()), owners.end());
  for (int owner : owners) {
    const std::string& path = layout->files[static_cast<size_t>(owner)].path;
    std::vector<Extent> runs;
    status = engine.Runs(path, owner, &runs);
    for (size_t r = 0; NT_SUCCESS(status) && r < runs.size(); ++r) {
      Extent e = runs[r];
      if (e.lcn >= region.end || e.lcn + e.count <= region.start) continue;
      while (e.count > 0 && NT_SUCCESS(status)) {
        int64_t target = -1, length = 0;
        for (int64_t at = 0; at < total;) {
          const int64_t from = space.NextChange(at, total, true);
          if (from == total) break;
          at = space.NextChange(from, total, false);
          if (target < 0) {
            target = from;
            length = std::min(e.count, at - from);
          }
          if (at - from >= e.count) {
            target = from;
            length = e.count;
            break;
          }
        }
        // A window's runs go whole or not at all: nothing comes back to gather them.
        if (target < 0 || (window && length < e.count)) return STATUS_DISK_FULL;
        status = engine.Move(path, e.vcn, length, target);
        space.MarkUsed(target, target + length);
        e.vcn += length;
        e.count -= length;
      }
    }
    if (!NT_SUCCESS(status)) return status;
  }
  SFileFragments fragments;
  status = engine.Defragment(layout->files[static_cast<size_t>(file)].path, &fragments);
  layout->Update(engine, file);
  for (int owner : owners) {
    if (owner != file && !window) engine.Defragment(layout->files[static_cast<size_t>(owner)].path, &fragments);
    layout->Update(engine, owner);
  }
  return status;
}

}  // namespace

std::u16string NativePathOnC(const std::string& path) {
  std::u16string native = kDrive;
  for (char16_t c : text::Utf8ToUtf16(path)) native += c == u'/' ? u'\\' : c;
  return native;
}

namespace {

// Passes of the engine over the files still fragmented while a pass lowers their fragments.
bool RunPasses(Engine& engine, std::vector<DefragFile>* files, const DefragSettings& settings,
               std::vector<DefragPass>* passes, uint64_t movedAtStart) {
  for (;;) {
    DefragPass pass;
    std::vector<DefragFile*> pending;
    uint64_t bytesToGo = 0;
    for (DefragFile& file : *files) {
      if (file.fragmentsAfter <= 1) continue;
      pending.push_back(&file);
      bytesToGo += static_cast<uint64_t>(file.clusters * settings.clusterSize);
    }
    if (pending.empty()) return true;
    const uint64_t movedBefore = ClustersMoved();
    for (DefragFile* file : pending) {
      bytesToGo -= static_cast<uint64_t>(file->clusters * settings.clusterSize);
      if (settings.progress) {
        settings.progress(DefragProgress{passes->size() + 1, pass.files + 1, pending.size(), &file->path,
                                         (ClustersMoved() - movedAtStart) * settings.clusterSize, bytesToGo});
      }
      ++pass.files;
      pass.fragmentsBefore += file->fragmentsAfter;
      SFileFragments fragments;
      file->status = engine.Defragment(file->path, &fragments);
      // A file the engine could not open keeps the count it had.
      if (fragments.VcnCount > 0 || fragments.FragmentCount > 0) file->fragmentsAfter = fragments.FragmentCount;
      pass.fragmentsAfter += file->fragmentsAfter;
      if (file->status == STATUS_CANCELLED) return true;
    }
    pass.bytesMoved = (ClustersMoved() - movedBefore) * static_cast<uint64_t>(settings.clusterSize);
    passes->push_back(pass);
    if (settings.passDone) settings.passDone(pass);
    if (pass.fragmentsAfter >= pass.fragmentsBefore) return true;
  }
}

// Makes room for each file still fragmented, largest first, and moves it there.
bool Consolidate(const std::string& device, std::vector<DefragFile>* files, const DefragSettings& settings,
                 std::vector<DefragPass>* passes, std::string* error) {
  // Only C: is let go: other drives (a host folder taking the log) stay in use.
  std::string failure;
  UnmountDrive('C', &failure);
  if (!failure.empty()) {
    *error = failure;
    return false;
  }
  Layout layout;
  if (!ReadLayout(device, settings.stayPut, &layout, error) || !MountDrive('C', device, error)) return false;
  Engine engine;
  if (!engine.Open(error)) return false;
  std::map<std::string, int> indexOf;
  for (size_t i = 0; i < layout.files.size(); ++i) indexOf[layout.files[i].path] = static_cast<int>(i);

  std::vector<DefragFile*> pending;
  std::map<std::string, DefragFile*> byPath;
  for (DefragFile& file : *files) {
    byPath[file.path] = &file;
    if (file.fragmentsAfter > 1 && indexOf.count(file.path) != 0) pending.push_back(&file);
  }
  std::sort(pending.begin(), pending.end(), [](const DefragFile* a, const DefragFile* b) {
    return a->clusters != b->clusters ? a->clusters > b->clusters : a->path < b->path;
  });
  DefragPass pass;
  pass.consolidation = true;
  const uint64_t movedBefore = ClustersMoved();
  // The regions found last, and for what: while no cluster moved, the layout and the bitmap are those they were
  // found in, and the next try or the next file of the same size takes them again instead of searching anew (on a
  // nearly full volume almost every try fails before moving anything).
  struct Found {
    std::vector<Region> regions;
    int64_t clusters = -1;
    uint64_t moved = 0;
  } found[2];  // regions, windows
  for (DefragFile* file : pending) {
    ClusterBitmap bitmap;
    if (!NT_SUCCESS(engine.ReadBitmap(&bitmap))) break;
    // Windows first (what is in the way moves once, whole); when none serves, or a run in each has no place,
    // wider regions (what is in the way moves twice).
    constexpr int kTries = 8;
    std::vector<int> moved;
    const int index = indexOf[file->path];
    NTSTATUS status = STATUS_DISK_FULL;
    for (int attempt = 0; attempt < 2 * kTries && status == STATUS_DISK_FULL; ++attempt) {
      const bool window = attempt < kTries;
      for (int owner : moved) layout.Update(engine, owner);
      moved.clear();
      if (!NT_SUCCESS(engine.ReadBitmap(&bitmap))) break;
      Found& last = found[window ? 1 : 0];
      if (last.clusters != file->clusters || last.moved != ClustersMoved()) {
        last.regions = Regions(layout, bitmap, file->clusters, window);
        last.clusters = file->clusters;
        last.moved = ClustersMoved();
      }
      const std::vector<Region>& regions = last.regions;
      const size_t pick = static_cast<size_t>(window ? attempt : attempt - kTries);
      if (pick >= regions.size()) {
        attempt = window ? kTries - 1 : 2 * kTries;
        continue;
      }
      status = MakeRoom(engine, &layout, regions[pick], window, index, &moved);
    }
    if (status == STATUS_DISK_FULL) continue;
    ++pass.files;
    pass.fragmentsBefore += file->fragmentsAfter;
    file->status = status;
    moved.push_back(indexOf[file->path]);
    // The engine's count, for every chosen file this moved.
    for (int index : moved) {
      auto chosen = byPath.find(layout.files[static_cast<size_t>(index)].path);
      if (chosen == byPath.end()) continue;
      std::vector<Extent> runs;
      std::copy_if(layout.extents.begin(), layout.extents.end(), std::back_inserter(runs),
                   [index](const Extent& e) { return e.file == index; });
      std::sort(runs.begin(), runs.end(), [](const Extent& a, const Extent& b) { return a.vcn < b.vcn; });
      int64_t fragments = 0, lastEnd = -1;
      for (const Extent& e : runs) {
        fragments += e.lcn == lastEnd ? 0 : 1;
        lastEnd = e.lcn + e.count;
      }
      chosen->second->fragmentsAfter = fragments;
    }
    pass.fragmentsAfter += file->fragmentsAfter;
    if (file->status == STATUS_CANCELLED) break;
  }
  pass.bytesMoved = (ClustersMoved() - movedBefore) * static_cast<uint64_t>(settings.clusterSize);
  passes->push_back(pass);
  if (settings.passDone) settings.passDone(pass);
  return RunPasses(engine, files, settings, passes, movedBefore);
}

}  // namespace

bool DefragmentFiles(const std::string& device, std::vector<DefragFile>* files, const DefragSettings& settings,
                     std::vector<DefragPass>* passes, std::string* error) {
  const uint64_t movedAtStart = ClustersMoved();
  {
    Engine engine;
    if (!engine.Open(error)) return false;
    RunPasses(engine, files, settings, passes, movedAtStart);
  }
  // Each consolidation frees room the next may use; they go on while one lowers the fragments left.
  auto fragmentsLeft = [files]() {
    int64_t left = 0;
    for (const DefragFile& file : *files) left += file.fragmentsAfter > 1 ? file.fragmentsAfter : 0;
    return left;
  };
  for (int64_t left = fragmentsLeft(); settings.consolidate && left > 0 && PendingInterrupt() == 0;) {
    if (!Consolidate(device, files, settings, passes, error)) return false;
    const int64_t now = fragmentsLeft();
    if (now >= left) break;
    left = now;
  }
  return true;
}

}  // namespace host
