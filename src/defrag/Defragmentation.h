// CDefragmentation: the defragmentation engine. It keeps no state: every operation gets what it works on.
#pragma once

#include <memory>

#include "platform/NativeApi.h"

class CVolume;

class CDefragmentation {
 public:
  // The lowest run of `clusters` free clusters wholly inside [minLcn, maxLcn); maxLcn 0 (or past the end) means
  // the end of the volume. Reserved zones, clusters past the end and unreadable bitmap windows count as used.
  // -1 when there is none.
  static LONGLONG FindFreeBlock(std::shared_ptr<CVolume> volume, LONGLONG clusters, LONGLONG minLcn, LONGLONG maxLcn);
  // The first cluster of the longest free run on the volume (the lowest of equals), its length in `length`; -1
  // (and `length` untouched) when no cluster is free.
  static LONGLONG FindLargestFreeBlock(std::shared_ptr<CVolume> volume, LONGLONG& length);
};
