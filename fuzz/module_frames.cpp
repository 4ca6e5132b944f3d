// Fuzz target: frames through the module as a host runs them. One input is an
// instance's life: its road (CPU, or the GPU over the fake driver, perhaps
// with one failing driver call), then up to three frames, each with its own
// size (0 to a few hundred, odd, 1), row layout of source and destination
// (top-down or bottom-up, padding of any byte count), settings far beyond the
// dialog's ranges, Interlace, Show noise, Disable and pixels.
//
// Every frame must come out with exactly the bits of its reference: the
// source's own rows under Disable, the kernel's CPU emulation on a packed copy
// where the GPU road took it, the plain CPU routines where the CPU path did.
// Every optimised CPU version must give the plain version's bits on the same
// frame. Nothing may touch the bytes around either bitmap or the source.
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "core/cpu_luma_plane.h"
#include "core/cpu_routines.h"
#include "core/frame_filter.h"
#include "fake_driver.h"
#include "fuzz_support.h"
#include "gpu/device_operations_testing.h"
#include "gpu/kernel_emulation.h"
#include "guarded_bitmap.h"
#include "linked_module.h"
#include "vdhost/instance.h"
#include "vdhost/settings.h"

namespace {

using qnr_fuzz::GuardedBitmap;
using qnr_fuzz::require;

constexpr int32_t kMaxSide = 400;
constexpr int64_t kMaxPixels = 24 * 1024;  // keeps one input well under a second
constexpr int kMaxFrames = 3;
constexpr unsigned char kFakeImage[] = "fake kernel image";

struct FrameSpec {
  int32_t width = 0, height = 0;
  int64_t src_pitch = 0, dst_pitch = 0;
  int32_t f1 = 0, f2 = 0, sharp = 0, interlace = 0, multithreading = 0;
  bool show_noise = false, disable = false;
  bool restart = false;  // end the run of frames and start a new one first
};

int32_t fuzzed_side(FuzzedDataProvider& in) {
  // Small sides, where the edges and the vector blocks meet, most often.
  return in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 40)
                          : in.ConsumeIntegralInRange(0, kMaxSide);
}

int64_t fuzzed_pitch(FuzzedDataProvider& in, int32_t width) {
  const int64_t stride = int64_t{width} * 4 + in.ConsumeIntegralInRange(0, 67);
  return in.ConsumeBool() ? -stride : stride;
}

FrameSpec fuzzed_frame(FuzzedDataProvider& in) {
  FrameSpec f;
  f.width = fuzzed_side(in);
  f.height = fuzzed_side(in);
  if (int64_t{f.width} * f.height > kMaxPixels)
    f.height = static_cast<int32_t>(kMaxPixels / f.width);
  f.src_pitch = fuzzed_pitch(in, f.width);
  f.dst_pitch = fuzzed_pitch(in, f.width);
  f.f1 = qnr_fuzz::fuzzed_setting(in, 0, 100);
  f.f2 = qnr_fuzz::fuzzed_setting(in, 0, 100);
  f.sharp = qnr_fuzz::fuzzed_setting(in, 0, 6);
  f.interlace = qnr_fuzz::fuzzed_setting(in, 0, 1);
  f.multithreading = qnr_fuzz::fuzzed_setting(in, 0, 1);
  f.show_noise = in.ConsumeBool();
  f.disable = in.ConsumeProbability<float>() < 0.15f;
  f.restart = in.ConsumeProbability<float>() < 0.2f;
  return f;
}

// The plain CPU routines on a packed frame; every optimised version must agree.
std::vector<uint32_t> cpu_reference(const std::vector<uint32_t>& src, const FrameSpec& f,
                                    const void* record) {
  const size_t pixels = src.size();
  std::vector<uint8_t> luma(pixels);
  std::vector<uint32_t> out(pixels);
  cpu_luma_plane_plain(src.data(), luma.data(), pixels);
  CpuFilterArgs args{};
  args.src = src.data();
  args.dst = out.data();
  args.level_f1 = f.f1;
  args.level_f2 = f.f2;
  args.sharp = f.sharp;
  args.interlace = f.interlace;
  args.rows = f.height;
  args.width = f.width;
  args.config = static_cast<const FilterConfig*>(record);
  args.luma_plane = luma.data();
  args.show_noise = f.show_noise ? 1 : 0;
  cpu_filter_frame_plain(args);

  for (CpuVersion v : all_cpu_versions()) {
    const CpuRoutines* own = cpu_routines_of(v);
    if (own == nullptr || v == CpuVersion::plain) continue;
    std::vector<uint8_t> own_luma(pixels, 0x5A);
    own->luma_plane(src.data(), own_luma.data(), pixels);
    require(own_luma == luma, "an optimised luma plane equals the plain one");
    std::vector<uint32_t> own_out(pixels, 0x5A5A5A5Au);
    CpuFilterArgs own_args = args;
    own_args.dst = own_out.data();
    own->filter_frame(own_args);
    require(own_out == out, "an optimised frame filter equals the plain one");
  }
  return out;
}

std::vector<uint32_t> kernel_reference(const std::vector<uint32_t>& src, const FrameSpec& f) {
  std::vector<uint32_t> out(src.size());
  const uint64_t pitch = uint64_t(f.width) * 4;
  const KernelSettings s{f.width, f.height, f.f1, f.f2, f.sharp, f.interlace, f.show_noise ? 1 : 0};
  emulate_qnr_kernel((f.width + 15) / 16, (f.height + 15) / 16,
                     reinterpret_cast<const uint8_t*>(src.data()), pitch,
                     reinterpret_cast<uint8_t*>(out.data()), pitch, s);
  return out;
}

void apply(vdhost::FilterInstance& instance, const FrameSpec& f) {
  const int32_t config[] = {f.f1, f.f2, f.sharp, f.interlace, f.multithreading};
  std::string error;
  require(instance.call_script("Config", config, error), "Config takes five integers");
  vdhost::Settings record;
  record[vdhost::Setting::show_noise] = f.show_noise ? 1 : 0;
  record[vdhost::Setting::disable] = f.disable ? 1 : 0;
  require(vdhost::apply_settings(instance, record) == vdhost::SettingsOutcome::applied,
          "Show noise and Disable apply");
}

// The injected fault's countdown: it fired once it is back to zero.
bool fault_pending(fake_cuda::FakeDriver& fake, int op) {
  return op < fake_cuda::kOpCount && fake.faults[op].countdown > 0;
}

void run_frame(vdhost::FilterInstance& instance, const FrameSpec& f,
               const std::vector<uint8_t>& pool, size_t frame_index, int fault_op) {
  fake_cuda::FakeDriver& fake = fake_cuda::driver();
  GuardedBitmap src(f.width, f.height, f.src_pitch);
  GuardedBitmap dst(f.width, f.height, f.dst_pitch);
  const size_t pixels = static_cast<size_t>(f.width) * f.height;
  const std::vector<uint32_t> input = qnr_fuzz::pixels_from(pool, frame_index * 7919, pixels);
  src.fill(input);
  dst.fill(std::vector<uint32_t>(pixels, 0xDEADBEEFu));
  const std::vector<uint8_t> src_before = src.bytes();

  apply(instance, f);
  if (f.restart && instance.started()) instance.end();
  if (!instance.started()) {
    require(instance.start(src.record(), dst.record()) == 0, "start succeeds");
  }
  const bool pending = fault_pending(fake, fault_op);
  src.raise_fence();
  dst.raise_fence();
  const int result = instance.run(src.record(), dst.record());
  src.lower_fence();
  dst.lower_fence();
  const bool fault_fired = pending && !fault_pending(fake, fault_op);

  require(result == 0, "run succeeds");
  require(src.bytes() == src_before, "the source bitmap is left as it was");
  require(dst.intact(), "nothing outside the destination's pixels is written");
  const std::vector<uint32_t> output = dst.packed();
  if (f.disable) {
    require(output == input, "Disable passes every byte through");
    return;
  }
  if (pixels == 0) return;
  const bool gpu = vdhost::holds_gpu_context(instance);
  if (gpu && output == kernel_reference(input, f)) return;
  const void* record = instance.data();
  // A frame whose driver call failed may take either road; without a GPU
  // context every frame is the CPU path's.
  require((!gpu || fault_fired) && output == cpu_reference(input, f, record),
          "the frame equals its road's reference");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  fake_cuda::FakeDriver& fake = fake_cuda::driver();
  fake.reset();
  cuda_use_driver_for_testing(
      &fake_cuda::driver_table(),
      KernelImage{kFakeImage, sizeof kFakeImage, fake_cuda::kDefaultDriverVersion});
  // The road: no usable driver (the CPU path throughout), or the fake GPU,
  // perhaps with its nth call of one operation failing.
  const bool gpu = in.ConsumeBool();
  int fault_op = fake_cuda::kOpCount;
  if (!gpu) {
    fake.fail(fake_cuda::Op::init, 1, true);
  } else if (in.ConsumeBool()) {
    fault_op = in.ConsumeIntegralInRange(0, fake_cuda::kOpCount - 1);
    fake.fail(static_cast<fake_cuda::Op>(fault_op), in.ConsumeIntegralInRange(1, 8));
  }

  std::vector<FrameSpec> frames(static_cast<size_t>(in.ConsumeIntegralInRange(1, kMaxFrames)));
  for (FrameSpec& f : frames) f = fuzzed_frame(in);
  const std::vector<uint8_t> pool = in.ConsumeRemainingBytes<uint8_t>();
  const vdhost::FilterModule& module = qnr_fuzz::linked_module();
  auto instance = std::make_unique<vdhost::FilterInstance>(module, *module.filter());
  require(instance->init() == 0, "init succeeds");
  for (size_t i = 0; i < frames.size(); ++i) run_frame(*instance, frames[i], pool, i, fault_op);
  instance.reset();
  require(fake.violations.empty(), "the GPU road uses the driver as a real driver allows");
  // A free or destroy that the driver refused, itself or by refusing the
  // context around it, leaves its object behind; nothing else may.
  const bool release_refused = fault_op == static_cast<int>(fake_cuda::Op::mem_free) ||
                               fault_op == static_cast<int>(fake_cuda::Op::stream_destroy) ||
                               fault_op == static_cast<int>(fake_cuda::Op::ctx_push_current);
  require(release_refused || (fake.live_allocations() == 0 && fake.live_streams() == 0),
          "the instance gives back every device image and stream");
  cuda_use_driver_for_testing(nullptr, KernelImage{});
  return 0;
}
