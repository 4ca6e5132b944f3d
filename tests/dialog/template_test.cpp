// Dialog 1000 as the module carries it: every field of the template the open
// dialog was built from, and the controls built from it.
#include <cstring>
#include <string>

#include "dialog_fixture.h"

namespace {

using win32_standin::DialogTemplate;
using win32_standin::TemplateName;

constexpr uint16_t kButton = 0x80, kStatic = 0x82, kTrackbar = 0;  // 0: by name

struct ExpectedControl {
  uint32_t id;
  uint16_t class_ordinal;
  uint32_t style;
  const char* text;
  int16_t x, y, cx, cy;
};

constexpr uint32_t kChildVisible = WS_CHILD | WS_VISIBLE;
constexpr uint32_t kTrackbarStyle =
    kChildVisible | TBS_AUTOTICKS | TBS_TOP | TBS_TOOLTIPS | TBS_HORZ;
constexpr uint32_t kGroup = kChildVisible | BS_GROUPBOX;
constexpr uint32_t kPush = kChildVisible | BS_PUSHBUTTON | WS_TABSTOP;
constexpr uint32_t kCheck = kChildVisible | BS_AUTOCHECKBOX | WS_TABSTOP;
constexpr uint32_t kLabel = kChildVisible | SS_LEFT;

constexpr ExpectedControl kControls[] = {
    {1001, kTrackbar, kTrackbarStyle, "", 74, 12, 102, 21},
    {1002, kButton, kGroup, "Frequency", 8, 3, 178, 63},
    {1003, kButton, kGroup, "", 8, 97, 178, 25},
    {1004, kButton, kPush, "Show preview", 8, 155, 58, 17},
    {1005, kButton, kPush, "Ok", 88, 155, 44, 17},
    {1006, kButton, kPush, "Cancel", 142, 155, 44, 17},
    {1007, kButton, kCheck, "Show noise", 18, 107, 50, 11},
    {1008, kButton, kCheck, "Disable", 122, 107, 36, 11},
    {1009, kStatic, kLabel, "Level  f1", 22, 20, 38, 11},
    {1010, kButton, kCheck, "Multithreading", 122, 132, 58, 13},
    {1011, kStatic, kChildVisible | SS_CENTER | SS_CENTERIMAGE, "1", 58, 132, 14, 13},
    {1012, kButton, kGroup, "", 8, 123, 178, 25},
    {1013, kStatic, kLabel, "Threads  - ", 22, 134, 34, 13},
    {1014, kTrackbar, kTrackbarStyle, "", 74, 38, 102, 19},
    {1015, kButton, kGroup, "", 8, 68, 178, 28},
    {1016, kTrackbar, kTrackbarStyle, "", 74, 73, 102, 19},
    {1017, kButton, kCheck, "Interlace", 72, 107, 48, 11},
    {1018, kStatic, kLabel, "Sharp", 22, 81, 24, 11},
    {1019, kStatic, kLabel, "Level  f2", 22, 46, 34, 11},
};

bool equal_ignoring_case(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

TEST_F(DialogTest, TemplateHoldsExactlyTheDialogLayout) {
  open(nullptr, [&](HWND dialog) {
    WORD language = 0;
    const DialogTemplate* layout = qnr_standin_dialog_template(dialog, &language);
    ASSERT_NE(layout, nullptr);
    EXPECT_EQ(language, 0x409);
    EXPECT_EQ(layout->version, 1);
    EXPECT_EQ(layout->signature, 0xFFFF);
    EXPECT_EQ(layout->help_id, 0u);
    EXPECT_EQ(layout->ex_style, 0u);
    // Nothing beyond these: no WS_POPUP, no DS_MODALFRAME that a compiler may add.
    EXPECT_EQ(layout->style, static_cast<uint32_t>(WS_VISIBLE | WS_CAPTION | WS_SYSMENU |
                                                   WS_THICKFRAME | DS_SETFONT));
    EXPECT_EQ(layout->x, 6);
    EXPECT_EQ(layout->y, 5);
    EXPECT_EQ(layout->cx, 194);
    EXPECT_EQ(layout->cy, 177);
    EXPECT_EQ(layout->menu.kind, TemplateName::Kind::kNone);
    EXPECT_EQ(layout->window_class.kind, TemplateName::Kind::kNone);
    EXPECT_EQ(layout->title, "QNR");
    ASSERT_TRUE(layout->has_font);
    EXPECT_EQ(layout->point_size, 8);
    EXPECT_EQ(layout->weight, 0);
    EXPECT_EQ(layout->italic, 0);
    EXPECT_EQ(layout->charset, 1);
    EXPECT_EQ(layout->typeface, "MS Sans Serif");

    ASSERT_EQ(layout->items.size(), std::size(kControls));
    for (size_t i = 0; i < std::size(kControls); ++i) {
      const ExpectedControl& want = kControls[i];
      const auto& item = layout->items[i];
      SCOPED_TRACE(want.id);
      EXPECT_EQ(item.id, want.id);
      EXPECT_EQ(item.help_id, 0u);
      EXPECT_EQ(item.ex_style, 0u);
      EXPECT_EQ(item.style, want.style);
      EXPECT_EQ(item.x, want.x);
      EXPECT_EQ(item.y, want.y);
      EXPECT_EQ(item.cx, want.cx);
      EXPECT_EQ(item.cy, want.cy);
      if (want.class_ordinal != kTrackbar) {
        EXPECT_EQ(item.window_class.kind, TemplateName::Kind::kOrdinal);
        EXPECT_EQ(item.window_class.ordinal, want.class_ordinal);
      } else {
        // windres writes class names upper-cased; USER32 matches them regardless of case.
        EXPECT_EQ(item.window_class.kind, TemplateName::Kind::kString);
        EXPECT_TRUE(equal_ignoring_case(item.window_class.text, "msctls_trackbar32"))
            << item.window_class.text;
      }
      // No text is an empty string: a single NUL, which reads as no name.
      EXPECT_EQ(item.text.kind,
                *want.text != '\0' ? TemplateName::Kind::kString : TemplateName::Kind::kNone);
      EXPECT_EQ(item.text.text, want.text);
      EXPECT_TRUE(item.creation_data.empty());
    }
    qnr_standin_click(dialog, kCancel);
  });
}

TEST_F(DialogTest, ControlsAreBuiltFromTheTemplateInOrder) {
  open(nullptr, [&](HWND dialog) {
    char caption[16] = {};
    GetWindowTextA(dialog, caption, sizeof caption);
    EXPECT_STREQ(caption, "QNR");
    for (const ExpectedControl& want : kControls) {
      SCOPED_TRACE(want.id);
      const HWND control = GetDlgItem(dialog, static_cast<int>(want.id));
      ASSERT_NE(control, nullptr);
      EXPECT_EQ(GetParent(control), dialog);
      char name[32] = {};
      GetClassNameA(control, name, sizeof name);
      const char* expected_class = want.class_ordinal == kButton   ? "Button"
                                   : want.class_ordinal == kStatic ? "Static"
                                                                   : "msctls_trackbar32";
      EXPECT_STREQ(name, expected_class);
      EXPECT_EQ(static_cast<uint32_t>(GetWindowLongPtrA(control, GWL_STYLE)), want.style);
    }
    // Thread count text set by the dialog replaces the template's "1".
    EXPECT_EQ(control_text(dialog, kThreadCount), "4");
    qnr_standin_click(dialog, kOk);
  });
}

}  // namespace
