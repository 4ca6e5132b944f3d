// No GPU road yet: no context is ever created, so every frame takes the CPU path.
#include "gpu/gpu_context.h"

GpuContext* gpu_create() { return nullptr; }

bool gpu_resize(GpuContext*, int32_t, int32_t) { return false; }

void gpu_release(GpuContext*) {}

bool gpu_process(GpuContext*, const uint8_t*, int64_t, uint8_t*, int64_t, int32_t, int32_t,
                 int32_t, int32_t, int32_t, int32_t, int32_t) {
  return false;
}
