// The MD5 calculator against the published test suite and a million-byte input, each fed whole and in odd pieces
// that cross the 64-byte blocks and the padding at 56 bytes.
#include <gtest/gtest.h>

#include "SystemImage.h"
#include "host/ntdll/faults/Faults.h"
#include "integrity/IntegrityChecker.h"
#include "integrity/Md5Calculator.h"
#include "support/BootLog.h"

namespace {

std::string DigestInPieces(const std::string& bytes, size_t piece) {
  CMd5Calculator md5;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    md5.Update(bytes.data() + at, static_cast<ULONG>(std::min(piece, bytes.size() - at)));
  }
  md5.Finalize();
  return md5.GetHexDigest();
}

class Md5 : public testing::TestWithParam<std::pair<std::string, const char*>> {};

TEST_P(Md5, GivesTheKnownDigestWholeAndInOddPieces) {
  const std::string& bytes = GetParam().first;
  for (size_t piece : {bytes.size() + 1, size_t{1}, size_t{7}, size_t{63}, size_t{65}}) {
    EXPECT_EQ(GetParam().second, DigestInPieces(bytes, piece)) << "pieces of " << piece;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Known, Md5,
    testing::Values(std::make_pair("", "d41d8cd98f00b204e9800998ecf8427e"),
                    std::make_pair("abc", "900150983cd24fb0d6963f7d28e17f72"),
                    std::make_pair("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                                   "d174ab98d277d9f5a5611c2c9f419d9f"),
                    std::make_pair("1234567890123456789012345678901234567890123456789012345678901234567890123456789"
                                   "0",
                                   "57edf4a22be3c955ac49da2e2107b67a"),
                    std::make_pair(std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21")));

TEST(Md5Calculator, DigestStaysOnceFinalisedAndIsEmptyBefore) {
  CMd5Calculator md5;
  LoggedSinceLastMark();
  EXPECT_EQ("", md5.GetHexDigest());
  EXPECT_NE(std::string::npos, LoggedSinceLastMark().find(" L1 Digest was not finalized\n\r\n"));
  md5.Update("abc", 3);
  md5.Finalize();
  md5.Update("more", 4);
  md5.Finalize();
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", md5.GetHexDigest());
}

// A file listed three times, in two spellings, is read once before and once after: each entry still logs its line.
TEST(IntegrityChecker, FileListedManyTimesIsHashedOncePerPass) {
  WriteNativeFile(u"\\??\\C:\\listed.bin", std::string(100000, 'l'));
  LoggedSinceLastMark();
  CIntegrityChecker integrity;
  const uint64_t before = host::CallCount("NtReadFile");
  for (const char16_t* path : {u"\\??\\C:\\listed.bin", u"\\??\\C:\\LISTED.bin", u"\\??\\C:\\listed.bin"}) {
    integrity.AddFile(path);
  }
  const uint64_t once = 100000 / 512 + 2;  // the 512-byte reads, the short last one, and the one at the end
  EXPECT_EQ(once, host::CallCount("NtReadFile") - before);
  integrity.PerformCheck();
  EXPECT_EQ(2 * once, host::CallCount("NtReadFile") - before);
  const std::string logged = LoggedSinceLastMark();
  EXPECT_EQ(3u, testsupport::Occurrences(logged, " initialized successfully.\r\n")) << logged;
  EXPECT_EQ(3u, testsupport::Occurrences(logged, " performed successfully. File is OK.\r\n")) << logged;
  EXPECT_NE(std::string::npos, logged.find("Integrity check for file \\??\\C:\\LISTED.bin performed successfully."));
}

}  // namespace
