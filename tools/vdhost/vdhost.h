// A small host for video-filter modules: it loads a module, registers its
// filters through the module entry and drives instances through the callbacks,
// the script table and the host's records, exactly as a host does. The test
// suite and the command-line tool both use it; neither calls module internals.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "host/host_api.h"

namespace vdhost {

// A shared library opened with dlopen, or LoadLibrary on Windows.
class Library {
 public:
  static std::unique_ptr<Library> open(const std::string& path, std::string& error);
  ~Library();
  void* symbol(const char* name) const;
  const std::string& path() const { return path_; }

 private:
  Library(void* handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  void* handle_;
  std::string path_;
};

struct AddFilterCall {
  void* module_record;
  const FilterDefinition* definition;  // the module's own record
  int32_t length;
};

// One loaded filter module. The host function table it hands out records every
// add-filter and remove-filter call, and keeps its own copy of each definition,
// as real hosts do.
class FilterModule {
 public:
  static std::unique_ptr<FilterModule> load(const std::string& path, std::string& error);
  ~FilterModule();  // module exit if still initialised, then unload

  // Calls the module entry. The version values start as the host's range
  // (highest, lowest), as a real host fills them, and hold the module's after.
  int initialise(int32_t host_highest = 20, int32_t host_lowest = 4);
  void deinitialise();
  bool initialised() const { return initialised_; }

  int32_t version() const { return version_; }
  int32_t compatible_version() const { return compatible_version_; }
  const std::string& path() const { return library_->path(); }
  const HostFunctions* functions() const;

  // The host's copies of the registered definitions, in registration order.
  std::vector<const FilterDefinition*> filters() const;
  // The first registered filter, or null.
  const FilterDefinition* filter() const;

  const std::vector<AddFilterCall>& add_calls() const { return add_calls_; }
  const std::vector<const FilterDefinition*>& remove_calls() const { return remove_calls_; }

 private:
  explicit FilterModule(std::unique_ptr<Library> library);
  static FilterDefinition* add_filter(void* module, FilterDefinition* definition, int32_t length);
  static void remove_filter(FilterDefinition* definition);

  std::unique_ptr<Library> library_;
  using InitProc = int (*)(void*, const HostFunctions*, int32_t*, int32_t*);
  using DeinitProc = void (*)(void*, const HostFunctions*);
  InitProc init_ = nullptr;
  DeinitProc deinit_ = nullptr;
  bool initialised_ = false;
  int32_t version_ = 0;
  int32_t compatible_version_ = 0;
  std::vector<std::unique_ptr<FilterDefinition>> copies_;
  std::vector<AddFilterCall> add_calls_;
  std::vector<const FilterDefinition*> remove_calls_;
};

// A frame buffer in a host's layout. It owns its storage; |pitch| >= 4 x width,
// and a negative pitch describes a top-down buffer whose data pointer is the
// highest-addressed row. Padding bytes are filled with kPaddingByte so a test
// can see that nobody touched them.
class Bitmap {
 public:
  static constexpr uint8_t kPaddingByte = 0xA5;
  Bitmap(int32_t width, int32_t height, int64_t pitch);
  Bitmap(int32_t width, int32_t height) : Bitmap(width, height, int64_t{width} * 4) {}

  HostBitmap& record() { return record_; }
  int32_t width() const { return record_.w; }
  int32_t height() const { return record_.h; }
  int64_t pitch() const { return record_.pitch; }

  // Row k in ascending address order (row 0 is the lowest-addressed one).
  uint32_t* row(int32_t k);
  const uint32_t* row(int32_t k) const;
  uint32_t& at(int32_t x, int32_t k) { return row(k)[x]; }
  uint32_t at(int32_t x, int32_t k) const { return row(k)[x]; }

  // The pixels in ascending address order, width x height words, no padding.
  std::vector<uint32_t> packed() const;
  void fill_from_packed(std::span<const uint32_t> pixels);
  // True when every padding byte still holds kPaddingByte.
  bool padding_intact() const;

 private:
  std::vector<uint8_t> storage_;
  HostBitmap record_{};
};

// A bitmap record over memory the caller owns, in the host's layout: `lowest`
// is the lowest-addressed row, `pitch` is positive for bottom-up rows (the
// lowest address holds the bottom row) and negative for top-down ones.
HostBitmap bitmap_view(void* lowest, int32_t width, int32_t height, int64_t pitch);

// One filter instance: a zero-filled block of the definition's size, its
// activation record, and the callbacks called as a host calls them.
class FilterInstance {
 public:
  FilterInstance(const FilterModule& module, const FilterDefinition& definition);
  ~FilterInstance();
  FilterInstance(const FilterInstance&) = delete;
  FilterInstance& operator=(const FilterInstance&) = delete;

  // A copy as a host makes one of a filter without a copy callback: a new block
  // holding the same bytes, references included, and not started.
  std::unique_ptr<FilterInstance> duplicate() const;

  void* data() { return data_.get(); }
  template <class T>
  T* data_as() { return static_cast<T*>(data()); }
  FilterActivation& activation() { return activation_; }
  const FilterDefinition& definition() const { return *definition_; }

  int init();
  // Start with the source bitmap that the frames will have.
  int start(Bitmap& src, Bitmap& dst);
  int run(Bitmap& src, Bitmap& dst);
  // The same over records the caller owns; they must outlive the run of frames.
  int start(HostBitmap& src, HostBitmap& dst);
  int run(HostBitmap& src, HostBitmap& dst);
  int end();
  bool started() const { return started_; }

  // The config callback, with the host's preview interface (or null) set in the
  // activation record for its duration, as hosts do.
  int config(HostWindow parent, PreviewInterface* preview);

  // The script-string callback with a buffer of `length` bytes; false when the
  // module wrote no line. `text` receives the buffer up to its first NUL.
  bool script_string(std::string& text, int32_t length = 4096);
  // The string callback with a host's 2048-byte buffer.
  std::string list_string();

  // Calls a script command by name with integer arguments laid out as a host
  // lays them (24-byte values, the undefined bytes filled with garbage), after
  // checking them against the command's signature. False with a message when
  // no command takes these arguments.
  bool call_script(const std::string& name, std::span<const int32_t> arguments,
                   std::string& error);
  const ScriptFunctionRow* find_script_command(const std::string& name) const;

 private:
  const FilterModule* module_;
  const FilterDefinition* definition_;
  std::unique_ptr<uint8_t[]> data_;
  FilterActivation activation_{};
  bool started_ = false;
};

// Describes the settings signature of a script command, e.g. "Config(int, int)".
std::string describe_signature(const ScriptFunctionRow& row);

}  // namespace vdhost
