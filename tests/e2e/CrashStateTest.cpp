// Every state a crash can leave behind during cluster moves and whole defragmentation runs, rebuilt from the
// writes and flushes they made: at each write boundary, and at each point with the writes not yet flushed lost or
// reordered. The next read-write mount must bring each back to a consistent volume with every file's bytes as
// before, for runlists of one MFT record and of several (an attribute list).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <set>

#include "host/defrag/OfflineDefragmentation.h"
#include "host/ntdll/Host.h"
#include "host/ntfs/DeviceObserver.h"
#include "host/ntfs/MoveJournal.h"
#include "host/ntfs/ReadOnlyVolume.h"
#include "host/offline/ImageGenerator.h"
#include "text/Utf.h"
#include "support/CommandRunner.h"
#include "support/RandomBytes.h"
#include "support/TestImage.h"

namespace {

using File = host::DeviceObserver::File;

struct Recorder : host::DeviceObserver {
  struct Op {
    File file;
    bool sync;
    int64_t offset;
    std::string bytes;
  };
  std::vector<Op> ops;

  int Writing(File file, int64_t offset, const void* data, size_t length) override {
    ops.push_back({file, false, offset, std::string(static_cast<const char*>(data), length)});
    return 0;
  }
  void Synced(File file) override { ops.push_back({file, true, 0, {}}); }
};

// Expects the volume in `image`, after the rollback its next read-write mount makes, to hold `files` (volume path
// -> bytes), every used cluster claimed once, and ntfsfix to agree.
void ExpectIntact(const std::string& image, const std::map<std::u16string, std::string>& files,
                  const std::string& what) {
  std::string error;
  std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(image, &error);
  ASSERT_TRUE(volume) << what << ": " << error;
  for (const auto& [path, bytes] : files) {
    host::NtfsVolume::Node node;
    ASSERT_EQ(STATUS_SUCCESS, volume->Lookup(path, &node)) << what;
    std::string read(bytes.size(), '\0');
    uint32_t got = 0;
    for (size_t at = 0; at < read.size(); at += got) {
      ASSERT_EQ(STATUS_SUCCESS, volume->Read(node.mftRef, at, &read[at], 1 << 20, &got)) << what;
      ASSERT_NE(0u, got) << what;
    }
    EXPECT_TRUE(read == bytes) << what << ": the bytes of a file changed";
  }
  EXPECT_EQ("", volume->Close()) << what;
  std::unique_ptr<host::ConsistencyCheck> checker = host::ConsistencyCheck::Open(image, &error);
  host::ClusterReport report;
  ASSERT_TRUE(checker && checker->CheckClusters(&report, &error)) << what << ": " << error;
  EXPECT_TRUE(report.Consistent()) << what << ": " << report.Describe();
  checker.reset();
  EXPECT_EQ(0, testsupport::RunCommand({testsupport::NtfsToolPath("ntfsfix"), "-n", image}).exitStatus) << what;
}

// Fills `image` with the generator's fragmented files: their bytes in *files, the defragmentation's choice of them
// in *chosen.
void Generate(const testsupport::TestImage& image, const host::FragmentOptions& options,
              std::map<std::u16string, std::string>* files, std::vector<host::DefragFile>* chosen) {
  std::vector<host::GeneratedFile> generated;
  std::string error;
  {
    std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(image.Path(), &error);
    ASSERT_TRUE(volume) << error;
    volume->SkipMoveFlushes();
    ASSERT_TRUE(host::GenerateFragmentedFiles(*volume, options, &generated, &error)) << error;
  }
  for (size_t i = 0; i < generated.size(); ++i) {
    (*files)[generated[i].path] = host::GeneratedContent(options.seed, static_cast<int>(i), options.size);
    std::string path = "/" + text::Utf16ToUtf8(generated[i].path);
    std::replace(path.begin(), path.end(), '\\', '/');
    chosen->push_back({path, generated[i].clusters, generated[i].fragments, generated[i].fragments, STATUS_SUCCESS});
  }
}

// Writes `bytes` at `offset` of `path`; with `whole`, `path` is `bytes` and nothing else. The state files are
// written in place: a buffer in this process would take a copy-on-write fault per page after every fork.
void Put(const std::string& path, int64_t offset, const std::string& bytes, bool whole = false) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(static_cast<ssize_t>(bytes.size()), pwrite(fd, bytes.data(), bytes.size(), offset)) << path;
  if (whole) {
    ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(bytes.size()))) << path;
  }
  close(fd);
}

// Rebuilds and checks the states a crash could leave during what `recorder` saw happen to `image`, whose files
// hold `files` (volume path -> bytes) before and after. With `stride` above 1, only every stride-th write boundary.
class CrashStates : public testing::Test {
 protected:
  void SetUp() override {
    // The states are rebuilt in memory-backed files where there are some: thousands of flushes cost nothing there.
    char folder[] = "/dev/shm/spindraxel-crash-XXXXXX";
    char fallback[] = "/tmp/spindraxel-crash-XXXXXX";
    folder_ = mkdtemp(folder) != nullptr ? folder : mkdtemp(fallback);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  void Record(const testsupport::TestImage& image) {
    pristine_ = testsupport::FileBytes(image.Path());
    host::SetDeviceObserver(&recorder_);
  }

  void CheckEveryState(const std::map<std::u16string, std::string>& files, size_t stride, int atLeast) {
    host::SetDeviceObserver(nullptr);
    const std::string state = folder_ + "/state.img", journal = state + ".sxjournal";
    std::set<std::vector<bool>> seen;
    int checked = 0, rolledBack = 0;
    auto check = [&](const std::vector<bool>& kept, const std::string& what) {
      if (!seen.insert(kept).second) return;
      Put(state, 0, pristine_, true);
      Put(journal, 0, "", true);
      for (size_t i = 0; i < kept.size(); ++i) {
        const Recorder::Op& op = recorder_.ops[i];
        if (kept[i]) Put(op.file == File::kDevice ? state : journal, op.offset, op.bytes);
      }
      ++checked;
      host::MoveJournal::Unfinished unfinished;
      const bool interrupted = host::MoveJournal::ReadUnfinished(journal, &unfinished);
      rolledBack += interrupted ? 1 : 0;
      std::string error;
      EXPECT_EQ(interrupted, host::ReadOnlyVolume::Open(state, "check", &error) == nullptr) << what << error;
      ExpectIntact(state, files, what);
    };

    std::mt19937 random(7);
    const size_t count = recorder_.ops.size();
    std::vector<bool> kept(count, false);
    std::map<File, size_t> flushedUpTo = {{File::kDevice, 0}, {File::kJournal, 0}};
    for (size_t end = 0; end <= count && !HasFatalFailure(); ++end) {
      if (end % stride == 0 || end == count) {
        check(kept, "after op " + std::to_string(end));
        // The same moment with the writes since each file's last flush lost, and with random parts of them kept.
        for (int variant = 0; variant < 4; ++variant) {
          std::vector<bool> partly = kept;
          for (size_t i = 0; i < end; ++i) {
            if (!recorder_.ops[i].sync && i >= flushedUpTo[recorder_.ops[i].file]) {
              partly[i] = variant > 0 && random() % 2;
            }
          }
          check(partly, "after op " + std::to_string(end) + (variant == 0 ? ", unflushed lost" : ", reordered"));
        }
      }
      if (end == count) break;
      if (recorder_.ops[end].sync) {
        flushedUpTo[recorder_.ops[end].file] = end;
      } else {
        kept[end] = true;
      }
    }
    std::printf("crash states checked: %d (%d with a move to roll back), from %zu writes and flushes\n", checked,
                rolledBack, count);
    EXPECT_GT(rolledBack, 0);
    EXPECT_GE(checked, atLeast);
  }

  Recorder recorder_;

 private:
  std::string folder_, pristine_;
};

// Moves of a file whose runlist fits its record, and of one spread over extent records through an attribute list,
// moved in pieces (it stays spread) and then whole (its extent records go).
TEST_F(CrashStates, OfRunlistsInOneRecordAndInSeveralComeBackWhole) {
  testsupport::TestImage image(24ull << 20);
  const std::map<std::u16string, std::string> files = {{u"one.bin", testsupport::RandomBytes(40 * 4096, 1)},
                                                       {u"many.bin", testsupport::RandomBytes(700 * 4096, 2)}};
  ASSERT_TRUE(image.PutFragmentedFile(u"one.bin", files.at(u"one.bin"), 8));
  ASSERT_TRUE(image.PutFragmentedFile(u"many.bin", files.at(u"many.bin"), 700));
  Record(image);
  {
    std::string error;
    std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(image.Path(), &error);
    ASSERT_TRUE(volume) << error;
    auto move = [&](const std::u16string& path, int64_t vcn, int64_t count) {
      host::NtfsVolume::Node node;
      ASSERT_EQ(STATUS_SUCCESS, volume->Lookup(path, &node));
      int64_t target = 0;
      ASSERT_EQ(STATUS_SUCCESS, volume->FindFreeRun(count, 0, 0, &target));
      ASSERT_EQ(STATUS_SUCCESS, volume->MoveClusters(node.mftRef, vcn, count, target));
    };
    move(u"one.bin", 0, 20);
    move(u"one.bin", 0, 40);
    for (int64_t vcn = 0; vcn < 700; vcn += 35) move(u"many.bin", vcn, 35);
    move(u"many.bin", 0, 700);
    EXPECT_EQ("", volume->Close());
  }
  EXPECT_EQ(1u, image.Fragments("/many.bin").fragments);
  CheckEveryState(files, 1, 250);
}

// Moves grouped in one journal record with small appends to a log file between them (they join the group), and a
// move onto clusters that a move of the same group freed (what it copies there is journaled with the group).
TEST_F(CrashStates, OfGroupedMovesAndTheWritesBetweenThemComeBackWhole) {
  testsupport::TestImage image(16ull << 20);
  const std::map<std::u16string, std::string> files = {{u"a.bin", testsupport::RandomBytes(24 * 4096, 3)},
                                                       {u"b.bin", testsupport::RandomBytes(24 * 4096, 4)}};
  ASSERT_TRUE(image.PutFragmentedFile(u"a.bin", files.at(u"a.bin"), 6));
  ASSERT_TRUE(image.PutFragmentedFile(u"b.bin", files.at(u"b.bin"), 6));
  ASSERT_TRUE(image.PutFile(u"log.txt", ""));
  Record(image);
  host::NtfsVolume::SetMovesPerCommit(8);
  {
    std::string error;
    std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(image.Path(), &error);
    ASSERT_TRUE(volume) << error;
    host::NtfsVolume::SetMovesPerCommit(1);
    host::NtfsVolume::Node a, b, log;
    ASSERT_EQ(STATUS_SUCCESS, volume->Lookup(u"a.bin", &a));
    ASSERT_EQ(STATUS_SUCCESS, volume->Lookup(u"b.bin", &b));
    ASSERT_EQ(STATUS_SUCCESS, volume->Lookup(u"log.txt", &log));
    uint64_t logged = 0;
    auto append = [&](const std::string& line) {
      ASSERT_EQ(STATUS_SUCCESS, volume->Write(log.mftRef, logged, line.data(), static_cast<uint32_t>(line.size())));
      logged += line.size();
    };
    std::vector<host::NtfsVolume::Run> before;
    bool more = false;
    ASSERT_EQ(STATUS_SUCCESS, volume->GetRuns(a.mftRef, 0, SIZE_MAX, &before, &more));
    int64_t target = 0;
    ASSERT_EQ(STATUS_SUCCESS, volume->FindFreeRun(24, 0, 0, &target));
    ASSERT_EQ(STATUS_SUCCESS, volume->MoveClusters(a.mftRef, 0, 24, target));
    append("a.bin moved\r\n");
    // a.bin's first fragment is free at once, as after a move on its own, but until the group commits the device
    // still gives it to a.bin.
    ASSERT_EQ(STATUS_SUCCESS, volume->MoveClusters(b.mftRef, 0, before[0].length, before[0].lcn));
    append("b.bin moved\r\n");
    append(std::string(3000, 'x') + "\r\n");
    EXPECT_EQ("", volume->Close());
  }
  const auto journalFlushes = std::count_if(recorder_.ops.begin(), recorder_.ops.end(), [](const Recorder::Op& op) {
    return op.sync && op.file == File::kJournal;
  });
  EXPECT_EQ(2, journalFlushes) << "one commit, at the end: two journal flushes";
  CheckEveryState(files, 1, 12);
}

// 90 files of 96 KiB on 16 MiB: consolidation has to move files out of the way (and back).
host::FragmentOptions ConsolidatingCase() {
  host::FragmentOptions options;
  options.files = 90;
  options.size = 96 << 10;
  options.seed = 4;
  return options;
}

// `defrag --all --consolidate` of `chosen` on C:, its moves committed `perCommit` to a journal record.
void DefragmentWithConsolidation(const testsupport::TestImage& image, int perCommit,
                                 std::vector<host::DefragFile>* chosen, std::vector<host::DefragPass>* passes) {
  std::string error;
  host::NtfsVolume::SetMovesPerCommit(perCommit);
  ASSERT_TRUE(host::MountDrive('C', image.Path(), &error)) << error;
  host::DefragSettings settings;
  settings.consolidate = true;
  EXPECT_TRUE(host::DefragmentFiles(image.Path(), chosen, settings, passes, &error)) << error;
  EXPECT_TRUE(host::UnmountAllDrives().empty());
  host::NtfsVolume::SetMovesPerCommit(1);
}

// A whole `defrag --all --consolidate` run on a volume full enough that consolidation has to move files out of the
// way (and back), sampled at every few writes.
TEST_F(CrashStates, OfAConsolidatingDefragmentationComeBackWhole) {
  testsupport::TestImage image(16ull << 20);
  std::map<std::u16string, std::string> files;
  std::vector<host::DefragFile> chosen;
  Generate(image, ConsolidatingCase(), &files, &chosen);
  Record(image);
  std::vector<host::DefragPass> passes;
  DefragmentWithConsolidation(image, 16, &chosen, &passes);  // as the command commits them: in groups
  EXPECT_TRUE(std::any_of(passes.begin(), passes.end(), [](const host::DefragPass& p) { return p.consolidation; }));
  for (const host::DefragFile& file : chosen) EXPECT_EQ(1, file.fragmentsAfter) << file.path;
  CheckEveryState(files, recorder_.ops.size() / 200 + 1, 200);
}

// A journal left by the version that checksummed records a byte at a time is still rolled back, and a torn one
// is not.
TEST(UndoJournal, RecordsOfTheFirstVersionAreStillRead) {
  std::string record(32 + 8 + 512, '\0');
  record.replace(0, 8, "SXUNDO01");
  const uint64_t mftRef = 70, offset = 4096;
  const uint32_t count = 1;
  std::memcpy(&record[8], &mftRef, 8);
  std::memcpy(&record[16], &count, 4);
  std::memcpy(&record[32], &offset, 8);
  record.replace(40, 512, testsupport::RandomBytes(512, 5));
  uint64_t hash = 0xcbf29ce484222325ull;
  for (const char c : record) hash = (hash ^ static_cast<uint8_t>(c)) * 0x100000001b3ull;
  std::memcpy(&record[24], &hash, 8);
  const std::string path = testing::TempDir() + "/first-version.sxjournal";
  Put(path, 0, record, true);
  host::MoveJournal::Unfinished unfinished;
  ASSERT_TRUE(host::MoveJournal::ReadUnfinished(path, &unfinished));
  EXPECT_EQ(70u, unfinished.mftRef);
  ASSERT_EQ(1u, unfinished.blocks.size());
  EXPECT_EQ(4096, unfinished.blocks[0].first);
  EXPECT_TRUE(std::string(unfinished.blocks[0].second.begin(), unfinished.blocks[0].second.end()) ==
              record.substr(40));
  Put(path, 300, "x");
  EXPECT_FALSE(host::MoveJournal::ReadUnfinished(path, &unfinished)) << "a byte changed: the record counts as none";
  std::remove(path.c_str());
}

// Moves in groups choose the clusters that moves on their own choose: a whole consolidating run ends in the same
// layout, having moved the same bytes.
TEST(GroupedMoves, EndInTheLayoutOfMovesOnTheirOwn) {
  std::map<std::u16string, std::string> layouts[2];  // path -> "lcn+length " for each run
  uint64_t moved[2] = {0, 0};
  for (const int perCommit : {1, 64}) {
    testsupport::TestImage image(16ull << 20);
    std::map<std::u16string, std::string> files;
    std::vector<host::DefragFile> chosen;
    Generate(image, ConsolidatingCase(), &files, &chosen);
    std::vector<host::DefragPass> passes;
    DefragmentWithConsolidation(image, perCommit, &chosen, &passes);
    for (const host::DefragPass& pass : passes) moved[perCommit > 1] += pass.bytesMoved;
    std::string error;
    std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(image.Path(), &error);
    ASSERT_TRUE(volume) << error;
    for (const auto& [path, bytes] : files) {
      host::NtfsVolume::Node node;
      std::vector<host::NtfsVolume::Run> runs;
      bool more = false;
      ASSERT_EQ(STATUS_SUCCESS, volume->Lookup(path, &node));
      ASSERT_EQ(STATUS_SUCCESS, volume->GetRuns(node.mftRef, 0, SIZE_MAX, &runs, &more));
      for (const host::NtfsVolume::Run& run : runs) {
        layouts[perCommit > 1][path] += std::to_string(run.lcn) + "+" + std::to_string(run.length) + " ";
      }
    }
  }
  EXPECT_GT(moved[0], 0u);
  EXPECT_EQ(moved[0], moved[1]);
  EXPECT_TRUE(layouts[0] == layouts[1]) << "grouped moves chose other clusters";
}

// The command itself killed at moments spread over its runs (SIGKILL, after a seeded number of its write calls):
// `check --repair` rolls back the move in flight and frees what a kill leaked, every file reads as before, and
// the next run goes on from there to the end.
TEST(KilledDefragmentation, LeavesEveryFileAsItWasAndFinishesOnTheNextRun) {
  testsupport::TestImage image(16ull << 20);
  std::map<std::u16string, std::string> files;
  std::vector<host::DefragFile> chosen;
  Generate(image, ConsolidatingCase(), &files, &chosen);
  const std::vector<std::string> defrag = testsupport::SpindraxelArgv({"defrag", image.Path(), "--all", "--consolidate"});
  std::mt19937 random(11);
  int kills = 0, rolledBack = 0;
  for (int round = 0; round < 12 && !testing::Test::HasFatalFailure(); ++round) {
    // A whole run makes about 1,500 write calls: the first round is always killed, later ones while work is left.
    const uint64_t target = random() % 300 + 1;
    testsupport::ChildProcess child(defrag);
    const std::string io = "/proc/" + std::to_string(child.Pid()) + "/io";
    std::optional<int> status;
    for (uint64_t writes = 0; !(status = child.Wait(0)) && writes < target;) {
      std::string text = testsupport::FileBytes(io);
      const size_t at = text.find("syscw: ");
      if (at != std::string::npos) writes = std::stoull(text.substr(at + 7));
    }
    if (!status) {
      child.Signal(SIGKILL);
      status = child.Wait(60);
      ++kills;
    }
    ASSERT_TRUE(status);
    if (WIFEXITED(*status)) break;  // the work was done before this round's moment came
    const testsupport::CommandResult repair = testsupport::RunSpindraxel({"check", "--repair", image.Path()});
    EXPECT_EQ(0, repair.exitStatus) << repair.out << repair.err;
    rolledBack += repair.err.find("rolled back") != std::string::npos ? 1 : 0;
    ExpectIntact(image.Path(), files, "after a kill at write call " + std::to_string(target));
  }
  std::printf("defrag killed %d times, %d of them in a move rolled back\n", kills, rolledBack);
  EXPECT_GE(kills, 1);
  const testsupport::CommandResult last = testsupport::RunSpindraxel({"defrag", image.Path(), "--all", "--consolidate"});
  EXPECT_EQ(0, last.exitStatus) << last.out << last.err;
  for (const host::DefragFile& file : chosen) EXPECT_EQ(1u, image.Fragments(file.path).fragments) << file.path;
  ExpectIntact(image.Path(), files, "at the end");
}

}  // namespace
