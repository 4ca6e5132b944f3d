// What `qnr --version` reports of a module: the GPU code found in its file's
// bytes, and the CPU routine.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "core/cpu_version.h"
#include "hosting/module_build.h"

namespace {

using Bytes = std::vector<unsigned char>;

template <class T> void put(Bytes& bytes, size_t at, T value) {
  if (bytes.size() < at + sizeof value) bytes.resize(at + sizeof value);
  std::memcpy(bytes.data() + at, &value, sizeof value);
}

// A fatbin as nvcc lays it out: header, then entries of (kind, architecture)
// with `payload` bytes each.
Bytes fatbin(const std::vector<std::pair<uint16_t, uint32_t>>& entries, uint64_t payload = 8) {
  Bytes bytes;
  put<uint32_t>(bytes, 0, 0xBA55ED50u);
  put<uint16_t>(bytes, 4, 1);
  put<uint16_t>(bytes, 6, 16);
  put<uint64_t>(bytes, 8, entries.size() * (64 + payload));
  for (const auto& [kind, arch] : entries) {
    const size_t at = bytes.size();
    put<uint16_t>(bytes, at, kind);
    put<uint32_t>(bytes, at + 4, 64);
    put<uint64_t>(bytes, at + 8, payload);
    put<uint32_t>(bytes, at + 28, arch);
    bytes.resize(at + 64 + payload);
  }
  return bytes;
}

Bytes junk_then(const Bytes& tail) {
  Bytes bytes(1000, 0x50);  // the magic's first byte, again and again
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  return bytes;
}

TEST(GpuCode, FoundInTheModulesBytesOnlyWhenWellFormed) {
  const Bytes valid = fatbin({{2, 75}, {2, 120}, {1, 75}});
  Bytes truncated = valid;
  truncated.resize(valid.size() - 1);
  Bytes bad_kind = valid;
  put<uint16_t>(bad_kind, 16, 7);
  Bytes false_then_real = fatbin({});  // a header announcing nothing, then a real one
  put<uint64_t>(false_then_real, 8, 1000);
  false_then_real.insert(false_then_real.end(), valid.begin(), valid.end());
  const struct {
    const char* name;
    Bytes bytes;
    bool present;
  } rows[] = {
      {"nothing", Bytes(4096, 0), false},
      {"after junk", junk_then(valid), true},
      {"truncated", junk_then(truncated), false},
      {"unknown entry kind", bad_kind, false},
      {"a false header first", false_then_real, true},
  };
  for (const auto& row : rows) {
    const qnr::GpuCode code = qnr::find_gpu_code(row.bytes.data(), row.bytes.size());
    EXPECT_EQ(code.present, row.present) << row.name;
    if (row.present) {
      EXPECT_EQ(code.machine_code, (std::vector<unsigned>{75, 120})) << row.name;
      EXPECT_EQ(code.ptx, (std::vector<unsigned>{75})) << row.name;
    }
  }
}

TEST(GpuCode, DescribedInOneLine) {
  EXPECT_EQ(qnr::describe_gpu_code({true, {75, 86}, {75}}),
            "machine code sm_75 sm_86, PTX compute_75");
  EXPECT_EQ(qnr::describe_gpu_code({}).rfind("none", 0), 0u);
}

TEST(GpuCode, TheBuiltModuleCarriesWhatThisBuildCompiled) {
  const qnr::GpuCode code = qnr::find_gpu_code(QNR_MODULE_PATH);
#if defined(QNR_HAVE_KERNEL_IMAGE)
  ASSERT_TRUE(code.present);
  EXPECT_EQ(code.machine_code.front(), 75u);
  EXPECT_EQ(code.ptx, (std::vector<unsigned>{75}));
#else
  EXPECT_FALSE(code.present);
#endif
}

TEST(CpuRoutine, NamesTheDispatchersChoice) {
  EXPECT_EQ(qnr::describe_cpu_routine().rfind(cpu_version_name(best_cpu_version()), 0), 0u);
}

}  // namespace
