#include "core/cpu_routines.h"

#include <array>

#include "core/simd_versions.h"

namespace {

// Each version's own entries; null where this build has none.
constexpr std::array<CpuRoutines, kCpuVersionCount> kOwnRoutines = {{
    {cpu_filter_frame_plain, cpu_luma_plane_plain},
#if QNR_X86_SIMD
    {cpu_filter_frame_sse41, cpu_luma_plane_sse41},
    {cpu_filter_frame_avx2, cpu_luma_plane_avx2},
    {cpu_filter_frame_avx512, cpu_luma_plane_avx512},
#else
    {nullptr, nullptr},
    {nullptr, nullptr},
    {nullptr, nullptr},
#endif
}};

// Entry v: the routines in use under cap v.
using CappedTables = std::array<CpuRoutines, kCpuVersionCount>;

CappedTables fill_tables() {
  CappedTables tables{};
  CpuRoutines routines = kOwnRoutines[0];
  for (CpuVersion v : all_cpu_versions()) {
    const size_t index = static_cast<size_t>(v);
    if (cpu_version_available(v)) {
      const CpuRoutines& own = kOwnRoutines[index];
      if (own.filter_frame != nullptr) routines.filter_frame = own.filter_frame;
      if (own.luma_plane != nullptr) routines.luma_plane = own.luma_plane;
    }
    tables[index] = routines;
  }
  return tables;
}

const CappedTables& capped_tables() {
  static const CappedTables tables = fill_tables();
  return tables;
}

}  // namespace

const CpuRoutines& active_cpu_routines() {
  return capped_tables()[static_cast<size_t>(active_cpu_version())];
}

const CpuRoutines* cpu_routines_of(CpuVersion version) {
  if (!cpu_version_available(version)) return nullptr;
  return &kOwnRoutines[static_cast<size_t>(version)];
}
