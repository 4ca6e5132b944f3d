// Fuzz target: the frei0r plug-in through its f0r_* entry points, as editors
// and pipelines call them: an instance of a fuzzed size (0 to a few hundred,
// or any size that is only constructed), parameter values no host should
// send (NaN, infinities, negatives, huge), parameter indexes out of range,
// and frames updated in place or into another buffer, in any order.
//
// A parameter reads back inside [0,1]. Each frame is checked against a fresh
// instance given the same parameter values: the same pixels, whatever the
// first instance went through before, with the input's alpha kept. Frames are
// exact-size allocations, so AddressSanitizer sees any access beyond them.
extern "C" {
#include <frei0r.h>
}

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "fuzz_support.h"

namespace {

using qnr_fuzz::require;

constexpr int kMaxSide = 300;
constexpr size_t kMaxPixels = 24 * 1024;
constexpr int kMaxSteps = 12;

struct Instance {
  f0r_instance_t handle;
  explicit Instance(unsigned w, unsigned h) : handle(f0r_construct(w, h)) {}
  ~Instance() {
    if (handle != nullptr) f0r_destruct(handle);
  }
};

int parameter_count() {
  f0r_plugin_info_t info{};
  f0r_get_plugin_info(&info);
  return info.num_params;
}

double fuzzed_value(FuzzedDataProvider& in) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return in.ConsumeProbability<double>();
    case 1: return in.ConsumeFloatingPoint<double>();
    case 2:
      return in.PickValueInArray({std::numeric_limits<double>::quiet_NaN(), kInf, -kInf, -0.0, 0.5,
                                  0.495, 0.505, 1.0 + 1e-12,
                                  std::numeric_limits<double>::denorm_min(),
                                  std::numeric_limits<double>::max(), -1.0});
    default: return in.ConsumeFloatingPointInRange<double>(-2.0, 3.0);
  }
}

std::vector<double> values_of(f0r_instance_t instance, int count) {
  std::vector<double> values(count);
  for (int i = 0; i < count; ++i) {
    f0r_get_param_value(instance, &values[i], i);
    require(values[i] >= 0.0 && values[i] <= 1.0, "a parameter reads back inside [0,1]");
  }
  return values;
}

// The frame a fresh instance with these values makes of `input`.
std::vector<uint32_t> fresh_output(unsigned w, unsigned h, const std::vector<double>& values,
                                   const std::vector<uint32_t>& input) {
  Instance fresh(w, h);
  require(fresh.handle != nullptr, "a second instance of the same size constructs");
  for (int i = 0; i < static_cast<int>(values.size()); ++i) {
    double v = values[i];
    f0r_set_param_value(fresh.handle, &v, i);
  }
  std::vector<uint32_t> out(input.size());
  f0r_update(fresh.handle, 0.0, input.data(), out.data());
  return out;
}

void update_and_check(f0r_instance_t instance, unsigned w, unsigned h, bool in_place,
                      std::vector<uint32_t>& frame, int count) {
  const std::vector<uint32_t> input = frame;
  std::vector<uint32_t> out_of_place;
  if (in_place) {
    f0r_update(instance, 12345.678, frame.data(), frame.data());
  } else {
    out_of_place.resize(frame.size());
    f0r_update(instance, std::numeric_limits<double>::quiet_NaN(), frame.data(),
               out_of_place.data());
    require(frame == input, "an update leaves a separate input frame as it was");
    frame = out_of_place;
  }
  const std::vector<uint32_t> expected = fresh_output(w, h, values_of(instance, count), input);
  require(frame == expected, "a frame equals a fresh instance's with the same parameters");
  for (size_t i = 0; i < frame.size(); ++i) {
    require((frame[i] ^ input[i]) >> 24 == 0, "the input's alpha is kept");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (f0r_init() != 1) qnr_fuzz::fail("f0r_init succeeds");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const int count = parameter_count();
  // A size that is only constructed and given parameters: any two numbers.
  const bool huge = in.ConsumeProbability<float>() < 0.1f;
  unsigned w, h;
  if (huge) {
    w = in.ConsumeIntegral<unsigned>();
    h = in.ConsumeIntegral<unsigned>();
  } else {
    w = in.ConsumeIntegralInRange(0, kMaxSide);
    h = in.ConsumeIntegralInRange(0, kMaxSide);
    if (size_t{w} * h > kMaxPixels) h = static_cast<unsigned>(kMaxPixels / w);
  }
  Instance instance(w, h);
  require(instance.handle != nullptr || huge, "an instance of a frame size constructs");
  if (instance.handle == nullptr) return 0;

  // The pixels from the front of the input, the steps from its end.
  const std::vector<uint8_t> pool = in.ConsumeBytes<uint8_t>(in.remaining_bytes() / 2);
  std::vector<uint32_t> frame = qnr_fuzz::pixels_from(pool, 0, huge ? 0 : size_t{w} * h);
  const int steps = in.ConsumeIntegralInRange(1, kMaxSteps);
  for (int s = 0; s < steps; ++s) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0: {
        double v = fuzzed_value(in);
        f0r_set_param_value(instance.handle, &v, in.ConsumeIntegralInRange(-2, count + 1));
        break;
      }
      case 1: {
        f0r_param_info_t info{};
        f0r_get_param_info(&info, in.ConsumeIntegralInRange(-2, count + 1));
        values_of(instance.handle, count);
        break;
      }
      default:
        if (!huge) update_and_check(instance.handle, w, h, in.ConsumeBool(), frame, count);
        break;
    }
  }
  return 0;
}
