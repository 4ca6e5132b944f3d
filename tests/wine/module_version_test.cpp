// The module's version resource as Explorer's Properties > Details reads it,
// and the module loading and registering its filter as a host does. By default
// the build's module; QNR_MODULE_UNDER_TEST names another copy, such as the
// one unpacked from the release archive.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "qnr_version.h"
#include "vdhost.h"

namespace {

std::string module_path() {
  const char* path = std::getenv("QNR_MODULE_UNDER_TEST");
  return path != nullptr && *path != '\0' ? path : QNR_MODULE_PATH;
}

class VersionResource : public ::testing::Test {
 protected:
  void SetUp() override {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(module_path().c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version resource in " << module_path();
    data_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoA(module_path().c_str(), 0, size, data_.data()));
  }
  std::string text(const std::string& name) {
    void* value = nullptr;
    UINT length = 0;
    const std::string key = "\\StringFileInfo\\040904B0\\" + name;
    if (!VerQueryValueA(data_.data(), key.c_str(), &value, &length) || value == nullptr) {
      return "(missing)";
    }
    return static_cast<const char*>(value);
  }
  std::vector<char> data_;
};

TEST_F(VersionResource, NumbersAreTheProjectsVersion) {
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(data_.data(), "\\", &value, &length));
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  const DWORD high = MAKELONG(QNR_VERSION_MINOR, QNR_VERSION_MAJOR);
  const DWORD low = MAKELONG(0, QNR_VERSION_PATCH);
  EXPECT_EQ(fixed->dwFileVersionMS, high);
  EXPECT_EQ(fixed->dwFileVersionLS, low);
  EXPECT_EQ(fixed->dwProductVersionMS, high);
  EXPECT_EQ(fixed->dwProductVersionLS, low);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
}

TEST_F(VersionResource, TextsNameTheFilterItsVersionAndItsTerms) {
  const std::string version = QNR_VERSION_TEXT;
  const struct {
    const char* name;
    std::string expected;
  } rows[] = {
      {"FileDescription", "QNR " + version + " CUDA (x64)"},
      {"FileVersion", version},
      {"ProductVersion", version},
      {"ProductName", "QNR"},
      {"OriginalFilename", "QNR_CUDA.vdf"},
      {"LegalCopyright", "Copyright (c) 2026 The QNR developers (MIT License)"},
  };
  for (const auto& row : rows) EXPECT_EQ(text(row.name), row.expected) << row.name;
}

TEST(ModuleUnderTest, LoadsAndRegistersItsFilter) {
  std::string error;
  auto module = vdhost::FilterModule::load(module_path(), error);
  ASSERT_NE(module, nullptr) << module_path() << ": " << error;
  ASSERT_EQ(module->initialise(), 0);
  ASSERT_NE(module->filter(), nullptr);
  EXPECT_STREQ(module->filter()->name, QNR_FILTER_NAME);
  vdhost::FilterInstance instance(*module, *module->filter());
  ASSERT_EQ(instance.init(), 0);
  vdhost::Bitmap src(37, 21), dst(37, 21);
  ASSERT_EQ(instance.start(src, dst), 0);
  EXPECT_EQ(instance.run(src, dst), 0);
  EXPECT_EQ(instance.end(), 0);
}

}  // namespace
