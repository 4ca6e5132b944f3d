// A test fixture that binds the runtime operations to the fake driver, freshly
// for every test, and checks on the way out that nothing misused it.
#pragma once

#include <gtest/gtest.h>

#include "fake_driver.h"
#include "gpu/device_operations_testing.h"

namespace gpu_test {

// Stands in for the module's image: the fake driver accepts any bytes.
inline constexpr unsigned char kFakeImage[] = "fake kernel image";

class FakeDriverTest : public testing::Test {
 protected:
  fake_cuda::FakeDriver& fake = fake_cuda::driver();

  void SetUp() override {
    fake.reset();
    cuda_use_driver_for_testing(
        &fake_cuda::driver_table(),
        KernelImage{kFakeImage, sizeof kFakeImage, fake_cuda::kDefaultDriverVersion});
  }
  void TearDown() override {
    for (const std::string& v : fake.violations) ADD_FAILURE() << "driver misuse: " << v;
    cuda_use_driver_for_testing(nullptr, KernelImage{});
    fake.reset();
  }
};

}  // namespace gpu_test
