// The engine on real NTFS images: each decision and failure path of DefragmentFile, the mover's chunking,
// progress and gap following, the whole-file retries and the partial gathering. After every test the volume is
// consistent, every file laid out holds its original bytes, and no file the engine moved lies in the MFT zone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>

#include "SystemImage.h"
#include "config/FileConfigElement.h"
#include "defrag/Defragmentation.h"
#include "host/ntdll/Host.h"
#include "host/ntdll/faults/Faults.h"
#include "host/ntdll/faults/FsOverrides.h"
#include "native/VolumeExecutionContext.h"
#include "support/BootLog.h"
#include "support/RandomBytes.h"
#include "support/TestImage.h"
#include "volume/FileFragments.h"
#include "volume/OpenFile.h"
#include "volume/Volume.h"
#include "volume/VolumeBitmapCache.h"

using testing::HasSubstr;
using testing::Not;
using testsupport::Matches;
using testsupport::Occurrences;
using testsupport::RandomBytes;

namespace {

// Free on the fresh 64 MiB image: its MFT zone is [0, 2051) and $LogFile holds [8192, 8704).
constexpr int64_t kFreeLow = 3000;
constexpr int64_t kFreeHigh = 10000;

// A fresh image per test, laid out before it is mounted as E:, and the records the engine works on.
class Engine : public testing::Test {
 protected:
  void TearDown() override {
    host::ClearFaultRules();
    host::ClearFsOverrides();
    context_.reset();
    if (mounted_) host::UnmountDrive('E');
    EXPECT_TRUE(image_.ClustersConsistent());
    for (const auto& [path, content] : contents_) {
      EXPECT_EQ(content, image_.ReadFile(path)) << "content of " << std::string(path.begin(), path.end());
      for (const auto& run : image_.RunsOf(path)) {
        for (const SReservedZone& zone : zones_) {
          EXPECT_FALSE(run.lcn >= 0 && run.lcn < zone.End && zone.Start < run.lcn + run.length) << "in the MFT zone";
        }
      }
    }
  }

  // Lays out `name` with `size` random bytes, kept for the TearDown's check: at `runs` when given, else in
  // `fragments` runs.
  void Put(const std::u16string& name, size_t size, const std::vector<testsupport::ClusterRun>& runs = {},
           int fragments = 1) {
    const std::string bytes = RandomBytes(size, static_cast<unsigned>(size + contents_.size()));
    ASSERT_TRUE(!runs.empty()   ? image_.PutFileAt(name, bytes, runs)
                : fragments > 1 ? image_.PutFragmentedFile(name, bytes, fragments)
                                : image_.PutFile(name, bytes));
    contents_[name] = bytes;
  }

  // Mounts the image and builds the contexts over it, as the main sequence does for a volume.
  void Mount() {
    std::string error;
    ASSERT_TRUE(host::MountDrive('E', image_.Path(), &error)) << error;
    mounted_ = true;
    auto volume = std::make_shared<CVolume>();
    ASSERT_TRUE(volume->Initialize(u"\\??\\E:"));
    zones_ = volume->GetReservedZones();
    auto cache = std::make_shared<CVolumeBitmapCache>(volume, true);
    execution_ = std::make_shared<SVolumeExecutionContext>(volume, cache, 0.0, true);
    ASSERT_TRUE(execution_->Initialize());
    context_ = std::make_shared<SDefragContext>(SDefragContext{std::make_shared<FileList>(), execution_});
    movesBefore_ = host::CallCount("FSCTL_MOVE_FILE");
    LoggedSinceLastMark();
  }

  // Move requests since Mount().
  uint64_t Moves() const { return host::CallCount("FSCTL_MOVE_FILE") - movesBefore_; }

  // DefragmentFile on E:\name as the processing thread calls it; the file's fragments end up in fragments_.
  NTSTATUS Defragment(const std::u16string& name) {
    SFileForProcessing entry{u"\\??\\E:\\" + name, 0, kOperationDefragment};
    fragments_ = SFileFragments{};
    return CDefragmentation::DefragmentFile(*context_, entry, fragments_, Range());
  }

  // Runs `before` ahead of every move request from now on and lets the moves themselves run.
  static void BeforeEachMove(std::function<void()> before) {
    host::FaultRule rule;
    rule.call = "FSCTL_MOVE_FILE";
    rule.count = 0;
    rule.fails = false;
    rule.before = std::move(before);
    host::AddFaultRule(rule);
  }

  SProgressRange Range() { return SProgressRange{&execution_->progress_, 1.0}; }

  // An open handle on E:\name for the mover's own operations; closed by the test.
  HANDLE Open(const std::u16string& name) {
    HANDLE file = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, OpenFile((u"\\??\\E:\\" + name).c_str(), &file, FILE_READ_DATA, FILE_ATTRIBUTE_NORMAL,
                                       FILE_SHARE_READ, FILE_OPEN, 0));
    return file;
  }

  SFileFragments FragmentsOf(HANDLE file) {
    SFileFragments fragments;
    EXPECT_EQ(STATUS_SUCCESS, GetFileFragments(execution_->volume_, file, fragments));
    return fragments;
  }

  testsupport::TestImage image_;
  std::map<std::u16string, std::string> contents_;
  bool mounted_ = false;
  std::vector<SReservedZone> zones_;
  uint64_t movesBefore_ = 0;
  std::shared_ptr<SVolumeExecutionContext> execution_;
  std::shared_ptr<SDefragContext> context_;
  SFileFragments fragments_;
};

// The fragment at `index` as (Lcn, LcnCount); (-1, -1) when there is none.
using Piece = std::pair<LONGLONG, LONGLONG>;
Piece PieceOf(const SFileFragments& fragments, size_t index) {
  if (index >= fragments.Fragments.size()) return {-1, -1};
  return {fragments.Fragments[index].Lcn, fragments.Fragments[index].LcnCount};
}

TEST_F(Engine, FilesInOnePieceOrNoneAreLeftAlone) {
  Put(u"whole.bin", 40960);
  Put(u"empty.bin", 0);
  Mount();
  for (const char16_t* name : {u"whole.bin", u"empty.bin"}) {
    EXPECT_EQ(STATUS_DEFRAG_NOT_NEEDED, Defragment(name));
    EXPECT_EQ(name == std::u16string(u"whole.bin") ? 1 : 0, fragments_.FragmentCount);
    const std::string logged = LoggedSinceLastMark();
    EXPECT_EQ(1u, Occurrences(logged, "\r\n")) << logged;
    EXPECT_THAT(logged, HasSubstr("DefragmentFile for \"\\??\\E:\\"));
  }
  EXPECT_EQ(0u, Moves());
}

TEST_F(Engine, FragmentReachingOneClusterIntoTheMftZoneIsMovedOut) {
  Put(u"edge.bin", 8 * 4096, {{kFreeLow, 8}});
  host::OverrideMftZone('E', kFreeLow + 7, kFreeLow + 200);
  Mount();
  EXPECT_EQ(STATUS_SUCCESS, Defragment(u"edge.bin"));
  EXPECT_TRUE(Matches(LoggedSinceLastMark(),
                      "…File \"\\??\\E:\\edge.bin\" has fragment <3000, 3008) in reserved zone <3007, 3200)…"
                      "DefragmentFile move file start \\??\\E:\\edge.bin…"));
  ASSERT_EQ(1, fragments_.FragmentCount) << "and the TearDown finds it outside the zone";
}

TEST_F(Engine, FragmentedFileWithRoomBecomesOnePiece) {
  Put(u"Data\\scattered.bin", 300 * 4096 + 123, {}, 25);
  Mount();
  EXPECT_EQ(STATUS_SUCCESS, Defragment(u"Data\\scattered.bin"));
  EXPECT_EQ(1, fragments_.FragmentCount);
  EXPECT_EQ(301, fragments_.VcnCount);
  const std::string logged = LoggedSinceLastMark();
  EXPECT_THAT(logged, HasSubstr("MoveFileTo succeeded with result=0x0\n"));
  EXPECT_THAT(logged, HasSubstr("DefragmentFile end \\??\\E:\\Data\\scattered.bin; STATUS = 0x0"));
  EXPECT_THAT(logged, Not(HasSubstr("failed")));
  EXPECT_EQ(0.6, execution_->progress_) << "one attempt takes 60 percent of the range";
}

// Fragments of 10, 5, 5, 5 and 20 clusters and no free block above 12: the whole move finds no block, then the
// second and third fragments (the longest run that fits) are gathered into the block.
TEST_F(Engine, FileLargerThanEveryFreeBlockIsGatheredInParts) {
  Put(u"big.bin", 45 * 4096,
      {{kFreeLow, 10}, {kFreeLow + 11, 5}, {kFreeLow + 17, 5}, {kFreeLow + 23, 5}, {kFreeLow + 29, 20}});
  ASSERT_TRUE(image_.FillVolumeExcept({{kFreeHigh, 12}}));
  Mount();
  EXPECT_EQ(STATUS_DEFRAG_STILL_FRAGMENTED, Defragment(u"big.bin"));
  EXPECT_EQ(4, fragments_.FragmentCount);
  const std::string logged = LoggedSinceLastMark();
  EXPECT_TRUE(Matches(logged,
                      "…MoveFile failed minLcn=0, maxLcn=16383, clusters=45; status=0xe0000001\n…"
                      "MoveFragmentsTo newLcn: 10000.…DefragmentFile end \\??\\E:\\big.bin; STATUS = 0xe0000002…"));
  EXPECT_EQ(1u, Occurrences(logged, "Found part to move. fragments=2, clusters=10")) << logged;
  EXPECT_EQ(Piece(kFreeHigh, 10), PieceOf(fragments_, 1));
}

TEST_F(Engine, TwoFragmentsOfWhichOnlyTheFirstCouldStayGiveNothingToGather) {
  Put(u"two.bin", 15 * 4096, {{kFreeLow, 10}, {kFreeLow + 11, 5}});
  ASSERT_TRUE(image_.FillVolumeExcept({{kFreeHigh, 12}}));
  Mount();
  EXPECT_EQ(STATUS_DEFRAG_NO_FREE_BLOCK, Defragment(u"two.bin"));
  EXPECT_EQ(2, fragments_.FragmentCount);
  EXPECT_EQ(0u, Moves());
  EXPECT_THAT(LoggedSinceLastMark(), HasSubstr("PartialDefragmentFile failed with STATUS=0xE0000001"));
}

TEST_F(Engine, AbortBeforeTheFileIsOpenedTouchesNothing) {
  Put(u"a.bin", 20 * 4096, {}, 4);
  Mount();
  execution_->RequestAbort();
  const uint64_t opens = host::CallCount("NtCreateFile");
  EXPECT_EQ(STATUS_CANCELLED, Defragment(u"a.bin"));
  EXPECT_EQ(opens, host::CallCount("NtCreateFile"));
  EXPECT_EQ(1u, Occurrences(LoggedSinceLastMark(), "Aborting..."));
}

// An abort requested while the first chunk moves: that chunk completes, the next is never sent, and the whole
// move's closing lines are not written.
TEST_F(Engine, AbortBetweenChunksEndsTheFileWithCancelled) {
  Put(u"long.bin", 5000 * 4096, {}, 2);
  Mount();
  BeforeEachMove([this] { execution_->RequestAbort(); });
  EXPECT_EQ(STATUS_CANCELLED, Defragment(u"long.bin"));
  EXPECT_EQ(1u, Moves());
  const std::string logged = LoggedSinceLastMark();
  EXPECT_EQ(2u, Occurrences(logged, "Aborting...")) << "the mover's and DefragmentFile's";
  EXPECT_THAT(logged, HasSubstr("MoveFileTo failed with result=0xc0000120\n"));
  EXPECT_THAT(logged, Not(HasSubstr("MoveFile ends")));
  EXPECT_THAT(logged, Not(HasSubstr("DefragmentFile end")));
  ASSERT_EQ(2, fragments_.FragmentCount);
  EXPECT_EQ(4096, fragments_.Fragments[0].LcnCount) << "the moved chunk stays where it went";
}

// The file reports two fragments whatever is done to it: exactly ten whole moves, each into a block above the
// previous one, and no partial gathering after them.
TEST_F(Engine, TenStillFragmentedAttemptsEndTheWholeFileMove) {
  Put(u"stubborn.bin", 8 * 4096, {{kFreeLow, 8}});
  host::OverrideRetrievalPointers('E', u"stubborn.bin", {{4, kFreeLow}, {8, kFreeLow + 5}});
  Mount();
  EXPECT_EQ(STATUS_DEFRAG_STILL_FRAGMENTED, Defragment(u"stubborn.bin"));
  EXPECT_EQ(10u, Moves());
  const std::string logged = LoggedSinceLastMark();
  EXPECT_EQ(10u, Occurrences(logged, "MoveFileTo failed with result=0xe0000002\n"));
  EXPECT_EQ(10u, Occurrences(logged, "Found a free block at "));
  EXPECT_TRUE(Matches(
      logged, "…, maxLcn=16383, clusters=8; status=0xe0000002\n…DefragmentFile failed with STATUS=0xe0000002…"));
  EXPECT_THAT(logged, Not(HasSubstr("PartialDefragmentFile")));
  EXPECT_NEAR(1.0 - std::pow(0.4, 10), execution_->progress_, 1e-12);
}

// Passes that never lower the fragment count: the tenth stall ends the gathering.
TEST_F(Engine, TenPassesWithoutFewerFragmentsEndPartialDefragmentation) {
  Put(u"stuck.bin", 12 * 4096, {{kFreeLow, 12}});
  host::OverrideRetrievalPointers('E', u"stuck.bin", {{4, kFreeLow}, {8, kFreeLow + 5}, {12, kFreeLow + 10}});
  Mount();
  HANDLE file = Open(u"stuck.bin");
  EXPECT_EQ(STATUS_DEFRAG_STILL_FRAGMENTED, CDefragmentation::PartialDefragmentFile(*context_, file, Range()));
  NtClose(file);
  EXPECT_EQ(10u, Moves());
  const std::string logged = LoggedSinceLastMark();
  EXPECT_EQ(10u, Occurrences(logged, "Found part to move. fragments=2, clusters=8"));
  EXPECT_THAT(logged, HasSubstr("PartialDefragmentFile failed with STATUS=0xE0000002"));
}

struct ChunkCase {
  LONGLONG clusters;
  uint64_t moves;
  uint64_t positionQueries;
  std::vector<double> progressAtEachMove;
  Piece firstPiece;
};

class Chunking : public Engine, public testing::WithParamInterface<ChunkCase> {};

TEST_P(Chunking, MovesTravelInChunksOfAtMost4096Clusters) {
  const ChunkCase& c = GetParam();
  Put(u"chunked.bin", 4097 * 4096, {{kFreeLow, 4097}});
  Mount();
  std::vector<double> progress;
  BeforeEachMove([&] { progress.push_back(execution_->progress_); });
  HANDLE file = Open(u"chunked.bin");
  const uint64_t queries = host::CallCount("FSCTL_GET_RETRIEVAL_POINTERS");
  EXPECT_EQ(STATUS_SUCCESS, CDefragmentation::MoveFileRegion(*execution_, file, kFreeHigh, 0, c.clusters, Range()));
  EXPECT_EQ(c.moves, Moves());
  EXPECT_EQ(c.positionQueries, host::CallCount("FSCTL_GET_RETRIEVAL_POINTERS") - queries);
  EXPECT_EQ(c.progressAtEachMove, progress);
  EXPECT_EQ(c.firstPiece, PieceOf(FragmentsOf(file), 0));
  NtClose(file);
}

INSTANTIATE_TEST_SUITE_P(Engine, Chunking,
                         testing::Values(ChunkCase{0, 0, 0, {}, {kFreeLow, 4097}},
                                         ChunkCase{4096, 1, 0, {1.0}, {kFreeHigh, 4096}},
                                         ChunkCase{4097, 2, 1, {4096.0 / 4097.0, 1.0}, {kFreeHigh, 4097}}),
                         [](const testing::TestParamInfo<ChunkCase>& info) {
                           return std::to_string(info.param.clusters) + "Clusters";
                         });

TEST_F(Engine, RefusedChunkKeepsTheChunksBeforeItAndStalesTheCache) {
  Put(u"refused.bin", 5000 * 4096, {{kFreeLow, 5000}});
  host::RefuseMovesInto('E', kFreeHigh + 4096, 1, STATUS_ALREADY_COMMITTED);
  Mount();
  ASSERT_FALSE(execution_->bitmapCache_->IsClusterUsed(kFreeHigh));
  ASSERT_TRUE(execution_->bitmapCache_->Covers(kFreeHigh));
  HANDLE file = Open(u"refused.bin");
  EXPECT_EQ(STATUS_ALREADY_COMMITTED, CDefragmentation::MoveFileRegion(*execution_, file, kFreeHigh, 0, 5000, Range()));
  EXPECT_FALSE(execution_->bitmapCache_->Covers(kFreeHigh)) << "the cache must be read again";
  const SFileFragments fragments = FragmentsOf(file);
  EXPECT_EQ(2, fragments.FragmentCount);
  EXPECT_EQ(Piece(kFreeHigh, 4096), PieceOf(fragments, 0));
  NtClose(file);
}

// A sparse file whose first chunk ends inside a hole: the second chunk must go right after the data before the
// hole, not 4096 clusters after the first destination, or the file would come out in two pieces. The hole
// travels with the run, so the fragment that stands for it is reported.
TEST_F(Engine, ChunkEndingInAHoleIsFollowedFromTheDataBeforeIt) {
  const std::string head = RandomBytes(4000 * 4096, 12), tail = RandomBytes(800 * 4096, 13);
  ASSERT_TRUE(image_.PutSparseFile(u"sparse.bin", 5008ull * 4096, {{0, head}, {4208ull * 4096, tail}}));
  contents_[u"sparse.bin"] = head + std::string(208 * 4096, '\0') + tail;
  Mount();
  HANDLE file = Open(u"sparse.bin");
  SFileFragments before = FragmentsOf(file);
  ASSERT_EQ(2, before.FragmentCount);
  EXPECT_EQ(STATUS_SUCCESS, CDefragmentation::MoveFragmentsTo(*execution_, file, kFreeLow, before, 0, 2, Range()));
  EXPECT_EQ(1u, Occurrences(LoggedSinceLastMark(), "Warning it->Vcn != it->LcnCount (4208, 4000)"));
  const SFileFragments after = FragmentsOf(file);
  EXPECT_EQ(1, after.FragmentCount);
  EXPECT_EQ(Piece(kFreeLow, 4800), PieceOf(after, 0));
  NtClose(file);
}

// NTFS put the first chunk elsewhere than asked: the second chunk follows it there (sent after the chosen block it
// would hit the clusters the first chunk took), and the file comes out whole where NTFS put it.
TEST_F(Engine, RedirectedChunkIsFollowedToWhereItLanded) {
  Put(u"moved.bin", 4097 * 4096, {{kFreeLow, 2000}, {kFreeLow + 2001, 2097}});
  Mount();
  const LONGLONG block = CDefragmentation::FindFreeBlock(execution_->volume_, 4097, 0, 0);
  ASSERT_GE(block, 0);
  constexpr int64_t kLanding = 12000;
  host::RedirectMoves('E', block, kLanding);
  EXPECT_EQ(STATUS_SUCCESS, Defragment(u"moved.bin"));
  EXPECT_EQ(2u, Moves());
  EXPECT_EQ(1, fragments_.FragmentCount);
  EXPECT_EQ(Piece(kLanding, 4097), PieceOf(fragments_, 0));
  EXPECT_THAT(LoggedSinceLastMark(), HasSubstr("MoveFileTo succeeded with result=0x0\n"));
}

}  // namespace
