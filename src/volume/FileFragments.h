// A file's fragments in file order, learned from the file system's retrieval pointers, and the narrow form of a
// native path for log lines.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/NativeApi.h"

class CVolume;

// A run of clusters contiguous on the volume. Vcn counts the virtual clusters of the file this fragment stands
// for: its own clusters plus the unallocated runs (holes, compressed tails) after it, and for the first fragment
// also those before it. So the Vcn sum of the fragments before one is where that fragment's part of the file
// begins.
struct SFileFragment {
  LONGLONG Lcn;
  LONGLONG LcnCount;
  LONGLONG Vcn;
};

struct SFileFragments {
  LONGLONG VcnCount = 0;
  LONGLONG FragmentCount = 0;
  // Grows only at its end while it is filled; positions into it stay valid until the next refill.
  std::vector<SFileFragment> Fragments;
};

// Refills `fragments` from the retrieval pointers of `file` (opened for FILE_READ_DATA), twenty extents per
// request. Runs adjacent on the volume merge; runs at impossible positions are skipped. A file with no clusters of
// its own gives success and no fragments. Returns the status of the last request.
NTSTATUS GetFileFragments(std::shared_ptr<CVolume> volume, HANDLE file, SFileFragments& fragments);

// The ANSI form of a wide string; empty when it cannot be converted.
std::string ToAnsiString(const std::u16string& text);
