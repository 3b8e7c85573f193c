// NtfsVolume::ListDirectory on what the conformance checks cannot make through the native calls: the root of a
// volume, a file marked hidden and system, and a file with a DOS name of its own.
#include <gtest/gtest.h>

#include <vector>

#include "host/ntfs/NtfsLib.h"
#include "host/ntfs/NtfsVolume.h"
#include "support/TestImage.h"

namespace {

using host::NtfsVolume;

TEST(NtfsDirectory, ListsEachFileOnceAsStoredAndNoMetadata) {
  testsupport::TestImage image(16 << 20);
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(image.Path(), &error);
  ASSERT_TRUE(volume) << error;
  NtfsVolume::Node directory, hidden, named;
  ASSERT_EQ(STATUS_SUCCESS, volume->Create(u"Dir", true, &directory));
  ASSERT_EQ(STATUS_SUCCESS, volume->Create(u"Dir\\Hidden.sys", false, &hidden));
  ASSERT_EQ(STATUS_SUCCESS, volume->Create(u"Dir\\Long file name.txt", false, &named));
  {
    std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
    ntfs_volume* vol = volume->Raw();
    ntfs_inode* inode = ntfs_inode_open(vol, MREF(hidden.mftRef));
    inode->flags = static_cast<FILE_ATTR_FLAGS>(inode->flags | FILE_ATTR_HIDDEN | FILE_ATTR_SYSTEM);
    NInoSetDirty(inode);
    NInoFileNameSetDirty(inode);
    ASSERT_EQ(0, ntfs_inode_close(inode));
    // Closes both inodes.
    ASSERT_EQ(0, ntfs_set_ntfs_dos_name(ntfs_inode_open(vol, MREF(named.mftRef)),
                                        ntfs_inode_open(vol, MREF(directory.mftRef)), "LONGFI~1.TXT", 12, 0));
  }

  std::vector<NtfsVolume::DirectoryEntry> entries;
  ASSERT_EQ(STATUS_SUCCESS, volume->ListDirectory(directory.mftRef, &entries));
  std::vector<std::u16string> names, shortNames;
  for (const NtfsVolume::DirectoryEntry& entry : entries) {
    names.push_back(entry.name);
    shortNames.push_back(entry.shortName);
  }
  EXPECT_EQ((std::vector<std::u16string>{u".", u"..", u"Hidden.sys", u"Long file name.txt"}), names);
  EXPECT_EQ((std::vector<std::u16string>{u"", u"", u"", u"LONGFI~1.TXT"}), shortNames);
  ASSERT_EQ(4u, entries.size());
  EXPECT_EQ(FILE_ATTRIBUTE_ARCHIVE | 0x6u, entries[2].attributes);  // hidden and system

  // The root lists neither itself as "." and ".." nor the metadata files ($MFT to $Extend).
  ASSERT_EQ(STATUS_SUCCESS, volume->ListDirectory(FILE_root, &entries));
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ(u"Dir", entries[0].name);
  EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, entries[0].attributes);
}

}  // namespace
