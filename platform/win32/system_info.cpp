// GetSystemInfo for systems without Win32: the processor count is the number of
// processors the process may run on, as Windows reports for an unrestricted process.
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "win32_standin_testing.h"

namespace {
std::atomic<DWORD> processor_count_override{0};

DWORD processors_available() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<DWORD>(count);
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<DWORD>(online) : 1;
}
}  // namespace

QNR_WIN32_API void GetSystemInfo(SYSTEM_INFO* info) {
  std::memset(info, 0, sizeof *info);
  info->wProcessorArchitecture = 9;  // x64
  info->dwPageSize = static_cast<DWORD>(sysconf(_SC_PAGESIZE));
  info->dwAllocationGranularity = 65536;
  const DWORD forced = processor_count_override.load();
  info->dwNumberOfProcessors = forced != 0 ? forced : processors_available();
  info->dwActiveProcessorMask = info->dwNumberOfProcessors >= 64
                                    ? ~DWORD_PTR{0}
                                    : (DWORD_PTR{1} << info->dwNumberOfProcessors) - 1;
}

QNR_WIN32_API void qnr_standin_set_processor_count(DWORD count) {
  processor_count_override = count;
}
