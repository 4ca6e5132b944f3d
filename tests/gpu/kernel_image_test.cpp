// The embedded kernel image holds machine code for every GPU generation the
// build lists and PTX that later GPUs compile: read from the fatbin's own
// table of contents, as the driver reads it.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "fatbin.h"
#include "gpu/kernel_image.h"

namespace {

using gpu_test::FatbinEntry;

TEST(KernelImage, CarriesEveryListedMachineCodeAndThePtx) {
#if !defined(QNR_HAVE_KERNEL_IMAGE)
  GTEST_SKIP() << "built without nvcc: no kernel image";
#else
  const auto entries = gpu_test::fatbin_entries(qnr_kernel_image.data, qnr_kernel_image.size);
  ASSERT_TRUE(entries.has_value()) << "the embedded image is not a well-formed fatbin";
  const auto holds = [&](bool ptx, unsigned arch) {
    return std::any_of(entries->begin(), entries->end(),
                       [&](const FatbinEntry& e) { return e.ptx == ptx && e.arch == arch; });
  };
  for (const unsigned arch : std::vector<unsigned>{QNR_SASS_ARCHS}) {
    EXPECT_TRUE(holds(false, arch)) << "no machine code for sm_" << arch;
  }
  EXPECT_TRUE(holds(true, QNR_PTX_ARCH)) << "no PTX for compute_" << QNR_PTX_ARCH;
#endif
}

TEST(KernelImage, ReaderRejectsWhatIsNotAFatbin) {
  const unsigned char junk[32] = {0x50, 0xED, 0x55, 0xBA, 1, 0, 16, 0, 0xFF, 0xFF};
  EXPECT_FALSE(gpu_test::fatbin_entries(junk, sizeof junk).has_value());  // body beyond the end
  EXPECT_FALSE(gpu_test::fatbin_entries(junk + 1, 16).has_value());       // no magic
  EXPECT_FALSE(gpu_test::fatbin_entries(nullptr, 0).has_value());
}

}  // namespace
