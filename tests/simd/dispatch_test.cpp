// The choice of version: what the CPU reports, what the dispatchers use, and
// that a cap forces a lower version as a CPU mask would.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/cpu_luma_plane.h"
#include "core/cpu_routines.h"
#include "core/cpu_version.h"
#include "core/frame_filter.h"
#include "core/simd_target.h"
#include "support/filter_call.h"

namespace {

// Restores the dispatch cap when a test ends.
struct CapGuard {
  ~CapGuard() { limit_cpu_version(all_cpu_versions().back()); }
};

TEST(CpuDispatch, FeaturesAgreeWithTheCompilersOwnDetection) {
#if QNR_X86_SIMD
  __builtin_cpu_init();
  const CpuFeatures features = detect_cpu_features();
  EXPECT_EQ(features.sse41, __builtin_cpu_supports("sse4.1") != 0);
  EXPECT_EQ(features.avx2, __builtin_cpu_supports("avx2") != 0);
  EXPECT_EQ(features.avx512,
            __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0);
#else
  GTEST_SKIP() << "no x86 SIMD versions in this build";
#endif
}

TEST(CpuDispatch, PlainIsAlwaysAvailableAndBestIsTheHighestAvailable) {
  EXPECT_TRUE(cpu_version_available(CpuVersion::plain));
  const CpuRoutines* plain = cpu_routines_of(CpuVersion::plain);
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->filter_frame, &cpu_filter_frame_plain);
  EXPECT_EQ(plain->luma_plane, &cpu_luma_plane_plain);
  const CpuVersion best = best_cpu_version();
  EXPECT_TRUE(cpu_version_available(best));
  for (CpuVersion v : all_cpu_versions()) {
    if (static_cast<int32_t>(v) > static_cast<int32_t>(best)) {
      EXPECT_FALSE(cpu_version_available(v));
    }
    // A version this CPU cannot run is never handed out.
    EXPECT_EQ(cpu_routines_of(v) != nullptr, cpu_version_available(v)) << cpu_version_name(v);
  }
  std::printf("best CPU version: %s\n", cpu_version_name(best));
}

// Set by the runs on emulated CPUs, which know what the CPU offers.
TEST(CpuDispatch, BestVersionIsTheOneTheEmulatedCpuAllows) {
  const char* expected = std::getenv("QNR_EXPECTED_BEST_CPU_VERSION");
  if (expected == nullptr) GTEST_SKIP() << "only checked on an emulated CPU";
  EXPECT_STREQ(cpu_version_name(best_cpu_version()), expected);
}

TEST(CpuDispatch, CapSelectsTheHighestAvailableVersionNotAboveIt) {
  CapGuard guard;
  EXPECT_EQ(active_cpu_version(), best_cpu_version());
  for (CpuVersion cap : all_cpu_versions()) {
    limit_cpu_version(cap);
    const CpuVersion active = active_cpu_version();
    EXPECT_LE(static_cast<int32_t>(active), static_cast<int32_t>(cap));
    EXPECT_TRUE(cpu_version_available(active));
    // The dispatch table holds the active version's own routines.
    const CpuRoutines* own = cpu_routines_of(active);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(active_cpu_routines().filter_frame, own->filter_frame);
    EXPECT_EQ(active_cpu_routines().luma_plane, own->luma_plane);
    if (cpu_version_available(cap)) {
      EXPECT_EQ(active, cap);
    }
  }
}

TEST(CpuDispatch, DispatchersGiveThePlainResultUnderEveryCap) {
  CapGuard guard;
  constexpr int32_t kWidth = 70, kRows = 9;
  std::vector<uint32_t> src(kWidth * kRows);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint32_t>(i * 2654435761u);
  std::vector<uint8_t> luma(src.size()), plain_luma(src.size());
  cpu_luma_plane_plain(src.data(), plain_luma.data(), src.size());

  std::vector<uint32_t> expected(src.size());
  testing_frames::FilterCall call(src.data(), expected.data(), plain_luma.data(), kWidth, kRows);
  CpuFilterArgs& args = call.args;
  cpu_filter_frame_plain(args);

  for (CpuVersion cap : all_cpu_versions()) {
    limit_cpu_version(cap);
    cpu_luma_plane(src.data(), luma.data(), src.size());
    EXPECT_EQ(luma, plain_luma) << cpu_version_name(cap);
    std::vector<uint32_t> actual(src.size());
    args.dst = actual.data();
    cpu_filter_frame(args);
    EXPECT_EQ(actual, expected) << cpu_version_name(cap);
  }
}

}  // namespace
