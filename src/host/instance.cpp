// Per-instance life cycle: defaults at init, the luma plane and GPU context
// from start to end.
#include <climits>
#include <cstdlib>

#include "gpu/gpu_context.h"
#include "host/callbacks.h"
#include "host/luma_plane_storage.h"
#include "win32_api.h"

int32_t thread_count_for(uint32_t processors) {
  return processors > 4 ? 4 : static_cast<int32_t>(processors);
}

int qnr_init(FilterActivation* fa, const HostFunctions*) {
  FilterConfig* cfg = config_of(fa);
  cfg->level_f1 = kDefaultLevel;
  cfg->level_f2 = kDefaultLevel;
  cfg->sharp = kDefaultSharp;
  cfg->disable = 0;
  cfg->show_noise = 0;
  cfg->interlace = 0;
  cfg->gpu_context = nullptr;

  SYSTEM_INFO info;
  GetSystemInfo(&info);
  cfg->thread_count = thread_count_for(info.dwNumberOfProcessors);
  cfg->multithreading = cfg->thread_count > 1 ? 1 : 0;
  return 0;
}

int qnr_start(FilterActivation* fa, const HostFunctions*) {
  FilterConfig* cfg = config_of(fa);
  const int32_t width = fa->src->w;
  const int32_t height = fa->src->h;
  // Whatever the record holds here is not ours to free: a host that duplicates a
  // started instance copies its block byte for byte, and the copy's references
  // point at storage the original's end has already released. The host never
  // starts twice without an end between, so nothing of our own is lost. Clearing
  // them first also leaves end nothing stale to release after a failed start.
  cfg->luma_plane = nullptr;
  cfg->gpu_context = nullptr;
  // The plane size must be a true width x height: a product that does not fit
  // 32 bits would otherwise wrap into a small allocation that frames overrun.
  if (!allocate_luma_plane(cfg, width, height)) return 1;

  cfg->gpu_context = gpu_create();
  if (cfg->gpu_context != nullptr) {
    // Every frame re-applies the sizing rule, so a failure here only defers it.
    gpu_resize(cfg->gpu_context, width, height);
  }
  return 0;
}

int qnr_end(FilterActivation* fa, const HostFunctions*) {
  FilterConfig* cfg = config_of(fa);
  free_luma_plane(cfg);
  if (cfg->gpu_context != nullptr) {
    gpu_release(cfg->gpu_context);
    cfg->gpu_context = nullptr;
  }
  return 0;
}
