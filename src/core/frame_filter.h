// The CPU frame filter: directional noise suppression of one packed BGRX frame.
#pragma once

#include <cstdint>

struct FilterConfig;

// Arguments of one call, filled by the run callback.
struct CpuFilterArgs {
  const uint32_t* src;  // rows x width words, row stride = width; only read for colour
  uint32_t* dst;        // same layout; every word is written
  int32_t level_f1;
  int32_t level_f2;
  int32_t sharp;
  int32_t interlace;  // non-zero: two interleaved fields, lines step two rows
  int32_t rows;
  int32_t width;
  const FilterConfig* config;  // the instance's settings record, as the host gave it
  // The record's luma plane (rows x width bytes) and Show noise flag, handed
  // on by the run callback so the arithmetic never looks into the record.
  const uint8_t* luma_plane;
  int32_t show_noise;  // non-zero: write the noise view instead of the filtered pixel
};

// Filters the whole frame on the calling thread with the active version (the
// best one this CPU supports, unless limit_cpu_version caps it), through the
// table of cpu_routines.h. Allocates nothing, never reads dst, never writes src
// or the luma plane.
void cpu_filter_frame(const CpuFilterArgs& args);

// The plain, rule-for-rule implementation. cpu_filter_frame may use a faster
// version with identical results; this one is the reference they are checked against.
void cpu_filter_frame_plain(const CpuFilterArgs& args);

using CpuFilterFunction = void (*)(const CpuFilterArgs& args);
