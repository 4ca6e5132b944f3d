// The settings dialog on a real Win32 (Windows, or Wine on an X display): opened
// through the config callback as a host opens it, with a preview object whose
// vtable slots record their calls, and driven by the messages a user's keys and
// clicks produce. A second thread finds the open dialog, acts on its controls
// and checks the settings record after each step. A picture of the freshly
// opened dialog is saved for people to look at.
#include <windows.h>
// commctrl.h needs the Windows types first.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/filter_config.h"
#include "support/module.h"

namespace {

// A host's preview interface: 13 methods, each recording its slot and first argument.
class RecordingPreview {
 public:
  struct Call {
    int slot;
    void* argument;
  };
  std::vector<Call> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  int count(int slot) {
    int n = 0;
    for (const Call& call : calls()) n += call.slot == slot ? 1 : 0;
    return n;
  }
  PreviewInterface* as_host_interface() { return reinterpret_cast<PreviewInterface*>(this); }

#define QNR_SLOT(n)                                                        \
  virtual intptr_t slot##n(void* argument) { return record(n, argument); } \
  static_assert(n >= 0)
  QNR_SLOT(0);
  QNR_SLOT(1);
  QNR_SLOT(2);
  QNR_SLOT(3);
  QNR_SLOT(4);
  QNR_SLOT(5);
  QNR_SLOT(6);
  QNR_SLOT(7);
  QNR_SLOT(8);
  QNR_SLOT(9);
  QNR_SLOT(10);
  QNR_SLOT(11);
  QNR_SLOT(12);
#undef QNR_SLOT

 private:
  intptr_t record(int slot, void* argument) {
    std::lock_guard lock(mutex_);
    calls_.push_back({slot, argument});
    return 0;
  }
  std::mutex mutex_;
  std::vector<Call> calls_;
};

HWND find_dialog(DWORD thread_id) {
  struct Search {
    HWND found = nullptr;
  } search;
  EnumThreadWindows(
      thread_id,
      [](HWND window, LPARAM param) -> BOOL {
        char title[16] = {};
        char window_class[16] = {};
        GetWindowTextA(window, title, sizeof title);
        GetClassNameA(window, window_class, sizeof window_class);
        if (std::string(title) == "QNR" && std::string(window_class) == "#32770") {
          reinterpret_cast<Search*>(param)->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

int32_t trackbar_position(HWND dialog, int id) {
  return static_cast<int32_t>(SendDlgItemMessageA(dialog, id, TBM_GETPOS, 0, 0));
}

// A key press on a control, as the keyboard delivers it.
void press_key(HWND dialog, int id, WPARAM key, int times = 1) {
  HWND control = GetDlgItem(dialog, id);
  for (int i = 0; i < times; ++i) {
    SendMessageA(control, WM_KEYDOWN, key, 1);
    SendMessageA(control, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
  }
}

// A mouse click on a button: the button itself toggles a check box and notifies the dialog.
void click(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

// Saves the window's pixels as it appears on screen, as a 24-bit BMP.
bool save_screenshot(HWND window, const char* path) {
  RECT rect;
  if (!GetWindowRect(window, &rect)) return false;
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return false;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  SelectObject(memory, previous);

  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;  // bottom-up, as BMP files store rows
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  const DWORD row_bytes = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
  std::vector<uint8_t> pixels(static_cast<size_t>(row_bytes) * height);
  const int rows = GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(),
                             reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (rows != height) return false;

  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  FILE* out = std::fopen(path, "wb");
  if (out == nullptr) return false;
  const bool written = std::fwrite(&file, sizeof file, 1, out) == 1 &&
                       std::fwrite(&info, sizeof info, 1, out) == 1 &&
                       std::fwrite(pixels.data(), 1, pixels.size(), out) == pixels.size();
  return std::fclose(out) == 0 && written;
}

class DialogTest : public testing_module::ModuleTest {
 protected:
  // Opens the dialog through the config callback on this thread; `act` runs on a
  // second thread with the open dialog and must close it with Ok or Cancel.
  // Returns the callback's result.
  int open_dialog(const std::function<void(HWND)>& act) {
    const DWORD thread_id = GetCurrentThreadId();
    std::atomic<bool> returned{false};
    std::thread user([&] {
      HWND dialog = nullptr;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (dialog == nullptr && !returned && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        dialog = find_dialog(thread_id);
      }
      if (dialog == nullptr) {
        ADD_FAILURE() << "the dialog did not open";
        return;
      }
      act(dialog);
      // A step that failed may have left the dialog open: close it so the test ends.
      if (IsWindow(dialog) && !returned) {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (IsWindow(dialog) && std::chrono::steady_clock::now() < give_up) {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (IsWindow(dialog)) {
          ADD_FAILURE() << "the dialog stayed open after the steps";
          SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(1006, BN_CLICKED),
                       reinterpret_cast<LPARAM>(GetDlgItem(dialog, 1006)));
        }
      }
    });
    const int result = instance().config(nullptr, preview_.as_host_interface());
    returned = true;
    user.join();
    return result;
  }

  RecordingPreview preview_;
};

TEST_F(DialogTest, CancelPutsBackTheLevelsButKeepsDisable) {
  const int result = open_dialog([&](HWND dialog) {
    // As opened: the record's values, and the preview button bound.
    EXPECT_EQ(trackbar_position(dialog, 1001), 70);
    EXPECT_EQ(trackbar_position(dialog, 1014), 70);
    EXPECT_EQ(trackbar_position(dialog, 1016), 2);
    EXPECT_EQ(SendDlgItemMessageA(dialog, 1001, TBM_GETRANGEMAX, 0, 0), 100);
    EXPECT_EQ(SendDlgItemMessageA(dialog, 1016, TBM_GETRANGEMAX, 0, 0), 6);
    EXPECT_EQ(IsDlgButtonChecked(dialog, 1008), BST_UNCHECKED);
    BOOL translated = FALSE;
    EXPECT_EQ(static_cast<int32_t>(GetDlgItemInt(dialog, 1011, &translated, FALSE)),
              config().thread_count);
    const auto calls = preview_.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].slot, kPreviewInitButton);
    EXPECT_EQ(calls[0].argument, GetDlgItem(dialog, 1004));

    // Let the window paint, then keep a picture of it.
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(save_screenshot(dialog, "dialog-screenshot.bmp"));

    // Level f1 from 70 to 30: two Page Up presses on its trackbar, 20 each.
    press_key(dialog, 1001, VK_PRIOR, 2);
    EXPECT_EQ(trackbar_position(dialog, 1001), 30);
    EXPECT_EQ(config().level_f1, 30);
    const int renders_after_levels = preview_.count(kPreviewRedoFrame);
    EXPECT_GE(renders_after_levels, 2);  // every scroll notification renders again

    click(dialog, 1008);
    EXPECT_EQ(IsDlgButtonChecked(dialog, 1008), BST_CHECKED);
    EXPECT_EQ(config().disable, 1);
    EXPECT_EQ(preview_.count(kPreviewRedoFrame), renders_after_levels + 1);

    // The close box and Escape send IDCANCEL, which the dialog ignores.
    SendMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    PostMessageA(GetDlgItem(dialog, 1004), WM_KEYDOWN, VK_ESCAPE, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(IsWindow(dialog));

    click(dialog, 1006);
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(config().level_f1, 70);
  EXPECT_EQ(config().disable, 1);
  for (const auto& call : preview_.calls()) {
    EXPECT_TRUE(call.slot == kPreviewInitButton || call.slot == kPreviewRedoFrame)
        << "preview slot " << call.slot;
  }
}

TEST_F(DialogTest, OkStoresSharp) {
  const int result = open_dialog([&](HWND dialog) {
    press_key(dialog, 1016, VK_RIGHT, 3);
    EXPECT_EQ(trackbar_position(dialog, 1016), 5);
    EXPECT_EQ(config().sharp, 5);
    click(dialog, 1005);
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(config().sharp, 5);
  EXPECT_EQ(config().level_f1, 70);
  EXPECT_EQ(config().level_f2, 70);
}

TEST_F(DialogTest, ShowPreviewTogglesThePreviewWithTheDialogWindow) {
  HWND opened = nullptr;
  const int result = open_dialog([&](HWND dialog) {
    opened = dialog;
    click(dialog, 1004);
    click(dialog, 1006);
  });
  EXPECT_EQ(result, 0);
  const auto calls = preview_.calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].slot, kPreviewToggle);
  EXPECT_EQ(calls[1].argument, opened);
  EXPECT_EQ(calls[2].slot, kPreviewRedoFrame);
}

// Values a script stored beyond a trackbar's range are shown clamped; Cancel
// keeps the stored value and Ok stores what the trackbar shows. With one thread
// the Multithreading box is greyed but still shows its setting.
TEST_F(DialogTest, OutOfRangeLevelsAndASingleThread) {
  std::string error;
  const int32_t args[] = {150, 70, 2, 0, 1};
  ASSERT_TRUE(instance().call_script("Config", args, error)) << error;
  config().thread_count = 1;
  const auto check_open = [&](HWND dialog) {
    EXPECT_EQ(trackbar_position(dialog, 1001), 100);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, 1010)));
    EXPECT_EQ(IsDlgButtonChecked(dialog, 1010), BST_CHECKED);
    BOOL translated = FALSE;
    EXPECT_EQ(GetDlgItemInt(dialog, 1011, &translated, FALSE), 1u);
  };
  EXPECT_EQ(open_dialog([&](HWND dialog) {
              check_open(dialog);
              click(dialog, 1006);
            }),
            0);
  EXPECT_EQ(config().level_f1, 150);
  EXPECT_EQ(open_dialog([&](HWND dialog) {
              check_open(dialog);
              click(dialog, 1005);
            }),
            0);
  EXPECT_EQ(config().level_f1, 100);
}

}  // namespace
