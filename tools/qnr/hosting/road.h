// The road a job's frames take through the module: the GPU or the CPU path,
// which give different bits by design. --cpu and --device choose for the
// module before it loads, through the CUDA driver's own device selection
// (CUDA_VISIBLE_DEVICES), so the module's interface stays as every host sees
// it. The road actually taken is found by running one test frame; a job keeps
// to one road, and a segment worker that would take the other one stops.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "vdhost/vdhost.h"

namespace qnr {

struct RoadChoice {
  bool cpu = false;  // --cpu: the module sees no CUDA device
  int device = -1;   // --device N: only GPU N, -1 for any
};

enum class Road { cpu, gpu };
const char* road_name(Road road);  // "cpu", "gpu"
bool road_from_name(const std::string& name, Road& road);

// Whether a CUDA driver is there for the module to bind; qnr itself never uses it.
bool cuda_driver_loads();

// The number of instances for --jobs 0: one per processor, or one when a
// CUDA driver loads (one GPU instance, so frames never alternate between the
// GPU's and the CPU's results).
int default_jobs();

// Sets the environment for the module's driver binding. Call before the
// module loads, before any thread starts. Throws Failure when --device names
// a GPU the environment already hides.
void apply_road_choice(const RoadChoice& choice);
// True when the environment shows the module no CUDA device at all.
bool gpu_hidden();
// How many GPUs this process may use: those listed in CUDA_VISIBLE_DEVICES,
// else those the NVIDIA kernel driver lists, at least 1.
int visible_gpu_count();

// The road that frames of `filter` take on this machine: one test frame
// through a fresh instance. `why` says in plain words what was found.
Road probe_road(const vdhost::FilterModule& module, const FilterDefinition& filter,
                std::string& why);

// The module's GPU-road log while it lives: QNR_LOG=1 and standard error read
// through a pipe, the module's "QNR: GPU road:" lines kept apart and the rest
// passed on. The one reader of the log: qnr info's test frame and a job's
// probe learn the road through it, and a job on the GPU road learns that some
// frame went to the CPU instead, which would mix the two roads' bits.
class GpuRoadWatch {
 public:
  GpuRoadWatch();
  ~GpuRoadWatch();
  GpuRoadWatch(const GpuRoadWatch&) = delete;
  GpuRoadWatch& operator=(const GpuRoadWatch&) = delete;

  // Stops watching; the module's lines that said a frame took the CPU path
  // (is_gpu_road_cause).
  std::vector<std::string> finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qnr
