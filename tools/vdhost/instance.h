// One filter instance as a host keeps it: a zero-filled record of the size the
// definition declares, its activation record, and the callbacks called as a
// host calls them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "bitmap.h"
#include "frame_filter.h"
#include "host/host_api.h"
#include "module_binding.h"

namespace vdhost {

class FilterInstance : public FrameFilter {
 public:
  FilterInstance(const FilterModule& module, const FilterDefinition& definition);
  ~FilterInstance();  // end if started, then the per-instance deinit
  FilterInstance(const FilterInstance&) = delete;
  FilterInstance& operator=(const FilterInstance&) = delete;

  // A copy as a host makes one of a filter without a copy callback: a new block
  // holding the same bytes, references included, and not started.
  std::unique_ptr<FilterInstance> duplicate() const;

  void* data() { return data_.get(); }
  template <class T> T* data_as() { return static_cast<T*>(data()); }
  FilterActivation& activation() { return activation_; }
  const FilterDefinition& definition() const { return *definition_; }

  int init();
  // Start with the source bitmap that the frames will have.
  int start(Bitmap& src, Bitmap& dst);
  int run(Bitmap& src, Bitmap& dst);
  // The same over records the caller owns; they must outlive the run of frames.
  int start(HostBitmap& src, HostBitmap& dst) override;
  int run(HostBitmap& src, HostBitmap& dst) override;
  int end() override;
  bool started() const override { return started_; }

  // The config callback, with the host's preview interface (or null) set in the
  // activation record for its duration, as hosts do.
  int config(HostWindow parent, PreviewInterface* preview);

  // The script-string callback with a buffer of `length` bytes; false when the
  // module wrote no line. `text` receives the buffer up to its first NUL.
  bool script_string(std::string& text, int32_t length = 4096);
  // The string callback with a host's 2048-byte buffer.
  std::string list_string();

  // Calls a script command by name with integer arguments (call_script_command).
  // False with a message when no command takes these arguments.
  bool call_script(const std::string& name, std::span<const int32_t> arguments, std::string& error);
  const ScriptFunctionRow* find_script_command(const std::string& name) const;

 private:
  const FilterModule* module_;
  const FilterDefinition* definition_;
  std::unique_ptr<uint8_t[]> data_;
  FilterActivation activation_{};
  bool started_ = false;
};

}  // namespace vdhost
