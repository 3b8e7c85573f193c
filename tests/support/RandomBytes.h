// File contents for tests: bytes no two files share by chance, so that a cluster moved into the wrong file or the
// wrong place shows in a comparison; the same seed gives the same bytes.
#pragma once

#include <random>
#include <string>

namespace testsupport {

inline std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

}  // namespace testsupport
