// qnr.so through a frei0r host of our own, compared with the module run
// through our VirtualDub-style host, and under the call patterns real frei0r
// hosts use.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <thread>

#include "frei0r_host.h"
#include "module_reference.h"

namespace frei0r_testing {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kDefaults[5] = {0.70, 0.70, 2.0 / 6.0, 0.0, 0.0};

const Frei0rPlugin& plugin() {
  static const std::unique_ptr<Frei0rPlugin> loaded = [] {
    std::string error;
    auto p = Frei0rPlugin::open(QNR_FREI0R_PLUGIN, error);
    if (!p) ADD_FAILURE() << error;
    return p;
  }();
  return *loaded;
}

ModuleReference& module() {
  static const std::unique_ptr<ModuleReference> loaded = [] {
    std::string error;
    auto m = ModuleReference::load(QNR_MODULE_PATH, error);
    if (!m) ADD_FAILURE() << error;
    return m;
  }();
  return *loaded;
}

// Random pixels, alpha included: qnr.so must hand alpha back unchanged.
std::vector<uint32_t> random_frames(int width, int height, int frames, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint32_t> out(size_t(width) * height * frames);
  for (auto& px : out) px = rng();
  return out;
}

class Frei0rPluginTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(plugin().init(), 1); }
};

TEST_F(Frei0rPluginTest, DescribesAFilterWithFiveParametersInHostOrder) {
  f0r_plugin_info_t info{};
  plugin().get_plugin_info(&info);
  EXPECT_STREQ(info.name, "qnr");
  EXPECT_EQ(info.plugin_type, F0R_PLUGIN_TYPE_FILTER);
  EXPECT_EQ(info.color_model, F0R_COLOR_MODEL_BGRA8888);
  EXPECT_EQ(info.frei0r_version, FREI0R_MAJOR_VERSION);
  ASSERT_EQ(info.num_params, 5);

  const struct {
    const char* name;
    int type;
  } expected[5] = {{"f1", F0R_PARAM_DOUBLE},
                   {"f2", F0R_PARAM_DOUBLE},
                   {"sharp", F0R_PARAM_DOUBLE},
                   {"interlace", F0R_PARAM_BOOL},
                   {"show noise", F0R_PARAM_BOOL}};
  Frei0rInstance instance(plugin(), 16, 16);
  for (int i = 0; i < 5; ++i) {
    f0r_param_info_t param{};
    plugin().get_param_info(&param, i);
    EXPECT_STREQ(param.name, expected[i].name);
    EXPECT_EQ(param.type, expected[i].type) << param.name;
    EXPECT_DOUBLE_EQ(instance.get(i), kDefaults[i]) << param.name;
  }
}

TEST_F(Frei0rPluginTest, KeepsParametersClampedWithNaNAsTheDefault) {
  const struct {
    int index;
    double given, kept;
  } cases[] = {{0, -0.5, 0.0},       {0, 1.5, 1.0},   {0, kNaN, 0.70},
               {1, INFINITY, 1.0},   {1, 0.42, 0.42}, {2, -INFINITY, 0.0},
               {2, kNaN, 2.0 / 6.0}, {3, 7.0, 1.0},   {4, kNaN, 0.0}};
  Frei0rInstance instance(plugin(), 8, 8);
  for (const auto& c : cases) {
    instance.set(c.index, c.given);
    EXPECT_DOUBLE_EQ(instance.get(c.index), c.kept) << "parameter " << c.index << " = " << c.given;
  }
}

// Each row: frame size, the five frei0r values, the module settings they mean.
struct MatchCase {
  int width, height;
  double values[5];
  ModuleSettings settings;
};

void PrintTo(const MatchCase& c, std::ostream* os) {
  *os << c.width << "x" << c.height << " {" << c.values[0] << "," << c.values[1] << ","
      << c.values[2] << "," << c.values[3] << "," << c.values[4] << "}";
}

class Frei0rMatchesModule : public Frei0rPluginTest,
                            public ::testing::WithParamInterface<MatchCase> {};

TEST_P(Frei0rMatchesModule, FramesAreBitIdenticalToTheModuleInOurHost) {
  const MatchCase& c = GetParam();
  const auto frames = random_frames(c.width, c.height, 3, uint32_t(c.width * 1000 + c.height));
  Frei0rInstance instance(plugin(), c.width, c.height);
  ASSERT_NE(instance.get(), nullptr);
  for (int i = 0; i < 5; ++i) instance.set(i, c.values[i]);
  const auto got = instance.filter(frames, size_t(c.width) * c.height);
  EXPECT_TRUE(got == module().filter(frames, c.width, c.height, c.settings));
}

INSTANTIATE_TEST_SUITE_P(
    SizesAndSettings, Frei0rMatchesModule,
    ::testing::Values(MatchCase{37, 29, {0.70, 0.70, 2.0 / 6.0, 0, 0}, {70, 70, 2, 0, 0}},
                      MatchCase{64, 36, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
                      MatchCase{31, 16, {1, 1, 1, 1, 1}, {100, 100, 6, 1, 1}},
                      MatchCase{20, 33, {kNaN, kNaN, kNaN, kNaN, kNaN}, {70, 70, 2, 0, 0}},
                      MatchCase{33, 20, {-5, 7, INFINITY, -1, 3}, {0, 100, 6, 0, 1}},
                      // Rounding, not truncation: 0.6 -> 1, 99.4 -> 99, 1.5 -> 2; flags at 0.5.
                      MatchCase{18, 18, {0.006, 0.994, 0.25, 0.5, 0.49}, {1, 99, 2, 1, 0}},
                      MatchCase{1, 1, {0.3, 0.6, 0.5, 0, 1}, {30, 60, 3, 0, 1}}),
    [](const ::testing::TestParamInfo<MatchCase>& info) {
      return "case" + std::to_string(info.index) + "_" + std::to_string(info.param.width) + "x" +
             std::to_string(info.param.height);
    });

TEST_F(Frei0rPluginTest, FiltersInPlaceAndIgnoresTime) {
  const int w = 40, h = 22;
  const auto frame = random_frames(w, h, 1, 7);
  Frei0rInstance instance(plugin(), w, h);
  const auto expected = instance.filter(frame, frame.size(), 0.0);
  for (double time : {kNaN, -1e300, double(INFINITY)}) {
    EXPECT_TRUE(instance.filter(frame, frame.size(), time) == expected) << "time " << time;
  }
  std::vector<uint32_t> in_place = frame;
  plugin().update(instance.get(), 0.0, in_place.data(), in_place.data());
  EXPECT_TRUE(in_place == expected);
}

// MLT with `threads` set calls update on one instance from several threads at
// once; each call must still see its own whole frame.
TEST_F(Frei0rPluginTest, ConcurrentUpdatesOnOneInstanceEachGetTheirWholeFrame) {
  const int w = 192, h = 108, threads = 4, rounds = 16;
  Frei0rInstance instance(plugin(), w, h);
  std::vector<std::vector<uint32_t>> inputs, expected;
  for (int t = 0; t < threads; ++t) {
    inputs.push_back(random_frames(w, h, 1, 100 + t));
    expected.push_back(module().filter(inputs[t], w, h, {}));
  }
  std::vector<int> mismatches(threads, 0);
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      std::vector<uint32_t> out(inputs[t].size());
      for (int round = 0; round < rounds; ++round) {
        plugin().update(instance.get(), 0.0, inputs[t].data(), out.data());
        mismatches[t] += out != expected[t];
      }
    });
  }
  for (auto& thread : pool) thread.join();
  for (int t = 0; t < threads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

// ffmpeg: init/deinit per filter, deinit while another instance lives. MLT: no
// deinit, destruction on another thread. GStreamer: two 640x480 instances
// while it scans, never fed. Zero and huge sizes are accepted at construction.
TEST_F(Frei0rPluginTest, SurvivesTheLifeCyclesRealHostsUse) {
  const int w = 24, h = 18;
  const auto frame = random_frames(w, h, 1, 11);
  const auto expected = module().filter(frame, w, h, {});

  auto living = std::make_unique<Frei0rInstance>(plugin(), w, h);
  EXPECT_EQ(plugin().init(), 1);
  plugin().deinit();
  plugin().deinit();
  EXPECT_TRUE(living->filter(frame, frame.size()) == expected);
  std::thread([&] { living.reset(); }).join();

  {
    Frei0rInstance a(plugin(), 640, 480), b(plugin(), 640, 480);
    EXPECT_NE(a.get(), nullptr);
  }
  {
    Frei0rInstance empty(plugin(), 0, 0), huge(plugin(), 1u << 20, 1u << 20);
    EXPECT_NE(empty.get(), nullptr);
    EXPECT_NE(huge.get(), nullptr);
    plugin().update(empty.get(), 0.0, frame.data(), nullptr);
  }
  EXPECT_EQ(plugin().init(), 1);
  Frei0rInstance again(plugin(), w, h);
  EXPECT_TRUE(again.filter(frame, frame.size()) == expected);
}

}  // namespace
}  // namespace frei0r_testing
