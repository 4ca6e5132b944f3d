// Headless stand-in for the subset of USER32 and KERNEL32 that the module uses,
// for builds on systems without Win32. Types and constants carry their Win32
// names and x64 sizes so the module's code reads the same on both.
#pragma once

#include <cstdint>

#if defined(QNR_WIN32_BUILDING)
#define QNR_WIN32_API extern "C" __attribute__((visibility("default")))
#else
#define QNR_WIN32_API extern "C"
#endif

using BOOL = int32_t;
using DWORD = uint32_t;
using WORD = uint16_t;
using UINT = uint32_t;
using LONG = int32_t;
using WPARAM = uint64_t;
using LPARAM = int64_t;
using LRESULT = int64_t;
using INT_PTR = int64_t;
using LONG_PTR = int64_t;
using DWORD_PTR = uint64_t;
using LPVOID = void*;
using LPCSTR = const char*;
using HANDLE = void*;
struct HWND__;
using HWND = HWND__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

struct SYSTEM_INFO {
  WORD wProcessorArchitecture;
  WORD wReserved;
  DWORD dwPageSize;
  LPVOID lpMinimumApplicationAddress;
  LPVOID lpMaximumApplicationAddress;
  DWORD_PTR dwActiveProcessorMask;
  DWORD dwNumberOfProcessors;
  DWORD dwProcessorType;
  DWORD dwAllocationGranularity;
  WORD wProcessorLevel;
  WORD wProcessorRevision;
};

// Fills the record; dwNumberOfProcessors is the number of processors this
// process may run on.
QNR_WIN32_API void GetSystemInfo(SYSTEM_INFO* info);
