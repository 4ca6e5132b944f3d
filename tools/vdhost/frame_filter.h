// What a frame pipeline needs of a filter: a run of frames over host bitmaps,
// started on the first frame's bitmaps, one frame per call, ended at the end.
// A module's filter instance is one; a pipeline knows nothing else of modules.
#pragma once

#include "host/host_api.h"

namespace vdhost {

class FrameFilter {
 public:
  virtual ~FrameFilter() = default;
  // Each returns the filter's status, 0 for success.
  virtual int start(HostBitmap& src, HostBitmap& dst) = 0;
  virtual int run(HostBitmap& src, HostBitmap& dst) = 0;
  virtual int end() = 0;
  virtual bool started() const = 0;
};

}  // namespace vdhost
