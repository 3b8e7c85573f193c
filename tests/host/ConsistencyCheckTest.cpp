// The offline consistency checker and `spindraxel check`: each kind of disagreement between the files' runs and
// $Bitmap, or between an attribute list and its records, is found, counted and located, the command's exit status
// says the verdict, and --repair frees leaks only.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "host/ntdll/Host.h"
#include "host/ntfs/NtfsLib.h"
#include "host/ntfs/NtfsVolume.h"
#include "host/offline/ConsistencyCheck.h"
#include "host/offline/ImageLayout.h"
#include "support/CommandRunner.h"
#include "support/TestImage.h"

namespace {

using host::NtfsVolume;

// Points the data of `victim` at clusters [lcn, lcn + count) of someone else and frees its own.
void ShareClusters(NtfsVolume& volume, const std::u16string& victim, int64_t lcn, int64_t count) {
  NtfsVolume::Node node;
  ASSERT_EQ(STATUS_SUCCESS, volume.Lookup(victim, &node));
  std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
  ntfs_volume* vol = volume.Raw();
  ntfs_inode* inode = ntfs_inode_open(vol, MREF(node.mftRef));
  ntfs_attr* data = ntfs_attr_open(inode, AT_DATA, AT_UNNAMED, 0);
  ASSERT_EQ(0, ntfs_attr_map_whole_runlist(data));
  ASSERT_EQ(count, data->rl[0].length);
  ASSERT_EQ(0, ntfs_bitmap_clear_run(vol->lcnbmp_na, data->rl[0].lcn, count));
  data->rl[0].lcn = lcn;
  ASSERT_EQ(0, ntfs_attr_update_mapping_pairs(data, 0));
  ntfs_attr_close(data);
  ASSERT_EQ(0, ntfs_inode_close(inode));
}

void SetBits(NtfsVolume& volume, int64_t lcn, int64_t count, bool used) {
  std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
  ntfs_attr* bitmap = volume.Raw()->lcnbmp_na;
  ASSERT_EQ(0, used ? ntfs_bitmap_set_run(bitmap, lcn, count) : ntfs_bitmap_clear_run(bitmap, lcn, count));
}

// Spreads the runlists of c.bin and d.bin, 400 fragments each, over extent records, then shifts the start VCN of
// their last piece by 100: in c.bin's extent record (its list keeps the old start), in d.bin's attribute list entry.
void DisagreeAttributeLists(NtfsVolume& volume) {
  for (const char16_t* name : {u"c.bin", u"d.bin"}) {
    NtfsVolume::Node node;
    std::string error;
    ASSERT_TRUE(host::PutFile(volume, name, std::string(400 * 4096, 'c'), &node, &error) &&
                host::FragmentFile(volume, node.mftRef, 400, nullptr, &error))
        << error;
    std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
    ntfs_inode* inode = ntfs_inode_open(volume.Raw(), MREF(node.mftRef));
    ntfs_attr_search_ctx* search = ntfs_attr_get_search_ctx(inode, nullptr);
    ASSERT_EQ(0, ntfs_attr_lookup(AT_DATA, AT_UNNAMED, 0, CASE_SENSITIVE, 399, nullptr, 0, search));
    ASSERT_NE(inode, search->ntfs_ino) << "the last piece is in the base record";
    if (name[0] == u'c') {
      search->attr->lowest_vcn = cpu_to_sle64(sle64_to_cpu(search->attr->lowest_vcn) + 100);
      search->attr->highest_vcn = cpu_to_sle64(sle64_to_cpu(search->attr->highest_vcn) + 100);
      ntfs_inode_mark_dirty(search->ntfs_ino);
    } else {
      search->al_entry->lowest_vcn = cpu_to_sle64(sle64_to_cpu(search->al_entry->lowest_vcn) - 100);
      NInoAttrListSetDirty(inode);
    }
    ntfs_attr_put_search_ctx(search);
    ASSERT_EQ(0, ntfs_inode_close(inode));
  }
}

const char kDisagreeing[] =
    "attribute lists that disagree with their records: 2 (first: file record 66: the attribute list says $DATA in "
    "record 68 starts at VCN 214, the record says 314; file record 69: the attribute list says $DATA in record 71 "
    "starts at VCN 114, the record says 214)\n";

struct Damage {
  const char* name;
  std::function<void(NtfsVolume&)> apply;
  const char* line;  // what the report says about it
};
void PrintTo(const Damage& damage, std::ostream* out) { *out << damage.name; }

class Checker : public testing::TestWithParam<Damage> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(image_.PutFileAt(u"a.bin", std::string(4 * 4096, 'a'), {{9000, 2}, {9100, 2}}));
    ASSERT_TRUE(image_.PutFile(u"b.bin", std::string(2 * 4096, 'b')));
  }
  testsupport::TestImage image_;
};

TEST_P(Checker, FindsCountsAndLocatesTheDamage) {
  {
    std::string error;
    std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(image_.Path(), &error);
    ASSERT_TRUE(volume) << error;
    GetParam().apply(*volume);
  }
  const testsupport::CommandResult check = testsupport::RunSpindraxel({"check", image_.Path(), "a.bin", "\\A.BIN"});
  EXPECT_EQ(1, check.exitStatus) << check.err;
  EXPECT_EQ(std::string(GetParam().line) + "a.bin: 2 fragments, 4 clusters\n\\A.BIN: 2 fragments, 4 clusters\n",
            check.out);

  // A repair frees leaked clusters; any other damage means the metadata cannot say what is free, so nothing changes.
  const bool leaked = std::string(GetParam().name) == "Leaked";
  const std::string before = testsupport::FileBytes(image_.Path());
  const testsupport::CommandResult repair = testsupport::RunSpindraxel({"check", "--repair", image_.Path()});
  EXPECT_EQ(leaked ? 0 : 2, repair.exitStatus) << repair.err;
  EXPECT_EQ(leaked, image_.ClustersConsistent());
  if (leaked) {
    EXPECT_EQ(0u, repair.out.find("freed 3 leaked clusters\nconsistent: ")) << repair.out;
  } else {
    EXPECT_TRUE(before == testsupport::FileBytes(image_.Path())) << "a refused repair changed the image";
  }
  EXPECT_EQ(std::string(4 * 4096, 'a'), image_.Ntfscat("/a.bin"));
}

INSTANTIATE_TEST_SUITE_P(Kinds, Checker,
                         testing::Values(Damage{"Leaked", [](NtfsVolume& v) { SetBits(v, 12000, 3, true); },
                                                "leaked clusters: 3 (first: 12000, 12001, 12002)\n"},
                                         Damage{"UsedButFree", [](NtfsVolume& v) { SetBits(v, 9100, 2, false); },
                                                "used but free clusters: 2 (first: 9100, 9101)\n"},
                                         Damage{"DoublyUsed",
                                                [](NtfsVolume& v) { ShareClusters(v, u"b.bin", 9000, 2); },
                                                "doubly used clusters: 2 (first: 9000, 9001)\n"},
                                         Damage{"AttributeListDisagrees", DisagreeAttributeLists, kDisagreeing}),
                         [](const testing::TestParamInfo<Damage>& info) { return info.param.name; });

TEST(CheckCommand, ExitsZeroWhenConsistentAndTwoForWhatItCannotRead) {
  testsupport::TestImage image;
  ASSERT_TRUE(image.PutFile(u"Data\\tiny.txt", "resident"));
  testsupport::CommandResult check = testsupport::RunSpindraxel({"check", image.Path(), "Data/tiny.txt"});
  EXPECT_EQ(0, check.exitStatus) << check.err;
  EXPECT_NE(std::string::npos, check.out.find(" of 16383 clusters used, each claimed once\n"));
  EXPECT_NE(std::string::npos, check.out.find("Data/tiny.txt: 0 fragments, 0 clusters\n"));

  EXPECT_EQ(2, testsupport::RunSpindraxel({"check", image.Path(), "Data/none.txt"}).exitStatus);

  std::string error;
  ASSERT_TRUE(host::MountDrive('C', image.Path(), &error)) << error;
  EXPECT_FALSE(host::ConsistencyCheck::Open(image.Path(), &error)) << "a mounted image is not checked";
  EXPECT_NE(std::string::npos, error.find("mounted by this or another process"));
  host::UnmountAllDrives();
}

}  // namespace
