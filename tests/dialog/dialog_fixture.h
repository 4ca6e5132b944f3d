// A host with the module loaded, one initialised instance, a fake preview and a
// main window, and a way to open the settings dialog with a function that plays
// the user while it is open.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <vector>

#include "host/filter_config.h"
#include "vdhost.h"
#include "win32_standin_testing.h"

// The host's preview: each of the 13 slots records its own index, the window it
// was given (slots 3 and 8) and the Level f1 the instance held at that moment.
struct FakePreview {
  struct Call {
    int slot;
    HWND window;
    int32_t level_f1;
  };
  PreviewInterface iface;  // first, so the module's object pointer is ours
  const FilterConfig* config = nullptr;
  std::vector<Call> calls;

  FakePreview();
  std::vector<int> slots() const;
  int count(int slot) const;
};

class DialogTest : public ::testing::Test {
 protected:
  // Dialog controls.
  static constexpr int kLevelF1 = 1001, kShowPreview = 1004, kOk = 1005, kCancel = 1006,
                       kShowNoise = 1007, kDisable = 1008, kMultithreading = 1010,
                       kThreadCount = 1011, kLevelF2 = 1014, kSharp = 1016, kInterlace = 1017;

  void SetUp() override;
  void TearDown() override;

  // Replaces the instance with one initialised on a machine of `processors`.
  void reinit(DWORD processors);
  void script(std::array<int32_t, 5> values);

  // Runs the config callback with `parent`; `user` acts on the open dialog and
  // must end it. Returns the callback's result.
  int open(HWND parent, const std::function<void(HWND)>& user, bool with_preview = true);
  int open(const std::function<void(HWND)>& user) { return open(main_window_, user); }

  FilterConfig& cfg() { return *instance_->data_as<FilterConfig>(); }

  std::unique_ptr<vdhost::FilterModule> module_;
  std::unique_ptr<vdhost::FilterInstance> instance_;
  FakePreview preview_;
  HWND main_window_ = nullptr;
  int hook_calls_ = 0;
};

// Helpers on the open dialog.
int32_t trackbar_position(HWND dialog, int id);
std::string control_text(HWND dialog, int id);
// A drag of the trackbar through every position from its current one to
// `target`, then the release: the notifications the real control sends.
void drag(HWND dialog, int id, int target);
