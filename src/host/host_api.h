// The records a VirtualDub-style host hands to a video-filter module, declared
// with the layout the real 64-bit host uses. Only fixed-width integers are used:
// `long` is 32 bits on Win64 but 64 on Linux, and would move every field after it.
// The static_asserts pin each offset the module (or our own hosts) rely on.
#pragma once

#include <cstddef>
#include <cstdint>

struct FilterDefinition;
struct FilterActivation;
struct HostFunctions;
struct ScriptValue;

// Window handles and the module record are opaque to the module.
using HostWindow = void*;
using HostModuleRecord = void;

using FilterInitProc = int (*)(FilterActivation*, const HostFunctions*);
using FilterDeinitProc = void (*)(FilterActivation*, const HostFunctions*);
using FilterRunProc = int (*)(const FilterActivation*, const HostFunctions*);
using FilterParamProc = uint32_t (*)(FilterActivation*, const HostFunctions*);
using FilterConfigProc = int (*)(FilterActivation*, const HostFunctions*, HostWindow parent);
using FilterStringProc = void (*)(const FilterActivation*, const HostFunctions*, char* buffer);
using FilterStartProc = int (*)(FilterActivation*, const HostFunctions*);
using FilterEndProc = int (*)(FilterActivation*, const HostFunctions*);
using FilterScriptStringProc = bool (*)(FilterActivation*, const HostFunctions*, char* buffer,
                                        int32_t length);
using FilterString2Proc = void (*)(const FilterActivation*, const HostFunctions*, char* buffer,
                                   int32_t length);

// Script command handler: (interpreter, activation record, arguments, argument count).
using ScriptHandlerProc = void (*)(void* interpreter, void* activation, const ScriptValue* args,
                                   int32_t count);

// A row of the script function table; the table ends with an all-empty row.
struct ScriptFunctionRow {
  ScriptHandlerProc handler;
  const char* name;
  const char* signature;  // first character is the result kind, then one per argument
};
static_assert(sizeof(ScriptFunctionRow) == 24);

struct ScriptObject {
  void* lookup;  // reserved
  const ScriptFunctionRow* functions;
  void* objects;  // reserved
};
static_assert(sizeof(ScriptObject) == 24);
static_assert(offsetof(ScriptObject, functions) == 8);

// One script argument as the host lays it out for a handler.
struct ScriptValue {
  enum : int32_t { kVoid = 0, kInt = 1, kString = 3, kLong = 9, kDouble = 10 };
  int32_t type;
  uint32_t reserved_padding;
  void* this_object;  // left uninitialised by the host; never read
  union {
    int32_t as_int;  // the upper four bytes are undefined for an int
    int64_t as_long;
    double as_double;
    char** as_string;
  } value;
};
static_assert(sizeof(ScriptValue) == 24);
static_assert(offsetof(ScriptValue, value) == 16);

// The host's function table, second argument of every callback.
struct HostFunctions {
  FilterDefinition* (*add_filter)(HostModuleRecord* module, FilterDefinition* definition,
                                  int32_t length);
  void (*remove_filter)(FilterDefinition* definition);
  bool (*is_fpu_enabled)();
  bool (*is_mmx_enabled)();
  void (*init_vtables)(void* record);
  void (*throw_out_of_memory)();
  void (*throw_error)(const char* format, ...);
  uint32_t (*get_cpu_flags)();
  uint32_t (*get_host_version_info)(char* buffer, int32_t length);
};
static_assert(sizeof(HostFunctions) == 72);
static_assert(offsetof(HostFunctions, remove_filter) == 8);

// The filter definition as registered through add_filter: exactly the 208-byte
// record of interface version 14. Later hosts copy min(their size, 208) bytes.
struct FilterDefinition {
  FilterDefinition* next;  // host-owned
  FilterDefinition* prev;  // host-owned
  void* module;            // host-owned
  const char* name;
  const char* desc;
  const char* maker;
  void* private_data;
  int32_t inst_data_size;
  FilterInitProc init;
  FilterDeinitProc deinit;
  FilterRunProc run;
  FilterParamProc param;
  FilterConfigProc config;
  FilterStringProc string;
  FilterStartProc start;
  FilterEndProc end;
  const ScriptObject* script_obj;
  FilterScriptStringProc script_string;
  FilterString2Proc string2;
  void* serialize;
  void* deserialize;
  void* copy;
  void* prefetch;
  void* copy2;
  void* prefetch2;
  void* event;
};
inline constexpr int32_t kFilterDefinitionSize = 208;
static_assert(sizeof(FilterDefinition) == kFilterDefinitionSize);
static_assert(offsetof(FilterDefinition, name) == 24);
static_assert(offsetof(FilterDefinition, inst_data_size) == 56);
static_assert(offsetof(FilterDefinition, init) == 64);
static_assert(offsetof(FilterDefinition, run) == 80);
static_assert(offsetof(FilterDefinition, config) == 96);
static_assert(offsetof(FilterDefinition, string) == 104);
static_assert(offsetof(FilterDefinition, start) == 112);
static_assert(offsetof(FilterDefinition, end) == 120);
static_assert(offsetof(FilterDefinition, script_obj) == 128);
static_assert(offsetof(FilterDefinition, script_string) == 136);
static_assert(offsetof(FilterDefinition, event) == 200);

// A frame buffer as the host describes it. The first slot is the host's own
// vtable pointer: never read or called. Rows are `pitch` bytes apart and the
// pitch may be negative (a top-down buffer).
struct HostBitmap {
  void* reserved_vtable;
  uint32_t* data;
  uint32_t* palette;
  int32_t depth;
  int32_t w;
  int32_t h;
  int32_t reserved_padding;
  int64_t pitch;
  int64_t modulo;
  int64_t size;
  int64_t offset;
};
static_assert(sizeof(HostBitmap) == 72);
static_assert(offsetof(HostBitmap, data) == 8);
static_assert(offsetof(HostBitmap, w) == 28);
static_assert(offsetof(HostBitmap, h) == 32);
static_assert(offsetof(HostBitmap, pitch) == 40);

// The host's preview window, a C++ interface with no destructor slots. The
// module calls it by vtable slot, which is the same on every x64 compiler:
// slot n is the n-th pointer of the table, and the object comes first.
struct PreviewInterface {
  void* const* vtable;
};
enum PreviewSlot : int {
  kPreviewToggle = 3,      // (window): show or hide the preview
  kPreviewRedoFrame = 5,   // (): render the current frame again
  kPreviewInitButton = 8,  // (button window): bind the dialog's preview button
};

// The per-callback activation record. dst comes before src.
struct FilterActivation {
  const FilterDefinition* filter;
  void* filter_data;
  HostBitmap* dst;
  HostBitmap* src;
  HostBitmap* reserved0;
  const HostBitmap* last;
  uint32_t x1, y1, x2, y2;
  void* state_info;
  PreviewInterface* preview;
  PreviewInterface* preview2;
  uint32_t source_frame_count;
  uint32_t reserved_padding;
  void* source_frames;
  void* output_frames;
  void* accel_context;
  uint32_t source_stream_count;
  uint32_t reserved_padding2;
  void* source_streams;
};
static_assert(sizeof(FilterActivation) == 136);
static_assert(offsetof(FilterActivation, filter_data) == 8);
static_assert(offsetof(FilterActivation, dst) == 16);
static_assert(offsetof(FilterActivation, src) == 24);
static_assert(offsetof(FilterActivation, state_info) == 64);
static_assert(offsetof(FilterActivation, preview) == 72);

// Interface versions the module declares to the host: written for 14, runs on 8 and up.
inline constexpr int32_t kFilterInterfaceVersion = 14;
inline constexpr int32_t kFilterInterfaceCompatible = 8;
