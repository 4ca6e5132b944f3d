// One call of the frame filter on a packed frame, its arguments filled as the
// run callback fills them: the settings, and a settings record that carries
// the frame's luma plane and Show noise.
#pragma once

#include <cstdint>

#include "core/frame_filter.h"
#include "host/filter_config.h"
#include "support/settings.h"

namespace testing_frames {

struct FilterCall {
  FilterCall(const uint32_t* src, uint32_t* dst, const uint8_t* luma_plane, int32_t width,
             int32_t rows, const FilterSettings& s = {}) {
    config.luma_plane = const_cast<uint8_t*>(luma_plane);
    config.luma_size = width * rows;
    config.show_noise = s.show_noise;
    args = CpuFilterArgs{src,  dst,   s.level_f1, s.level_f2, s.sharp,     s.interlace,
                         rows, width, &config,    luma_plane, s.show_noise};
  }
  FilterCall(const FilterCall&) = delete;  // args points at config
  FilterCall& operator=(const FilterCall&) = delete;

  FilterConfig config{};
  CpuFilterArgs args{};
};

}  // namespace testing_frames
