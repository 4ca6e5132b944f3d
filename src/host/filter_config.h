// The per-instance settings record. The host allocates it (zero-filled) with the
// size the filter definition announces and copies it byte for byte when it
// duplicates an instance, so it holds only plain values and raw references.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/host_api.h"
#include "host/setting_limits.h"

struct GpuContext;

struct FilterConfig {
  PreviewInterface* preview;  // valid only while the dialog is open
  int32_t level_f1;
  int32_t level_f2;
  int32_t saved_level_f1;
  int32_t saved_level_f2;
  int32_t sharp;
  int32_t saved_sharp;
  int32_t disable;
  int32_t show_noise;
  int32_t thread_count;  // shown in the dialog only
  int32_t interlace;
  int32_t saved_interlace;
  int32_t multithreading;  // edited and scripted; no processing depends on it
  int32_t saved_multithreading;
  uint8_t* luma_plane;  // owned between start and end
  int32_t luma_size;
  GpuContext* gpu_context;  // owned between start and end, or null
};
static_assert(sizeof(FilterConfig) == 88);
static_assert(offsetof(FilterConfig, level_f1) == 8);
static_assert(offsetof(FilterConfig, sharp) == 24);
static_assert(offsetof(FilterConfig, disable) == 32);
static_assert(offsetof(FilterConfig, show_noise) == 36);
static_assert(offsetof(FilterConfig, thread_count) == 40);
static_assert(offsetof(FilterConfig, interlace) == 44);
static_assert(offsetof(FilterConfig, multithreading) == 52);
static_assert(offsetof(FilterConfig, saved_multithreading) == 56);
static_assert(offsetof(FilterConfig, luma_plane) == 64);
static_assert(offsetof(FilterConfig, luma_size) == 72);
static_assert(offsetof(FilterConfig, gpu_context) == 80);

inline FilterConfig* config_of(const FilterActivation* fa) {
  return static_cast<FilterConfig*>(fa->filter_data);
}
