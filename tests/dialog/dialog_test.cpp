// The settings dialog as a user works it: what opening shows, what each control
// stores and renders, what Ok and Cancel leave behind, and the callback's result.
#include <string>

#include "dialog_fixture.h"

namespace {

using Slots = std::vector<int>;

TEST_F(DialogTest, OpeningShowsTheSettingsAndBindsThePreviewButton) {
  script({40, 55, 3, 2, 1});  // a script may store any non-zero flag
  cfg().show_noise = 1;
  cfg().disable = 0;
  const int result = open([&](HWND dialog) {
    EXPECT_EQ(trackbar_position(dialog, kLevelF1), 40);
    EXPECT_EQ(trackbar_position(dialog, kLevelF2), 55);
    EXPECT_EQ(trackbar_position(dialog, kSharp), 3);
    for (int id : {kLevelF1, kLevelF2, kSharp}) {
      EXPECT_EQ(SendDlgItemMessageA(dialog, id, TBM_GETRANGEMIN, 0, 0), 0) << id;
      EXPECT_EQ(qnr_standin_trackbar_tick_frequency(GetDlgItem(dialog, id)), 0) << id;
    }
    EXPECT_EQ(SendDlgItemMessageA(dialog, kLevelF1, TBM_GETRANGEMAX, 0, 0), 100);
    EXPECT_EQ(SendDlgItemMessageA(dialog, kLevelF2, TBM_GETRANGEMAX, 0, 0), 100);
    EXPECT_EQ(SendDlgItemMessageA(dialog, kSharp, TBM_GETRANGEMAX, 0, 0), 6);
    EXPECT_EQ(IsDlgButtonChecked(dialog, kShowNoise), BST_CHECKED);
    EXPECT_EQ(IsDlgButtonChecked(dialog, kDisable), BST_UNCHECKED);
    EXPECT_EQ(IsDlgButtonChecked(dialog, kInterlace), BST_CHECKED);
    EXPECT_EQ(IsDlgButtonChecked(dialog, kMultithreading), BST_CHECKED);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, kMultithreading)));
    EXPECT_EQ(control_text(dialog, kThreadCount), "4");

    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, kShowPreview));  // the first tab stop
    // The only preview call so far binds the Show preview button.
    ASSERT_EQ(preview_.slots(), Slots{8});
    EXPECT_EQ(preview_.calls[0].window, GetDlgItem(dialog, kShowPreview));
    // The dialog is modal: its owner takes no input while it is open.
    EXPECT_FALSE(IsWindowEnabled(main_window_));
    qnr_standin_click(dialog, kOk);
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(hook_calls_, 1);
  EXPECT_TRUE(IsWindowEnabled(main_window_));
  EXPECT_EQ(cfg().preview, &preview_.iface);
}

TEST_F(DialogTest, CancelRestoresLevelsSharpInterlaceAndMultithreadingOnly) {
  script({70, 70, 2, 1, 1});  // every saved value differs from a zeroed record
  const int result = open([&](HWND dialog) {
    drag(dialog, kLevelF1, 30);
    EXPECT_EQ(cfg().level_f1, 30);  // live while the dialog is open
    drag(dialog, kLevelF2, 90);
    drag(dialog, kSharp, 0);
    EXPECT_TRUE(qnr_standin_click(dialog, kDisable));
    EXPECT_TRUE(qnr_standin_click(dialog, kShowNoise));
    EXPECT_TRUE(qnr_standin_click(dialog, kInterlace));
    EXPECT_TRUE(qnr_standin_click(dialog, kMultithreading));
    EXPECT_EQ(cfg().disable, 1);
    EXPECT_EQ(cfg().show_noise, 1);
    EXPECT_EQ(cfg().interlace, 0);
    EXPECT_EQ(cfg().multithreading, 0);
    qnr_standin_click(dialog, kCancel);
  });
  EXPECT_EQ(result, 0);  // Cancel gives 0 as Ok does
  EXPECT_EQ(cfg().level_f1, 70);
  EXPECT_EQ(cfg().level_f2, 70);
  EXPECT_EQ(cfg().sharp, 2);
  EXPECT_EQ(cfg().interlace, 1);
  EXPECT_EQ(cfg().multithreading, 1);
  // Show noise and Disable keep the state last clicked.
  EXPECT_EQ(cfg().disable, 1);
  EXPECT_EQ(cfg().show_noise, 1);
}

TEST_F(DialogTest, OkKeepsWhatTheUserSet) {
  cfg().show_noise = 5;  // Ok reads the box back, which stores a flag as 1
  const int result = open([&](HWND dialog) {
    drag(dialog, kSharp, 5);
    EXPECT_TRUE(qnr_standin_click(dialog, kInterlace));
    qnr_standin_click(dialog, kOk);
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(cfg().sharp, 5);
  EXPECT_EQ(cfg().interlace, 1);
  EXPECT_EQ(cfg().level_f1, 70);
  EXPECT_EQ(cfg().show_noise, 1);

  // The next opening saves the values Ok left, and Cancel goes back to them.
  open([&](HWND dialog) {
    drag(dialog, kSharp, 1);
    qnr_standin_click(dialog, kCancel);
  });
  EXPECT_EQ(cfg().sharp, 5);
}

TEST_F(DialogTest, OutOfRangeScriptValuesShowClampedAndSurviveCancel) {
  script({150, -3, 9, 0, 1});
  open([&](HWND dialog) {
    EXPECT_EQ(trackbar_position(dialog, kLevelF1), 100);
    EXPECT_EQ(trackbar_position(dialog, kLevelF2), 0);
    EXPECT_EQ(trackbar_position(dialog, kSharp), 6);
    EXPECT_EQ(cfg().level_f1, 150);  // the field keeps its value while shown
    qnr_standin_click(dialog, kCancel);
  });
  EXPECT_EQ(cfg().level_f1, 150);
  EXPECT_EQ(cfg().level_f2, -3);
  EXPECT_EQ(cfg().sharp, 9);

  open([&](HWND dialog) { qnr_standin_click(dialog, kOk); });
  EXPECT_EQ(cfg().level_f1, 100);
  EXPECT_EQ(cfg().level_f2, 0);
  EXPECT_EQ(cfg().sharp, 6);
}

TEST_F(DialogTest, EveryDragStepRendersWithTheLiveValue) {
  open([&](HWND dialog) {
    preview_.calls.clear();
    drag(dialog, kLevelF1, 60);  // ten steps, then the release's two notifications
    ASSERT_EQ(preview_.slots(), Slots(12, 5));
    for (int step = 0; step < 10; ++step) EXPECT_EQ(preview_.calls[step].level_f1, 69 - step);
    EXPECT_EQ(preview_.calls[11].level_f1, 60);

    // Any scroll code counts, and each trackbar updates only its own field.
    preview_.calls.clear();
    ASSERT_TRUE(qnr_standin_scroll_trackbar(dialog, kLevelF2, 20, TB_PAGEUP));
    ASSERT_TRUE(qnr_standin_scroll_trackbar(dialog, kSharp, 4, TB_LINEDOWN));
    EXPECT_EQ(preview_.slots(), (Slots{5, 5}));
    EXPECT_EQ(cfg().level_f1, 60);
    EXPECT_EQ(cfg().level_f2, 20);
    EXPECT_EQ(cfg().sharp, 4);

    // A scroll message from a window that is none of the trackbars changes nothing.
    preview_.calls.clear();
    SendMessageA(dialog, WM_HSCROLL, TB_THUMBTRACK,
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, kOk)));
    EXPECT_TRUE(preview_.calls.empty());
    qnr_standin_click(dialog, kOk);
  });
  EXPECT_EQ(cfg().level_f1, 60);
}

TEST_F(DialogTest, EachBoxStoresItsFlagAndRenders) {
  struct Box {
    int id;
    int32_t FilterConfig::*field;
  };
  for (const Box box :
       {Box{kShowNoise, &FilterConfig::show_noise}, Box{kDisable, &FilterConfig::disable},
        Box{kInterlace, &FilterConfig::interlace},
        Box{kMultithreading, &FilterConfig::multithreading}}) {
    SCOPED_TRACE(box.id);
    open([&](HWND dialog) {
      const int32_t before = cfg().*box.field;
      preview_.calls.clear();
      EXPECT_TRUE(qnr_standin_click(dialog, box.id));
      EXPECT_EQ(cfg().*box.field, before == 0 ? 1 : 0);
      EXPECT_TRUE(qnr_standin_click(dialog, box.id));
      EXPECT_EQ(cfg().*box.field, before == 0 ? 0 : 1);
      EXPECT_EQ(preview_.slots(), (Slots{5, 5}));
      qnr_standin_click(dialog, kCancel);
    });
  }
}

TEST_F(DialogTest, ShowPreviewTogglesThenRenders) {
  open([&](HWND dialog) {
    preview_.calls.clear();
    EXPECT_TRUE(qnr_standin_click(dialog, kShowPreview));
    ASSERT_EQ(preview_.slots(), (Slots{3, 5}));
    EXPECT_EQ(preview_.calls[0].window, dialog);
    EXPECT_FALSE(qnr_standin_dialog_is_ended(dialog));
    qnr_standin_click(dialog, kOk);
  });
}

TEST_F(DialogTest, EscapeCloseBoxAndUnknownCommandsLeaveTheDialogOpen) {
  open([&](HWND dialog) {
    drag(dialog, kLevelF1, 20);
    preview_.calls.clear();
    qnr_standin_press_escape(dialog);
    SendMessageA(dialog, WM_CLOSE, 0, 0);  // the close box
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(1002, BN_CLICKED), 0);  // a group box's id
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(4242, 0), 0);
    EXPECT_FALSE(qnr_standin_dialog_is_ended(dialog));
    EXPECT_TRUE(preview_.calls.empty());
    EXPECT_EQ(cfg().level_f1, 20);  // nothing was restored
    qnr_standin_click(dialog, kOk);
  });
  EXPECT_EQ(cfg().level_f1, 20);
}

TEST_F(DialogTest, OneProcessorGreysMultithreadingButStillShowsIt) {
  reinit(1);
  script({70, 70, 2, 0, 1});
  open([&](HWND dialog) {
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, kMultithreading)));
    EXPECT_EQ(IsDlgButtonChecked(dialog, kMultithreading), BST_CHECKED);
    EXPECT_EQ(control_text(dialog, kThreadCount), "1");
    EXPECT_FALSE(qnr_standin_click(dialog, kMultithreading));  // a greyed box takes no click
    qnr_standin_click(dialog, kOk);
  });
  EXPECT_EQ(cfg().multithreading, 1);
}

TEST_F(DialogTest, CallbackResultIsOneOnlyForAnInvalidParent) {
  EXPECT_EQ(open([&](HWND dialog) { qnr_standin_click(dialog, kOk); }), 0);
  EXPECT_EQ(open([&](HWND dialog) { qnr_standin_click(dialog, kCancel); }), 0);
  // No parent is the desktop, a valid one.
  EXPECT_EQ(open(nullptr, [&](HWND dialog) { qnr_standin_click(dialog, kOk); }), 0);
  EXPECT_EQ(hook_calls_, 3);

  const HWND gone = qnr_standin_create_main_window();
  DestroyWindow(gone);
  preview_.calls.clear();
  EXPECT_EQ(open(gone, [&](HWND) { ADD_FAILURE() << "no dialog should open"; }), 1);
  EXPECT_EQ(hook_calls_, 3);
  EXPECT_TRUE(preview_.calls.empty());
  EXPECT_EQ(cfg().level_f1, 70);
}

// A host may hand the dialog no preview interface: the dialog then works
// without rendering anything.
TEST_F(DialogTest, WorksWithoutAPreview) {
  const int result = open(
      main_window_,
      [&](HWND dialog) {
        drag(dialog, kLevelF1, 50);
        EXPECT_TRUE(qnr_standin_click(dialog, kShowPreview));
        EXPECT_TRUE(qnr_standin_click(dialog, kShowNoise));
        EXPECT_TRUE(qnr_standin_click(dialog, kDisable));
        EXPECT_TRUE(qnr_standin_click(dialog, kOk));
      },
      /*with_preview=*/false);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(cfg().level_f1, 50);
  EXPECT_EQ(cfg().show_noise, 1);
  EXPECT_EQ(cfg().disable, 1);
  EXPECT_EQ(cfg().preview, nullptr);
  EXPECT_TRUE(preview_.calls.empty());
}

using DialogDeathTest = DialogTest;

TEST_F(DialogDeathTest, ADialogNobodyEndsStopsTheTestWithAMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  qnr_standin_set_dialog_hook([](HWND, void*) {}, nullptr);
  EXPECT_DEATH(instance_->config(main_window_, &preview_.iface),
               "still open after the dialog hook returned");
  qnr_standin_set_dialog_hook(nullptr, nullptr);
  EXPECT_DEATH(instance_->config(main_window_, &preview_.iface), "no dialog hook is installed");
}

}  // namespace
