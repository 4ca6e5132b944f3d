// Versions of the CPU routines and the choice among them.
//
// Every routine with optimised versions keeps its plain one as the reference;
// an optimised version gives the same bits on every input. The module picks the
// best version that this CPU and its operating system support once per process;
// tests and benchmarks may run any available version directly, or cap the
// dispatcher at a lower one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

enum class CpuVersion : int32_t {
  plain = 0,   // portable C++, any x86-64 (SSE2 doubles) or other target
  sse41 = 1,   // SSE4.1: 8 pixels per step
  avx2 = 2,    // AVX2: 16 pixels per step
  avx512 = 3,  // AVX-512 F + BW: 32 pixels per step
};

// One per enumerator: they are numbered from zero, lowest first.
inline constexpr size_t kCpuVersionCount = static_cast<size_t>(CpuVersion::avx512) + 1;

// Every version this source knows, lowest first.
std::span<const CpuVersion> all_cpu_versions();

const char* cpu_version_name(CpuVersion version);

// True when this build holds the version and this CPU and OS can run it.
// The plain version is always available.
bool cpu_version_available(CpuVersion version);

// The highest available version; detected once per process.
CpuVersion best_cpu_version();

// Caps the version the dispatchers use (as a CPU mask would); the default cap
// is the best version. The dispatchers then use the highest available version
// not above the cap.
void limit_cpu_version(CpuVersion cap);

// The version the dispatchers use now.
CpuVersion active_cpu_version();

// What the CPU reports, for tests and benchmark labels.
struct CpuFeatures {
  bool sse41 = false;
  bool avx2 = false;    // CPU flag and the OS saves YMM state
  bool avx512 = false;  // F and BW, and the OS saves opmask and ZMM state
};
CpuFeatures detect_cpu_features();
