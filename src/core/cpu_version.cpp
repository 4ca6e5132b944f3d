#include "core/cpu_version.h"

#include <array>
#include <atomic>

#include "core/simd_target.h"

#if QNR_X86_SIMD
#include <cpuid.h>
#endif

namespace {

constexpr std::array<CpuVersion, kCpuVersionCount> kVersions = [] {
  std::array<CpuVersion, kCpuVersionCount> all{};
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<CpuVersion>(i);
  return all;
}();

#if QNR_X86_SIMD
// XCR0, the register in which the OS states which register files it saves on a
// context switch. Read with the raw opcode so no target attribute is needed.
uint64_t read_xcr0() {
  uint32_t eax = 0, edx = 0;
  __asm__ volatile(".byte 0x0f, 0x01, 0xd0" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<uint64_t>(edx) << 32) | eax;
}
#endif

std::atomic<int32_t> version_cap{static_cast<int32_t>(kVersions.back())};

}  // namespace

CpuFeatures detect_cpu_features() {
  CpuFeatures features;
#if QNR_X86_SIMD
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return features;
  features.sse41 = (ecx & (1u << 19)) != 0;  // XMM state is always saved on x86-64
  const bool osxsave = (ecx & (1u << 27)) != 0;
  const bool avx = (ecx & (1u << 28)) != 0;
  if (!osxsave || !avx) return features;
  const uint64_t xcr0 = read_xcr0();
  const bool os_saves_ymm = (xcr0 & 0x6) == 0x6;                    // SSE and AVX state
  const bool os_saves_zmm = os_saves_ymm && (xcr0 & 0xE0) == 0xE0;  // opmask, ZMM_Hi256, Hi16_ZMM
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return features;
  const bool avx2 = (ebx & (1u << 5)) != 0;
  const bool avx512f = (ebx & (1u << 16)) != 0;
  const bool avx512bw = (ebx & (1u << 30)) != 0;
  features.avx2 = features.sse41 && avx2 && os_saves_ymm;
  features.avx512 = features.avx2 && avx512f && avx512bw && os_saves_zmm;
#endif
  return features;
}

std::span<const CpuVersion> all_cpu_versions() { return kVersions; }

const char* cpu_version_name(CpuVersion version) {
  switch (version) {
    case CpuVersion::plain: return "plain";
    case CpuVersion::sse41: return "sse41";
    case CpuVersion::avx2: return "avx2";
    case CpuVersion::avx512: return "avx512";
  }
  return "unknown";
}

bool cpu_version_available(CpuVersion version) {
  static const CpuFeatures features = detect_cpu_features();
  switch (version) {
    case CpuVersion::plain: return true;
    case CpuVersion::sse41: return QNR_X86_SIMD != 0 && features.sse41;
    case CpuVersion::avx2: return QNR_X86_SIMD != 0 && features.avx2;
    case CpuVersion::avx512: return QNR_X86_SIMD != 0 && features.avx512;
  }
  return false;
}

CpuVersion best_cpu_version() {
  static const CpuVersion best = [] {
    CpuVersion found = CpuVersion::plain;
    for (CpuVersion v : kVersions) {
      if (cpu_version_available(v)) found = v;
    }
    return found;
  }();
  return best;
}

void limit_cpu_version(CpuVersion cap) {
  version_cap.store(static_cast<int32_t>(cap), std::memory_order_relaxed);
}

CpuVersion active_cpu_version() {
  const int32_t cap = version_cap.load(std::memory_order_relaxed);
  CpuVersion chosen = CpuVersion::plain;
  for (CpuVersion v : kVersions) {
    if (static_cast<int32_t>(v) <= cap && cpu_version_available(v)) {
      chosen = v;
    }
  }
  return chosen;
}
