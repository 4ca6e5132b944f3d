#include "dialog_fixture.h"

#include <algorithm>
#include <string>

namespace {

template <int Slot> void record_with_window(PreviewInterface* self, HWND window) {
  auto* fake = reinterpret_cast<FakePreview*>(self);
  fake->calls.push_back({Slot, window, fake->config->level_f1});
}

template <int Slot> void record(PreviewInterface* self) {
  auto* fake = reinterpret_cast<FakePreview*>(self);
  fake->calls.push_back({Slot, nullptr, fake->config->level_f1});
}

// Slot 5 takes no argument; slots 3 and 8 a window. The others are recorded
// with their first argument as a window too: the module must not call them.
void* const kSlots[13] = {
    reinterpret_cast<void*>(&record_with_window<0>),
    reinterpret_cast<void*>(&record_with_window<1>),
    reinterpret_cast<void*>(&record<2>),
    reinterpret_cast<void*>(&record_with_window<3>),
    reinterpret_cast<void*>(&record_with_window<4>),
    reinterpret_cast<void*>(&record<5>),
    reinterpret_cast<void*>(&record<6>),
    reinterpret_cast<void*>(&record<7>),
    reinterpret_cast<void*>(&record_with_window<8>),
    reinterpret_cast<void*>(&record<9>),
    reinterpret_cast<void*>(&record<10>),
    reinterpret_cast<void*>(&record<11>),
    reinterpret_cast<void*>(&record<12>),
};

struct HookContext {
  const std::function<void(HWND)>* user;
  int* calls;
};

void run_user(HWND dialog, void* context) {
  auto* hook = static_cast<HookContext*>(context);
  ++*hook->calls;
  (*hook->user)(dialog);
  // A failed assertion leaves the user's function early; close the dialog so
  // the failure is reported rather than the stand-in stopping the process.
  if (!qnr_standin_dialog_is_ended(dialog)) {
    ADD_FAILURE() << "the test left the dialog open";
    EndDialog(dialog, -2);
  }
}

}  // namespace

FakePreview::FakePreview() : iface{kSlots} {}

std::vector<int> FakePreview::slots() const {
  std::vector<int> out;
  for (const Call& call : calls) out.push_back(call.slot);
  return out;
}

int FakePreview::count(int slot) const {
  return static_cast<int>(std::count_if(calls.begin(), calls.end(),
                                        [slot](const Call& call) { return call.slot == slot; }));
}

void DialogTest::SetUp() {
  std::string error;
  module_ = vdhost::FilterModule::load(QNR_MODULE_PATH, error);
  ASSERT_NE(module_, nullptr) << error;
  ASSERT_EQ(module_->initialise(), 0);
  reinit(4);
  main_window_ = qnr_standin_create_main_window();
}

void DialogTest::TearDown() {
  qnr_standin_set_dialog_hook(nullptr, nullptr);
  qnr_standin_set_processor_count(0);
  DestroyWindow(main_window_);
}

void DialogTest::reinit(DWORD processors) {
  qnr_standin_set_processor_count(processors);
  instance_ = std::make_unique<vdhost::FilterInstance>(*module_, *module_->filter());
  ASSERT_EQ(instance_->init(), 0);
  qnr_standin_set_processor_count(0);
  preview_.config = &cfg();
}

void DialogTest::script(std::array<int32_t, 5> values) {
  std::string error;
  ASSERT_TRUE(instance_->call_script("Config", values, error)) << error;
}

int DialogTest::open(HWND parent, const std::function<void(HWND)>& user, bool with_preview) {
  HookContext context{&user, &hook_calls_};
  qnr_standin_set_dialog_hook(run_user, &context);
  const int result = instance_->config(parent, with_preview ? &preview_.iface : nullptr);
  qnr_standin_set_dialog_hook(nullptr, nullptr);
  return result;
}

int32_t trackbar_position(HWND dialog, int id) {
  return static_cast<int32_t>(SendDlgItemMessageA(dialog, id, TBM_GETPOS, 0, 0));
}

std::string control_text(HWND dialog, int id) {
  char text[64] = {};
  GetWindowTextA(GetDlgItem(dialog, id), text, sizeof text);
  return text;
}

void drag(HWND dialog, int id, int target) {
  int position = trackbar_position(dialog, id);
  while (position != target) {
    position += target > position ? 1 : -1;
    ASSERT_TRUE(qnr_standin_scroll_trackbar(dialog, id, position, TB_THUMBTRACK));
  }
  ASSERT_TRUE(qnr_standin_scroll_trackbar(dialog, id, position, TB_THUMBPOSITION));
  ASSERT_TRUE(qnr_standin_scroll_trackbar(dialog, id, position, TB_ENDTRACK));
}
