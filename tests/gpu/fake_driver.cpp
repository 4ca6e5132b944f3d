#include "fake_driver.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "gpu/kernel_emulation.h"
#include "gpu/kernel_image.h"

namespace fake_cuda {
namespace {

constexpr CuResult kInvalidValue = 1;
constexpr CuResult kNoDevice = 100;
constexpr CuResult kInvalidHandle = 400;
constexpr CuResult kNotFound = 500;
constexpr CuResult kInvalidContext = 201;
constexpr CuResult kContextIsDestroyed = 709;
constexpr size_t kDeviceMemory = size_t{16} << 30;

CuModule const kModule = reinterpret_cast<CuModule>(uintptr_t{0x30});
CuFunction const kFunction = reinterpret_cast<CuFunction>(uintptr_t{0xF0});

FakeDriver& d() { return driver(); }

// Each thread's context stack, as the real driver keeps one per thread.
thread_local std::vector<CuContext> context_stack;

// Counts the call and tells whether an injected fault makes it fail.
bool injected(Op op, CuResult& error) {
  ++d().calls[static_cast<int>(op)];
  Fault& f = d().faults[static_cast<int>(op)];
  if (f.countdown == 0) return false;
  if (f.countdown > 1) {
    --f.countdown;
    return false;
  }
  error = f.code;
  if (!f.from_then_on) f.countdown = 0;
  return true;
}

void violation(std::string what) { d().violations.push_back(std::move(what)); }

// A call naming a stream or allocation: the error a real driver gives when a
// reset destroyed it, else a misuse recorded as `what`.
CuResult unknown_handle(uintptr_t handle, const char* what, CuResult error) {
  if (d().destroyed_by_reset.count(handle)) return kContextIsDestroyed;
  violation(what);
  return error;
}
uintptr_t handle_of(CuStream stream) { return reinterpret_cast<uintptr_t>(stream); }

// True when rows of `width` bytes, `pitch` apart, lie inside one allocation.
bool inside_allocation(CuDevicePtr p, size_t pitch, size_t width, size_t height) {
  const auto address = static_cast<uintptr_t>(p);
  auto it = d().allocations.upper_bound(address);
  if (it == d().allocations.begin()) return false;
  --it;
  if (height == 0 || width == 0) return true;
  const size_t end = (address - it->first) + (height - 1) * pitch + width;
  return address >= it->first && end <= it->second.size;
}

// The start of the allocation that holds `p` (p itself when none does).
uintptr_t allocation_base(CuDevicePtr p) {
  const auto address = static_cast<uintptr_t>(p);
  auto it = d().allocations.upper_bound(address);
  if (it == d().allocations.begin()) return address;
  --it;
  return address < it->first + it->second.size ? it->first : address;
}

// The driver's functions without the counting, fault injection and locking
// that the entry points below add.
namespace impl {

CuResult driver_get_version(int* version) {
  *version = d().driver_version;
  return 0;
}

// The one fake device, unless CUDA_VISIBLE_DEVICES hides it as the real
// driver reads that list: the devices named before the first entry that
// names none (so "-1" or "" hides all; "0" or a GPU UUID shows this one).
bool device_visible() {
  const char* list = std::getenv("CUDA_VISIBLE_DEVICES");
  if (list == nullptr) return true;
  while (*list == ' ') ++list;
  return (list[0] == '0' && (list[1] == '\0' || list[1] == ',' || list[1] == ' ')) ||
         std::strncmp(list, "GPU-", 4) == 0 || std::strncmp(list, "MIG-", 4) == 0;
}

CuResult init(unsigned) { return device_visible() ? 0 : kNoDevice; }

CuResult device_get(CuDevice* device, int ordinal) {
  if (ordinal != 0) return kInvalidValue;
  *device = 0;
  return 0;
}

CuResult primary_ctx_retain(CuContext* context, CuDevice) {
  *context = kPrimaryContext;
  ++d().primary_retains;
  return 0;
}

CuResult ctx_push_current(CuContext context) {
  if (context != kPrimaryContext && context != kForeignContext) {
    violation("unknown context pushed");
    return kInvalidContext;
  }
  context_stack.push_back(context);
  return 0;
}

CuResult ctx_pop_current(CuContext* context) {
  if (context_stack.empty()) {
    violation("pop of an empty context stack");
    return kInvalidContext;
  }
  if (context != nullptr) *context = context_stack.back();
  context_stack.pop_back();
  return 0;
}

CuResult stream_create(CuStream* stream, unsigned flags) {
  if (flags != 1) violation("stream created without the non-blocking flag");
  auto* s = reinterpret_cast<CuStream>(d().next_stream++ * 0x100);
  d().streams[s];
  d().events.push_back({Op::stream_create, reinterpret_cast<uintptr_t>(s)});
  *stream = s;
  return 0;
}

// Runs the stream's queued work in order.
void drain(CuStream stream) {
  auto it = d().streams.find(stream);
  if (it == d().streams.end()) return;
  auto work = std::move(it->second);
  it->second.clear();
  for (auto& step : work) step.run();
}

CuResult stream_synchronize(CuStream stream) {
  if (!d().streams.count(stream)) {
    return unknown_handle(handle_of(stream), "wait on an unknown stream", kInvalidHandle);
  }
  d().events.push_back({Op::stream_synchronize, reinterpret_cast<uintptr_t>(stream)});
  drain(stream);
  return 0;
}

CuResult stream_destroy(CuStream stream) {
  if (!d().streams.count(stream)) {
    return unknown_handle(handle_of(stream), "destroy of an unknown stream", kInvalidHandle);
  }
  drain(stream);
  d().streams.erase(stream);
  d().events.push_back({Op::stream_destroy, reinterpret_cast<uintptr_t>(stream)});
  return 0;
}

CuResult mem_alloc_pitch(CuDevicePtr* pointer, size_t* pitch, size_t width_bytes, size_t height,
                         unsigned element_bytes) {
  if (width_bytes == 0 || height == 0 || element_bytes != 4) return kInvalidValue;
  size_t row = (width_bytes + kPitchAlignment - 1) / kPitchAlignment * kPitchAlignment;
  if (d().widen_pitch_countdown > 0 && --d().widen_pitch_countdown == 0) row += kPitchAlignment;
  Allocation a;
  a.size = row * height;
  a.bytes.reset(new uint8_t[a.size]);
  std::memset(a.bytes.get(), 0xCD, a.size);  // fresh device memory holds garbage
  const auto address = reinterpret_cast<uintptr_t>(a.bytes.get());
  d().allocations.emplace(address, std::move(a));
  d().peak_allocations = std::max(d().peak_allocations, d().allocations.size());
  d().events.push_back({Op::mem_alloc_pitch, address});
  *pointer = address;
  *pitch = row;
  return 0;
}

CuResult mem_free(CuDevicePtr pointer) {
  const auto address = static_cast<uintptr_t>(pointer);
  if (!d().allocations.count(address)) {
    return unknown_handle(address, "free of unknown device memory", kInvalidValue);
  }
  // Only this instance's work matters: other streams may be busy meanwhile.
  for (const auto& [stream, work] : d().streams) {
    for (const QueuedWork& w : work) {
      if (std::find(w.uses.begin(), w.uses.end(), address) != w.uses.end()) {
        violation("device memory freed while work that uses it is queued");
      }
    }
  }
  d().allocations.erase(address);
  d().events.push_back({Op::mem_free, address});
  return 0;
}

CuResult memcpy_2d_async(const CuMemcpy2D* c, CuStream stream) {
  if (!d().streams.count(stream)) {
    return unknown_handle(handle_of(stream), "copy on an unknown stream", kInvalidHandle);
  }
  d().copies.push_back({*c, stream});
  if (c->width_in_bytes > c->src_pitch || c->width_in_bytes > c->dst_pitch) {
    violation("copy rows wider than their pitch");
    return kInvalidValue;
  }
  const size_t width = c->width_in_bytes, height = c->height;
  if (c->src_memory_type == kCuMemoryTypeHost && c->dst_memory_type == kCuMemoryTypeDevice) {
    if (!inside_allocation(c->dst_device, c->dst_pitch, width, height)) {
      violation("upload beyond its device allocation");
      return kInvalidValue;
    }
    // A copy from pageable memory takes the host rows before it returns.
    std::vector<uint8_t> rows(width * height);
    const auto* from = static_cast<const uint8_t*>(c->src_host);
    for (size_t k = 0; k < height; ++k) {
      std::memcpy(rows.data() + k * width, from + k * c->src_pitch, width);
    }
    uint8_t* to = host_address(c->dst_device);
    const size_t pitch = c->dst_pitch;
    d().streams[stream].push_back(
        {{allocation_base(c->dst_device)}, [rows = std::move(rows), to, pitch, width, height] {
           for (size_t k = 0; k < height; ++k)
             std::memcpy(to + k * pitch, rows.data() + k * width, width);
         }});
    return 0;
  }
  if (c->src_memory_type == kCuMemoryTypeDevice && c->dst_memory_type == kCuMemoryTypeHost) {
    if (!inside_allocation(c->src_device, c->src_pitch, width, height)) {
      violation("download beyond its device allocation");
      return kInvalidValue;
    }
    // The host rows are written when the stream reaches the copy.
    const uint8_t* from = host_address(c->src_device);
    auto* to = static_cast<uint8_t*>(c->dst_host);
    const size_t src_pitch = c->src_pitch, dst_pitch = c->dst_pitch;
    d().streams[stream].push_back({{allocation_base(c->src_device)}, [=] {
                                     for (size_t k = 0; k < height; ++k)
                                       std::memcpy(to + k * dst_pitch, from + k * src_pitch, width);
                                   }});
    return 0;
  }
  violation("copy between unexpected memory types");
  return kInvalidValue;
}

CuResult module_load_data(CuModule* module, const void* image) {
  if (image == nullptr) return kInvalidValue;
  *module = kModule;
  d().module_loaded = true;
  return 0;
}

CuResult module_get_function(CuFunction* function, CuModule module, const char* name) {
  if (module != kModule) return kInvalidHandle;
  if (std::strcmp(name, kKernelSymbol) != 0) return kNotFound;
  *function = kFunction;
  return 0;
}

template <class T> T argument(void** parameters, int i) {
  T value;
  std::memcpy(&value, parameters[i], sizeof value);
  return value;
}

CuResult launch_kernel(CuFunction function, unsigned gx, unsigned gy, unsigned gz, unsigned bx,
                       unsigned by, unsigned bz, unsigned shared_bytes, CuStream stream,
                       void** parameters, void** extra) {
  // A reset unloads the module: its function handle is stale from then on.
  if (function != kFunction || !d().module_loaded) return kInvalidHandle;
  if (!d().streams.count(stream)) {
    return unknown_handle(handle_of(stream), "launch on an unknown stream", kInvalidHandle);
  }
  if (parameters == nullptr || extra != nullptr) return kInvalidValue;
  // The driver copies the arguments when the launch is queued.
  LaunchRecord r{{gx, gy, gz},
                 {bx, by, bz},
                 shared_bytes,
                 stream,
                 argument<const uint8_t*>(parameters, 0),
                 argument<uint64_t>(parameters, 1),
                 argument<uint8_t*>(parameters, 2),
                 argument<uint64_t>(parameters, 3),
                 KernelSettings{argument<int32_t>(parameters, 4), argument<int32_t>(parameters, 5),
                                argument<int32_t>(parameters, 6), argument<int32_t>(parameters, 7),
                                argument<int32_t>(parameters, 8), argument<int32_t>(parameters, 9),
                                argument<int32_t>(parameters, 10)}};
  d().launches.push_back(r);
  // The emulation runs 16 x 16 blocks only; the kernel needs no other shape.
  if (bx != kBlockWidth || by != kBlockHeight || bz != 1 || gz != 1) {
    violation("launch with a block shape the kernel does not support");
    return kInvalidValue;
  }
  const KernelSettings& s = r.settings;
  const size_t row = 4 * static_cast<size_t>(s.width);
  if (s.width < 1 || s.height < 1 ||
      !inside_allocation(reinterpret_cast<uintptr_t>(r.src), r.src_pitch, row, s.height) ||
      !inside_allocation(reinterpret_cast<uintptr_t>(r.dst), r.dst_pitch, row, s.height)) {
    violation("launch over images that do not hold the frame");
    return kInvalidValue;
  }
  const std::vector<uintptr_t> uses = {allocation_base(reinterpret_cast<uintptr_t>(r.src)),
                                       allocation_base(reinterpret_cast<uintptr_t>(r.dst))};
  d().streams[stream].push_back({uses, [r] {
                                   emulate_qnr_kernel(r.grid[0], r.grid[1], r.src, r.src_pitch,
                                                      r.dst, r.dst_pitch, r.settings);
                                 }});
  return 0;
}

CuResult get_error_name(CuResult error, const char** name) {
  static const std::map<CuResult, const char*> names = {
      {0, "CUDA_SUCCESS"},
      {kInvalidValue, "CUDA_ERROR_INVALID_VALUE"},
      {2, "CUDA_ERROR_OUT_OF_MEMORY"},
      {100, "CUDA_ERROR_NO_DEVICE"},
      {kInvalidContext, "CUDA_ERROR_INVALID_CONTEXT"},
      {209, "CUDA_ERROR_NO_BINARY_FOR_GPU"},
      {222, "CUDA_ERROR_UNSUPPORTED_PTX_VERSION"},
      {kInvalidHandle, "CUDA_ERROR_INVALID_HANDLE"},
      {kContextIsDestroyed, "CUDA_ERROR_CONTEXT_IS_DESTROYED"},
      {kNotFound, "CUDA_ERROR_NOT_FOUND"},
      {kInjectedError, "CUDA_ERROR_UNKNOWN"},
  };
  const auto it = names.find(error);
  if (it == names.end()) {
    *name = nullptr;
    return kInvalidValue;
  }
  *name = it->second;
  return 0;
}

}  // namespace impl

// Work that goes to a context: the real driver runs it in the thread's
// current one, which must be the primary context the GPU road pushed.
bool needs_context(Op op) {
  switch (op) {
    case Op::driver_get_version:
    case Op::init:
    case Op::device_get:
    case Op::primary_ctx_retain:
    case Op::ctx_push_current:
    case Op::ctx_pop_current:
    case Op::get_error_name: return false;
    default: return true;
  }
}

// A failed wait still lets the queued work finish.
bool runs_despite_fault(Op op) { return op == Op::stream_synchronize; }

// The entry points: one lock for the whole driver, the call counted, an
// injected fault applied, the calling thread's context checked.
#define FAKE_CUDA_ENTRY(symbol, member, parameters, arguments)                \
  CuResult member parameters {                                                \
    const std::lock_guard<std::mutex> guard(d().mutex);                       \
    CuResult fault = 0;                                                       \
    const bool faulted = injected(Op::member, fault);                         \
    if (faulted && !runs_despite_fault(Op::member)) return fault;             \
    if (needs_context(Op::member) &&                                          \
        (context_stack.empty() || context_stack.back() != kPrimaryContext)) { \
      violation(#symbol " called without the primary context current");       \
    }                                                                         \
    const CuResult result = impl::member arguments;                           \
    return faulted ? fault : result;                                          \
  }
QNR_CUDA_DRIVER_FUNCTIONS(FAKE_CUDA_ENTRY)
#undef FAKE_CUDA_ENTRY

}  // namespace

CuContext current_context() { return context_stack.empty() ? nullptr : context_stack.back(); }

namespace extras {

CuResult ctx_create(CuContext* context, unsigned, CuDevice) {
  const std::lock_guard<std::mutex> guard(d().mutex);
  context_stack.push_back(kForeignContext);
  *context = kForeignContext;
  return 0;
}

CuResult ctx_destroy(CuContext context) {
  const std::lock_guard<std::mutex> guard(d().mutex);
  if (context != kForeignContext) return kInvalidContext;
  if (!context_stack.empty() && context_stack.back() == context) context_stack.pop_back();
  return 0;
}

CuResult ctx_get_current(CuContext* context) {
  *context = current_context();
  return 0;
}

CuResult primary_ctx_set_flags(CuDevice, unsigned flags) {
  const std::lock_guard<std::mutex> guard(d().mutex);
  d().primary_flags = flags;
  return 0;
}

CuResult primary_ctx_get_state(CuDevice, unsigned* flags, int* active) {
  const std::lock_guard<std::mutex> guard(d().mutex);
  *flags = d().primary_flags;
  *active = d().primary_retains > 0 ? 1 : 0;
  return 0;
}

CuResult primary_ctx_release(CuDevice) {
  const std::lock_guard<std::mutex> guard(d().mutex);
  if (d().primary_retains == 0) return kInvalidContext;
  --d().primary_retains;
  return 0;
}

CuResult primary_ctx_reset(CuDevice) {
  const std::lock_guard<std::mutex> guard(d().mutex);
  for (const auto& [stream, work] : d().streams) d().destroyed_by_reset.insert(handle_of(stream));
  for (const auto& [address, allocation] : d().allocations) d().destroyed_by_reset.insert(address);
  d().streams.clear();
  d().allocations.clear();
  d().module_loaded = false;
  ++d().primary_resets;
  return 0;
}

CuResult mem_get_info(size_t* free, size_t* total) {
  const std::lock_guard<std::mutex> guard(d().mutex);
  size_t used = 0;
  for (const auto& [address, allocation] : d().allocations) used += allocation.size;
  *total = kDeviceMemory;
  *free = kDeviceMemory - used;
  return 0;
}

}  // namespace extras

FakeDriver& driver() {
  static FakeDriver instance;
  return instance;
}

const CudaDriver& driver_table() {
  static const CudaDriver table{
#define FAKE_CUDA_TABLE_ENTRY(symbol, member, parameters, arguments) member,
      QNR_CUDA_DRIVER_FUNCTIONS(FAKE_CUDA_TABLE_ENTRY)
#undef FAKE_CUDA_TABLE_ENTRY
  };
  return table;
}

}  // namespace fake_cuda
