// The run callback: for each frame, pass-through, the GPU round trip, or the CPU path.
#include <vector>

#include "core/cpu_luma_plane.h"
#include "core/frame_filter.h"
#include "core/row_walk.h"
#include "gpu/gpu_context.h"
#include "host/callbacks.h"
#include "host/luma_plane_storage.h"

namespace {

void pass_through(const HostBitmap& src, HostBitmap& dst, int32_t width, int32_t height) {
  copy_rows(row_walk(dst.data, dst.pitch, height), row_walk(src.data, src.pitch, height), height,
            static_cast<size_t>(width) * 4);
}

// The plane must hold exactly this frame: a host that presents another size than
// at start, or runs without a successful start, gets a plane sized here.
bool ensure_luma_plane(FilterConfig* cfg, int32_t width, int32_t height) {
  const int64_t pixels = static_cast<int64_t>(width) * height;
  if (cfg->luma_plane != nullptr && pixels == cfg->luma_size) return true;
  free_luma_plane(cfg);
  return allocate_luma_plane(cfg, width, height);
}

// False when the frame's buffers cannot be obtained; the destination is then untouched.
bool filter_on_cpu(FilterConfig* cfg, const HostBitmap& src, HostBitmap& dst, int32_t width,
                   int32_t height) {
  if (width == 0 || height == 0) return true;
  if (!ensure_luma_plane(cfg, width, height)) return false;

  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  const size_t row_bytes = static_cast<size_t>(width) * 4;
  std::vector<uint32_t> packed_in(pixels);
  std::vector<uint32_t> packed_out(pixels);

  copy_rows(packed_walk(packed_in.data(), row_bytes), row_walk(src.data, src.pitch, height), height,
            row_bytes);
  cpu_luma_plane(packed_in.data(), cfg->luma_plane, pixels);

  CpuFilterArgs args;
  args.src = packed_in.data();
  args.dst = packed_out.data();
  args.level_f1 = cfg->level_f1;
  args.level_f2 = cfg->level_f2;
  args.sharp = cfg->sharp;
  args.interlace = cfg->interlace;
  args.rows = height;
  args.width = width;
  args.config = cfg;
  args.luma_plane = cfg->luma_plane;
  args.show_noise = cfg->show_noise;
  cpu_filter_frame(args);

  copy_rows(row_walk(dst.data, dst.pitch, height), packed_walk(packed_out.data(), row_bytes),
            height, row_bytes);
  return true;
}

}  // namespace

int qnr_run(const FilterActivation* fa, const HostFunctions*) {
  FilterConfig* cfg = config_of(fa);
  const HostBitmap& src = *fa->src;
  HostBitmap& dst = *fa->dst;
  const int32_t width = src.w;
  const int32_t height = src.h;
  if (width < 0 || height < 0) return 1;

  if (cfg->disable != 0) {
    pass_through(src, dst, width, height);
    return 0;
  }

  // The module is called through a C interface by hosts built with other
  // compilers: no exception may leave it, from the GPU road (its one-time
  // driver binding) or the CPU path. A frame that cannot be filtered for want
  // of memory goes out unchanged and the call reports failure.
  bool filtered = false;
  try {
    filtered =
        cfg->gpu_context != nullptr &&
        gpu_process(cfg->gpu_context, reinterpret_cast<const uint8_t*>(src.data), src.pitch,
                    reinterpret_cast<uint8_t*>(dst.data), dst.pitch, width, height, cfg->level_f1,
                    cfg->level_f2, cfg->sharp, cfg->interlace, cfg->show_noise != 0 ? 1 : 0);
    if (!filtered) filtered = filter_on_cpu(cfg, src, dst, width, height);
  } catch (...) {
    filtered = false;
  }
  if (!filtered) {
    pass_through(src, dst, width, height);
    return 1;
  }
  return 0;
}
