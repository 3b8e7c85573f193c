// The proof that moving clusters changed no byte: every configured file's MD5 digest is taken before processing
// and compared with a fresh one after it, with one verdict line per file. The check reports; it undoes nothing.
#pragma once

#include <memory>
#include <string>
#include <vector>

// One file: its native path and the digest taken first.
class CFileIntegrityChecker {
 public:
  // The digest of the file's content now (32 hexadecimal digits), read 512 bytes at a time; empty (after a log
  // line) when the file cannot be opened or read.
  std::string CalculateHash();
  // Stores the path and the first digest; true when the digest could be made.
  bool Initialize(const std::u16string& path);
  // Stores the path and a first digest already made for it.
  void Initialize(const std::u16string& path, const std::string& digest) {
    path_ = path;
    digest_ = digest;
  }
  const std::string& GetDigest() const { return digest_; }
  // Whether a fresh digest equals the first one.
  bool Check();
  std::u16string GetFilePath() const { return path_; }

 private:
  std::u16string path_;
  std::string digest_;
};

// A file listed several times is hashed once per pass: its later entries take the digest its first entry made (in
// any case of its path, as NTFS names it), and still log their own lines. A file that could not be hashed is tried
// again for each entry, so that each logs why.
class CIntegrityChecker {
 public:
  // Takes the first digest of `path` and logs the outcome; a file that cannot be hashed is left out of the check.
  void AddFile(std::u16string path);
  // Hashes every added file again and logs each verdict: level 3 when unchanged, level 1 when not.
  void PerformCheck();

 private:
  std::vector<std::shared_ptr<CFileIntegrityChecker>> checkers_;
  std::vector<const CFileIntegrityChecker*> hashed_;  // the entries whose digest was made, one per file
};
