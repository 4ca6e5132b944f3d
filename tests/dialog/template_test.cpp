// Dialog 1000 as the module carries it: the compiled template pinned by its
// hash (res/qnr.rc is its one source, so any change there shows here), the
// controls the open dialog builds from it, and the settings table's labels
// and ranges as the dialog has them.
#include <cstring>
#include <span>
#include <string>

#include "dialog_fixture.h"

namespace {

using win32_standin::DialogTemplate;
using win32_standin::TemplateName;

constexpr uint16_t kButton = 0x80, kStatic = 0x82;

// FNV-1a, 64 bits: a fixed fingerprint of the template's bytes.
uint64_t fnv1a64(std::span<const uint8_t> bytes) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (const uint8_t byte : bytes) {
    hash ^= byte;
    hash *= 0x100000001b3u;
  }
  return hash;
}

// The template windres writes for res/qnr.rc: its size and fingerprint.
constexpr size_t kTemplateSize = 998;
constexpr uint64_t kTemplateHash = 0x622881f9f9c97ae1u;

TEST_F(DialogTest, TemplateIsTheCompiledResourceOfQnrRc) {
  open(nullptr, [&](HWND dialog) {
    WORD language = 0;
    ASSERT_NE(qnr_standin_dialog_template(dialog, &language), nullptr);
    EXPECT_EQ(language, 0x409);
    size_t size = 0;
    const uint8_t* bytes = qnr_standin_dialog_template_bytes(dialog, &size);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(size, kTemplateSize);
    EXPECT_EQ(fnv1a64({bytes, size}), kTemplateHash)
        << std::hex << fnv1a64({bytes, size}) << ": res/qnr.rc changed; if on purpose, check "
        << "the dialog in a real host and update the size and hash here";
    qnr_standin_click(dialog, kCancel);
  });
}

bool equal_ignoring_case(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

TEST_F(DialogTest, ControlsAreBuiltFromTheTemplateInOrder) {
  open(nullptr, [&](HWND dialog) {
    char caption[16] = {};
    GetWindowTextA(dialog, caption, sizeof caption);
    EXPECT_STREQ(caption, "QNR");
    const DialogTemplate* layout = qnr_standin_dialog_template(dialog, nullptr);
    ASSERT_NE(layout, nullptr);
    ASSERT_EQ(layout->items.size(), 19u);
    for (const auto& item : layout->items) {
      SCOPED_TRACE(item.id);
      const HWND control = GetDlgItem(dialog, static_cast<int>(item.id));
      ASSERT_NE(control, nullptr);
      EXPECT_EQ(GetParent(control), dialog);
      char name[32] = {};
      GetClassNameA(control, name, sizeof name);
      if (item.window_class.kind == TemplateName::Kind::kOrdinal) {
        ASSERT_TRUE(item.window_class.ordinal == kButton || item.window_class.ordinal == kStatic);
        EXPECT_STREQ(name, item.window_class.ordinal == kButton ? "Button" : "Static");
      } else {
        // windres writes class names upper-cased; USER32 matches them regardless of case.
        EXPECT_TRUE(equal_ignoring_case(item.window_class.text, name)) << item.window_class.text;
        EXPECT_STREQ(name, "msctls_trackbar32");
      }
      EXPECT_EQ(static_cast<uint32_t>(GetWindowLongPtrA(control, GWL_STYLE)), item.style);
    }
    // Thread count text set by the dialog replaces the template's "1".
    EXPECT_EQ(control_text(dialog, kThreadCount), "4");
    qnr_standin_click(dialog, kOk);
  });
}

// Every front end names the settings as the dialog does, and offers the
// dialog's ranges.
TEST_F(DialogTest, TheSettingsTableHasTheDialogsLabelsAndRanges) {
  open(nullptr, [&](HWND dialog) {
    const DialogTemplate* layout = qnr_standin_dialog_template(dialog, nullptr);
    ASSERT_NE(layout, nullptr);
    for (const vdhost::SettingInfo& info : vdhost::kSettingTable) {
      SCOPED_TRACE(info.name);
      int labelled = 0;
      for (const auto& item : layout->items) labelled += item.text.text == info.label;
      EXPECT_EQ(labelled, 1) << "no control of dialog 1000 reads \"" << info.label << "\"";
    }
    const std::pair<vdhost::Setting, int> trackbars[] = {{vdhost::Setting::level_f1, kLevelF1},
                                                         {vdhost::Setting::level_f2, kLevelF2},
                                                         {vdhost::Setting::sharp, kSharp}};
    for (const auto& [setting, id] : trackbars) {
      const vdhost::SettingInfo& info = vdhost::setting_info(setting);
      EXPECT_EQ(SendDlgItemMessageA(dialog, id, TBM_GETRANGEMIN, 0, 0), info.minimum) << id;
      EXPECT_EQ(SendDlgItemMessageA(dialog, id, TBM_GETRANGEMAX, 0, 0), info.maximum) << id;
    }
    qnr_standin_click(dialog, kCancel);
  });
}

}  // namespace
