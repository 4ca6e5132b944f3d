// The Win32 stand-in that the dialog tests stand on: a dialog of our own,
// registered as a module registers its template, must behave as USER32 and the
// trackbar control do, or the dialog tests would prove nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "win32_standin_testing.h"

namespace {

// Writes an extended dialog template: a dialog with a trackbar (id 10), an
// auto check box (11), a push button (12) and a static (13).
std::vector<uint8_t> small_template() {
  std::vector<uint8_t> out;
  const auto u16 = [&](uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
  };
  const auto u32 = [&](uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  };
  const auto text = [&](const char* s) {
    for (; *s != '\0'; ++s) u16(static_cast<uint8_t>(*s));
    u16(0);
  };
  const auto align = [&] {
    while (out.size() % 4 != 0) out.push_back(0);
  };
  u16(1), u16(0xFFFF), u32(0), u32(0), u32(WS_VISIBLE | WS_CAPTION | DS_SETFONT);
  u16(4), u16(0), u16(0), u16(100), u16(50);
  u16(0), u16(0), text("Small");
  u16(8), u16(400), out.push_back(0), out.push_back(1), text("MS Shell Dlg");
  struct Item {
    uint32_t style;
    uint32_t id;
    uint16_t ordinal;  // 0: the trackbar's class name
    const char* title;
  };
  for (const Item& item :
       {Item{WS_CHILD | WS_VISIBLE, 10, 0, ""},
        Item{WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, 11, 0x80, "Box"},
        Item{WS_CHILD | WS_VISIBLE | WS_TABSTOP, 12, 0x80, "Push"},
        Item{WS_CHILD | WS_VISIBLE, 13, 0x82, "Label"}}) {
    align();
    u32(0), u32(0), u32(item.style), u16(1), u16(2), u16(30), u16(10), u32(item.id);
    if (item.ordinal != 0) {
      u16(0xFFFF), u16(item.ordinal);
    } else {
      text("MSCTLS_TRACKBAR32");  // class names match regardless of case
    }
    text(item.title);
    u16(0);
  }
  return out;
}

HINSTANCE const kModule = reinterpret_cast<HINSTANCE>(uintptr_t{0x7100000});
constexpr int kTemplateId = 7;

struct Messages {
  std::vector<UINT> seen;
  std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> on_message;
};
Messages* current = nullptr;

INT_PTR CALLBACK recording_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  current->seen.push_back(message);
  return current->on_message ? current->on_message(dialog, message, wparam, lparam) : FALSE;
}

class StandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bytes_ = small_template();
    ASSERT_TRUE(qnr_standin_add_resource(kModule, RT_DIALOG, MAKEINTRESOURCEA(kTemplateId), 0x409,
                                         bytes_.data(), static_cast<DWORD>(bytes_.size())));
    current = &messages_;
  }
  void TearDown() override {
    qnr_standin_remove_resources(kModule);
    qnr_standin_set_dialog_hook(nullptr, nullptr);
    current = nullptr;
  }

  // Opens the dialog with `user` as the person at the screen.
  INT_PTR run(const std::function<void(HWND)>& user, HWND parent = nullptr) {
    user_ = user;
    qnr_standin_set_dialog_hook(
        [](HWND dialog, void* self) { static_cast<StandinTest*>(self)->user_(dialog); }, this);
    return DialogBoxParamA(kModule, MAKEINTRESOURCEA(kTemplateId), parent, recording_proc, 1234);
  }

  std::vector<uint8_t> bytes_;
  Messages messages_;
  std::function<void(HWND)> user_;
};

TEST_F(StandinTest, ModalDialogReturnsTheEndDialogValueAfterInitDialog) {
  LPARAM init = 0;
  HWND focus_given = nullptr;
  messages_.on_message = [&](HWND, UINT message, WPARAM wparam, LPARAM lparam) -> INT_PTR {
    if (message == WM_INITDIALOG) {
      init = lparam;
      focus_given = reinterpret_cast<HWND>(wparam);
    }
    return FALSE;
  };
  HWND seen_dialog = nullptr;
  const INT_PTR result = run([&](HWND dialog) {
    seen_dialog = dialog;
    EXPECT_TRUE(IsWindow(dialog));
    EXPECT_EQ(focus_given, GetDlgItem(dialog, 11));  // the first tab stop
    EXPECT_TRUE(EndDialog(dialog, 77));
    EXPECT_TRUE(qnr_standin_dialog_is_ended(dialog));
  });
  EXPECT_EQ(result, 77);
  EXPECT_EQ(init, 1234);
  EXPECT_EQ(messages_.seen, (std::vector<UINT>{WM_SETFONT, WM_INITDIALOG}));
  EXPECT_FALSE(IsWindow(seen_dialog));  // destroyed once the loop ends
}

TEST_F(StandinTest, DialogEndedDuringInitDialogNeverReachesTheHook) {
  messages_.on_message = [](HWND dialog, UINT message, WPARAM, LPARAM) -> INT_PTR {
    if (message == WM_INITDIALOG) EndDialog(dialog, 5);
    return TRUE;
  };
  int hook_calls = 0;
  EXPECT_EQ(run([&](HWND) { ++hook_calls; }), 5);
  EXPECT_EQ(hook_calls, 0);
}

TEST_F(StandinTest, FailuresAreReportedAsUser32ReportsThem) {
  const HWND gone = qnr_standin_create_main_window();
  ASSERT_TRUE(DestroyWindow(gone));
  EXPECT_EQ(run([](HWND) { ADD_FAILURE(); }, gone), 0);  // invalid parent
  EXPECT_EQ(DialogBoxParamA(kModule, MAKEINTRESOURCEA(99), nullptr, recording_proc, 0), -1);
  EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(kTemplateId), nullptr, recording_proc, 0),
            -1);
  EXPECT_EQ(DialogBoxParamA(kModule, "NAMED", nullptr, recording_proc, 0), -1);
  EXPECT_TRUE(messages_.seen.empty());

  // Every truncation of a template is refused, never read past its end.
  qnr_standin_remove_resources(kModule);
  for (size_t length = 0; length < bytes_.size(); ++length) {
    std::vector<uint8_t> cut(bytes_.begin(), bytes_.begin() + static_cast<ptrdiff_t>(length));
    qnr_standin_add_resource(kModule, RT_DIALOG, MAKEINTRESOURCEA(kTemplateId), 0x409, cut.data(),
                             static_cast<DWORD>(cut.size()));
    EXPECT_EQ(DialogBoxParamA(kModule, MAKEINTRESOURCEA(kTemplateId), nullptr, recording_proc, 0),
              -1)
        << length;
  }
}

TEST_F(StandinTest, TrackbarClampsToItsRange) {
  run([](HWND dialog) {
    const HWND bar = GetDlgItem(dialog, 10);
    char name[32] = {};
    GetClassNameA(bar, name, sizeof name);
    EXPECT_STREQ(name, TRACKBAR_CLASSA);
    // A new trackbar runs from 0 to 100 at position 0.
    EXPECT_EQ(SendMessageA(bar, TBM_GETRANGEMAX, 0, 0), 100);
    EXPECT_EQ(SendMessageA(bar, TBM_GETPOS, 0, 0), 0);
    SendMessageA(bar, TBM_SETPOS, TRUE, 150);
    EXPECT_EQ(SendMessageA(bar, TBM_GETPOS, 0, 0), 100);
    SendMessageA(bar, TBM_SETPOS, TRUE, -3);
    EXPECT_EQ(SendMessageA(bar, TBM_GETPOS, 0, 0), 0);
    SendMessageA(bar, TBM_SETPOS, TRUE, 80);
    // A narrower range pulls the position in.
    SendMessageA(bar, TBM_SETRANGE, FALSE, MAKELONG(0, 6));
    EXPECT_EQ(SendMessageA(bar, TBM_GETPOS, 0, 0), 6);
    SendMessageA(bar, TBM_SETRANGE, FALSE, MAKELONG(-5, 5));
    EXPECT_EQ(SendMessageA(bar, TBM_GETRANGEMIN, 0, 0), -5);
    SendMessageA(bar, TBM_SETTICFREQ, 3, 0);
    EXPECT_EQ(qnr_standin_trackbar_tick_frequency(bar), 3);
    EndDialog(dialog, 1);
  });
}

TEST_F(StandinTest, ButtonsTextAndWindowSlots) {
  std::vector<WPARAM> commands;
  messages_.on_message = [&](HWND, UINT message, WPARAM wparam, LPARAM) -> INT_PTR {
    if (message == WM_COMMAND) commands.push_back(wparam);
    return FALSE;
  };
  run([&](HWND dialog) {
    // A user's click toggles an auto check box before the dialog hears of it.
    EXPECT_TRUE(qnr_standin_click(dialog, 11));
    EXPECT_EQ(IsDlgButtonChecked(dialog, 11), BST_CHECKED);
    // Two-state boxes take "indeterminate" as checked; push buttons keep no state.
    CheckDlgButton(dialog, 11, BST_INDETERMINATE);
    EXPECT_EQ(IsDlgButtonChecked(dialog, 11), BST_CHECKED);
    CheckDlgButton(dialog, 12, BST_CHECKED);
    EXPECT_EQ(IsDlgButtonChecked(dialog, 12), BST_UNCHECKED);
    // Disabled controls take no clicks.
    EXPECT_FALSE(EnableWindow(GetDlgItem(dialog, 12), FALSE));  // was enabled
    EXPECT_FALSE(qnr_standin_click(dialog, 12));
    EXPECT_TRUE(EnableWindow(GetDlgItem(dialog, 12), TRUE));  // was disabled
    EXPECT_TRUE(qnr_standin_click(dialog, 12));
    EXPECT_FALSE(qnr_standin_click(dialog, 13));  // a static does not notify

    SetDlgItemInt(dialog, 13, static_cast<UINT>(-7), TRUE);
    char text[16] = {};
    EXPECT_EQ(GetWindowTextA(GetDlgItem(dialog, 13), text, sizeof text), 2);
    EXPECT_STREQ(text, "-7");
    SetDlgItemInt(dialog, 13, static_cast<UINT>(-7), FALSE);
    GetWindowTextA(GetDlgItem(dialog, 13), text, 5);  // cut to fit, NUL-ended
    EXPECT_STREQ(text, "4294");

    EXPECT_EQ(SetWindowLongPtrA(dialog, DWLP_USER, 42), 0);
    EXPECT_EQ(SetWindowLongPtrA(dialog, DWLP_USER, 43), 42);
    EXPECT_EQ(GetWindowLongPtrA(dialog, DWLP_USER), 43);
    EXPECT_EQ(GetWindowLongPtrA(dialog, DWLP_DLGPROC), reinterpret_cast<LONG_PTR>(&recording_proc));

    // The close box becomes IDCANCEL when the procedure leaves WM_CLOSE alone.
    SendMessageA(dialog, WM_CLOSE, 0, 0);
    EndDialog(dialog, 1);
  });
  EXPECT_EQ(commands, (std::vector<WPARAM>{MAKEWPARAM(11, BN_CLICKED), MAKEWPARAM(12, BN_CLICKED),
                                           MAKEWPARAM(IDCANCEL, BN_CLICKED)}));
}

}  // namespace
