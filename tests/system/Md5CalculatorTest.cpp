// The MD5 calculator against md5sum, on the lengths where padding changes and on input fed in odd pieces.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>

#include "SystemImage.h"
#include "integrity/Md5Calculator.h"
#include "support/CommandRunner.h"

namespace {

std::string Md5sumOf(const std::string& bytes) {
  char path[] = "/tmp/sx-md5-XXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  close(fd);
  std::ofstream(path, std::ios::binary) << bytes;
  testsupport::CommandResult result = testsupport::RunCommand({"/usr/bin/md5sum", path});
  unlink(path);
  return result.out.substr(0, 32);
}

std::string DigestInPieces(const std::string& bytes, const std::vector<size_t>& pieces) {
  CMd5Calculator md5;
  size_t at = 0;
  for (size_t i = 0; at < bytes.size(); ++i) {
    const size_t piece = std::min(pieces[i % pieces.size()], bytes.size() - at);
    md5.Update(bytes.data() + at, static_cast<ULONG>(piece));
    at += piece;
  }
  md5.Finalize();
  return md5.GetHexDigest();
}

class Md5 : public testing::TestWithParam<size_t> {};

TEST_P(Md5, AgreesWithMd5sumWholeAndInOddPieces) {
  std::mt19937 random(static_cast<unsigned>(GetParam()));
  std::string bytes(GetParam(), '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  const std::string expected = Md5sumOf(bytes);
  ASSERT_EQ(32u, expected.size());
  EXPECT_EQ(expected, DigestInPieces(bytes, {bytes.size() + 1}));
  EXPECT_EQ(expected, DigestInPieces(bytes, {1, 63, 64, 65, 512}));
  EXPECT_EQ(expected, DigestInPieces(bytes, {7}));
}

// Empty; 55, 56 and 64 bytes (padding of 1, 64 and 56); a block and a half; several megabytes.
INSTANTIATE_TEST_SUITE_P(Lengths, Md5, testing::Values(0, 55, 56, 64, 96, 512, 3 * 1024 * 1024 + 7));

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

}  // namespace
