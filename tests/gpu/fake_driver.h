// A stand-in for the CUDA driver that runs on any machine: device memory lives
// in host memory with pitches rounded up to 512 bytes as the real driver's are,
// each stream runs its queued work in order when it is synchronised, and a
// launch runs the kernel's CPU emulation. Any single call can be made to fail.
//
// The same implementation serves two ways in: unit tests install its function
// table in the runtime binding (fake_driver_table), and host-level tests let the
// module load it as libcuda.so.1 and reach this control record through the
// library's exported fake_cuda_control().
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "gpu/cuda_driver.h"
#include "gpu/kernel_steps.h"

namespace fake_cuda {

// The driver's functions, as the fake counts and fails them.
using Op = CudaCall;
inline constexpr int kOpCount = kCudaCallCount;

// The fake's one context: device 0's primary context.
inline const CuContext kPrimaryContext = reinterpret_cast<CuContext>(uintptr_t{0xC0});
// A context of someone else's (the host's, another filter's) that a test makes
// current on its thread; the GPU road must leave it current.
inline const CuContext kForeignContext = reinterpret_cast<CuContext>(uintptr_t{0xF00});

inline constexpr CuResult kInjectedError = 999;
inline constexpr int kDefaultDriverVersion = 13000;
inline constexpr size_t kPitchAlignment = 512;

struct Allocation {
  std::unique_ptr<uint8_t[]> bytes;
  size_t size = 0;
};

struct LaunchRecord {
  unsigned grid[3];
  unsigned block[3];
  unsigned shared_bytes;
  CuStream stream;
  const uint8_t* src;
  uint64_t src_pitch;
  uint8_t* dst;
  uint64_t dst_pitch;
  KernelSettings settings;
};

struct CopyRecord {
  CuMemcpy2D copy;
  CuStream stream;
};

// One driver call that changed memory or streams, in call order.
struct Event {
  Op op;
  uintptr_t handle;  // the allocation or stream concerned
};

// Work queued on a stream, with the device allocations it uses.
struct QueuedWork {
  std::vector<uintptr_t> uses;
  std::function<void()> run;
};

struct Fault {
  int countdown = 0;  // the call that fails, counted from 1; 0 = none pending
  bool from_then_on = false;
  CuResult code = kInjectedError;
};

// Every entry point takes `mutex`, so instances on several threads may call
// the fake at once. Tests read the records while no call is running.
struct FakeDriver {
  std::mutex mutex;
  // Counters and records.
  int calls[kOpCount] = {};
  std::vector<Event> events;
  std::vector<LaunchRecord> launches;
  std::vector<CopyRecord> copies;
  size_t peak_allocations = 0;
  // Misuse a real driver would reject or that would corrupt memory: unknown
  // handles, copies or launches beyond an allocation, a free while work that
  // may use the memory is still queued.
  std::vector<std::string> violations;

  // State.
  Fault faults[kOpCount];
  std::map<uintptr_t, Allocation> allocations;
  std::map<CuStream, std::vector<QueuedWork>> streams;
  uintptr_t next_stream = 1;
  // The nth allocation from now reports a pitch one alignment step wider.
  int widen_pitch_countdown = 0;
  // What cuDriverGetVersion reports: CUDA 13.0 unless a test says otherwise.
  int driver_version = kDefaultDriverVersion;
  // Device 0's primary context as other components see it (driver_extras).
  unsigned primary_flags = 0;
  int primary_retains = 0;
  int primary_resets = 0;
  bool module_loaded = false;
  // Streams and allocations a primary-context reset destroyed: calls that
  // name them fail as on a real driver, and are no misuse of ours.
  std::set<uintptr_t> destroyed_by_reset;

  int count(Op op) {
    const std::lock_guard<std::mutex> guard(mutex);
    return calls[static_cast<int>(op)];
  }

  // The nth call of op from now on fails with code (and does nothing); with
  // from_then_on every later call fails as well.
  void fail(Op op, int nth = 1, bool from_then_on = false, CuResult code = kInjectedError) {
    const std::lock_guard<std::mutex> guard(mutex);
    faults[static_cast<int>(op)] = Fault{nth, from_then_on, code};
  }

  size_t live_allocations() {
    const std::lock_guard<std::mutex> guard(mutex);
    return allocations.size();
  }
  size_t live_streams() {
    const std::lock_guard<std::mutex> guard(mutex);
    return streams.size();
  }

  // Forgets everything: memory, streams, faults and records.
  void reset() {
    const std::lock_guard<std::mutex> guard(mutex);
    for (int& c : calls) c = 0;
    for (Fault& f : faults) f = Fault{};
    events.clear();
    launches.clear();
    copies.clear();
    violations.clear();
    allocations.clear();
    streams.clear();
    peak_allocations = 0;
    widen_pitch_countdown = 0;
    driver_version = kDefaultDriverVersion;
    primary_flags = 0;
    primary_retains = 0;
    primary_resets = 0;
    module_loaded = false;
    destroyed_by_reset.clear();
  }

  // Work queued on streams and not yet run: none once every stream was waited for.
  size_t queued_work() {
    const std::lock_guard<std::mutex> guard(mutex);
    size_t n = 0;
    for (const auto& [stream, work] : streams) n += work.size();
    return n;
  }
};

// The process's fake driver and its function table.
FakeDriver& driver();
const CudaDriver& driver_table();

// The context current on the calling thread (top of its context stack), or null.
CuContext current_context();

// Driver functions the module never calls, which other components of a
// process do (a host with its own context, a library that sets the primary
// context's flags or resets it) and the GPU check calls to stand in for them.
namespace extras {
CuResult ctx_create(CuContext* context, unsigned flags, CuDevice device);  // the foreign context
CuResult ctx_destroy(CuContext context);
CuResult ctx_get_current(CuContext* context);
CuResult primary_ctx_set_flags(CuDevice device, unsigned flags);
CuResult primary_ctx_get_state(CuDevice device, unsigned* flags, int* active);
CuResult primary_ctx_release(CuDevice device);
// Destroys every stream, allocation and module of the primary context.
CuResult primary_ctx_reset(CuDevice device);
CuResult mem_get_info(size_t* free, size_t* total);
}  // namespace extras

// The address of a fake device pointer's memory.
inline uint8_t* host_address(CuDevicePtr p) {
  return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(p));
}

}  // namespace fake_cuda

// Exported by the fake libcuda.so.1.
using FakeCudaControlFn = fake_cuda::FakeDriver* (*)();
