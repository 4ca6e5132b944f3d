// The settings dialog: a modal dialog from template 1000 in which every change
// goes into the instance's FilterConfig at once and the host's preview renders
// the frame again. Cancel puts back the five settings that the script carries.
#include "host/callbacks.h"
#include "host/common_controls.h"
#include "win32_api.h"

INT_PTR CALLBACK qnr_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

namespace {

constexpr int kDialogTemplateId = 1000;
// EndDialog values: Ok ends with its own identifier, Cancel with 1.
constexpr INT_PTR kOkResult = 1005;
constexpr INT_PTR kCancelResult = 1;

enum ControlId : int {
  kLevelF1Trackbar = 1001,
  kShowPreviewButton = 1004,
  kOkButton = 1005,
  kCancelButton = 1006,
  kShowNoiseBox = 1007,
  kDisableBox = 1008,
  kMultithreadingBox = 1010,
  kThreadCountText = 1011,
  kLevelF2Trackbar = 1014,
  kSharpTrackbar = 1016,
  kInterlaceBox = 1017,
};

struct TrackbarField {
  int id;
  int32_t FilterConfig::*field;
  int maximum;  // the range is 0 to maximum
};

// In the order the dialog sets them up and looks them up.
constexpr TrackbarField kTrackbars[] = {
    {kLevelF1Trackbar, &FilterConfig::level_f1, kMaximumLevel},
    {kLevelF2Trackbar, &FilterConfig::level_f2, kMaximumLevel},
    {kSharpTrackbar, &FilterConfig::sharp, kMaximumSharp},
};

// Each check box is stored in its field as it is clicked, and the frame is
// rendered again.
struct CheckBoxField {
  int id;
  int32_t FilterConfig::*field;
};

// In the order the dialog sets them up.
constexpr CheckBoxField kCheckBoxes[] = {
    {kShowNoiseBox, &FilterConfig::show_noise},
    {kDisableBox, &FilterConfig::disable},
    {kInterlaceBox, &FilterConfig::interlace},
    {kMultithreadingBox, &FilterConfig::multithreading},
};

// The host's preview is a C++ interface called by vtable slot; the object comes
// first, as `this` does in every x64 calling convention. A host may supply no
// preview at all: then there is nothing to show or render again.
using PreviewWindowOp = void (*)(PreviewInterface*, HWND);
using PreviewOp = void (*)(PreviewInterface*);

void preview_with_window(const FilterConfig* cfg, PreviewSlot slot, HWND window) {
  if (cfg->preview == nullptr) return;
  reinterpret_cast<PreviewWindowOp>(cfg->preview->vtable[slot])(cfg->preview, window);
}

void redo_frame(const FilterConfig* cfg) {
  if (cfg->preview == nullptr) return;
  reinterpret_cast<PreviewOp>(cfg->preview->vtable[kPreviewRedoFrame])(cfg->preview);
}

int32_t box_checked(HWND dialog, int id) { return IsDlgButtonChecked(dialog, id) != 0 ? 1 : 0; }

// TBM_GETPOS answers in the low 32 bits of the result.
int32_t trackbar_position(HWND dialog, int id) {
  const LRESULT result = SendDlgItemMessageA(dialog, id, TBM_GETPOS, 0, 0);
  return static_cast<int32_t>(static_cast<uint32_t>(result));
}

void check_box(HWND dialog, int id, int32_t flag) {
  CheckDlgButton(dialog, id, flag != 0 ? BST_CHECKED : BST_UNCHECKED);
}

INT_PTR on_init_dialog(HWND dialog, FilterConfig* cfg) {
  SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(cfg));
  for (const TrackbarField& bar : kTrackbars) {
    SendDlgItemMessageA(dialog, bar.id, TBM_SETTICFREQ, 0, 0);
    SendDlgItemMessageA(dialog, bar.id, TBM_SETRANGE, FALSE, MAKELONG(0, bar.maximum));
    // The control clamps values a script stored outside its range; the field keeps them.
    SendDlgItemMessageA(dialog, bar.id, TBM_SETPOS, TRUE, cfg->*bar.field);
  }
  for (const CheckBoxField& box : kCheckBoxes) check_box(dialog, box.id, cfg->*box.field);
  preview_with_window(cfg, kPreviewInitButton, GetDlgItem(dialog, kShowPreviewButton));

  cfg->saved_level_f1 = cfg->level_f1;
  cfg->saved_level_f2 = cfg->level_f2;
  cfg->saved_sharp = cfg->sharp;
  cfg->saved_interlace = cfg->interlace;
  cfg->saved_multithreading = cfg->multithreading;

  if (cfg->thread_count == 1) EnableWindow(GetDlgItem(dialog, kMultithreadingBox), FALSE);
  SetDlgItemInt(dialog, kThreadCountText, static_cast<UINT>(cfg->thread_count), FALSE);
  return TRUE;  // focus the first tab stop, the Show preview button
}

// Only the Ok and Cancel buttons close the dialog; IDOK and IDCANCEL (Escape,
// the close box) are ignored on purpose.
INT_PTR on_command(HWND dialog, FilterConfig* cfg, int id) {
  for (const CheckBoxField& box : kCheckBoxes) {
    if (box.id == id) {
      cfg->*box.field = box_checked(dialog, box.id);
      redo_frame(cfg);
      return FALSE;
    }
  }
  switch (id) {
    case kShowPreviewButton:
      preview_with_window(cfg, kPreviewToggle, dialog);
      redo_frame(cfg);
      return FALSE;
    case kOkButton:
      // The boxes other than Show noise are stored as they are clicked.
      cfg->show_noise = box_checked(dialog, kShowNoiseBox);
      for (const TrackbarField& bar : kTrackbars)
        cfg->*bar.field = trackbar_position(dialog, bar.id);
      EndDialog(dialog, kOkResult);
      return TRUE;
    case kCancelButton:
      // Show noise and Disable have no saved copies and keep their last state.
      cfg->level_f1 = cfg->saved_level_f1;
      cfg->level_f2 = cfg->saved_level_f2;
      cfg->sharp = cfg->saved_sharp;
      cfg->interlace = cfg->saved_interlace;
      cfg->multithreading = cfg->saved_multithreading;
      EndDialog(dialog, kCancelResult);
      return FALSE;
    default: return FALSE;
  }
}

// Every scroll notification, thumb tracking included, stores the position and
// renders again, so the preview follows a drag step by step.
INT_PTR on_hscroll(HWND dialog, FilterConfig* cfg, HWND trackbar) {
  for (const TrackbarField& bar : kTrackbars) {
    if (GetDlgItem(dialog, bar.id) == trackbar) {
      cfg->*bar.field = trackbar_position(dialog, bar.id);
      redo_frame(cfg);
    }
  }
  return FALSE;
}

}  // namespace

INT_PTR CALLBACK qnr_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  FilterConfig* cfg = reinterpret_cast<FilterConfig*>(GetWindowLongPtrA(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: return on_init_dialog(dialog, reinterpret_cast<FilterConfig*>(lparam));
    case WM_COMMAND:
      // Messages that arrive before WM_INITDIALOG find no settings record.
      return cfg != nullptr ? on_command(dialog, cfg, LOWORD(wparam)) : FALSE;
    case WM_HSCROLL:
      return cfg != nullptr ? on_hscroll(dialog, cfg, reinterpret_cast<HWND>(lparam)) : FALSE;
    default: return FALSE;
  }
}

int qnr_config(FilterActivation* fa, const HostFunctions*, HostWindow parent) {
  FilterConfig* cfg = config_of(fa);
  cfg->preview = fa->preview;
  ensure_common_controls();
  const INT_PTR result =
      DialogBoxParamA(static_cast<HINSTANCE>(module_instance), MAKEINTRESOURCEA(kDialogTemplateId),
                      static_cast<HWND>(parent), qnr_dialog_proc, reinterpret_cast<LPARAM>(cfg));
  // Ok and Cancel both give 0; only a dialog that could not open for want of a
  // valid parent window gives 1.
  return result == 0 ? 1 : 0;
}
