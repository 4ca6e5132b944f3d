// USER32 for systems without Win32, headless: windows are records in memory, a
// modal dialog runs its loop through a test's hook, and the controls the module
// uses (buttons, check boxes, static text, trackbars) keep their state and
// answer their messages as the real ones do.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "resources.h"
#include "win32_standin_testing.h"

namespace win32_standin {
namespace {

enum class WindowKind { kMain, kDialog, kButton, kStatic, kTrackbar, kOtherControl };

struct Window {
  WindowKind kind = WindowKind::kOtherControl;
  Window* parent = nullptr;
  std::vector<Window*> children;  // creation order, which is also tab order
  std::string class_name;
  std::string text;
  uint32_t style = 0;
  uint32_t ex_style = 0;
  uint32_t id = 0;
  HINSTANCE instance = nullptr;
  LONG_PTR user_data = 0;  // GWLP_USERDATA

  UINT check = BST_UNCHECKED;  // check boxes and radio buttons

  LONG range_min = 0;  // trackbars: the real control starts at 0 to 100, position 0
  LONG range_max = 100;
  LONG position = 0;
  int tick_frequency = 1;

  DLGPROC proc = nullptr;  // dialogs
  LONG_PTR msg_result = 0;
  LONG_PTR dialog_user = 0;
  bool ended = false;
  INT_PTR end_result = 0;
  DialogTemplate layout;
  std::span<const uint8_t> template_bytes;  // the resource it was built from
  WORD language = 0;
};

std::unordered_map<const Window*, std::unique_ptr<Window>>& windows() {
  static std::unordered_map<const Window*, std::unique_ptr<Window>> all;
  return all;
}

QnrStandinDialogHook dialog_hook = nullptr;
const Window* focus = nullptr;  // the window with the keyboard focus
void* dialog_hook_user = nullptr;

HWND handle_of(const Window* window) { return reinterpret_cast<HWND>(const_cast<Window*>(window)); }

Window* window_of(HWND handle) {
  const auto it = windows().find(reinterpret_cast<const Window*>(handle));
  return it == windows().end() ? nullptr : it->second.get();
}

Window* new_window(WindowKind kind, Window* parent) {
  auto window = std::make_unique<Window>();
  window->kind = kind;
  window->parent = parent;
  Window* raw = window.get();
  windows().emplace(raw, std::move(window));
  if (parent != nullptr) parent->children.push_back(raw);
  return raw;
}

void destroy(Window* window) {
  for (Window* child : std::vector<Window*>(window->children)) destroy(child);
  if (focus == window) focus = nullptr;
  if (window->parent != nullptr) std::erase(window->parent->children, window);
  windows().erase(window);
}

bool equal_ignoring_case(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) {
      return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The window classes a dialog control may name: the predefined ones, by ordinal
// or name, and the trackbar. Class names match regardless of case, as in USER32.
bool control_class(const TemplateName& name, WindowKind& kind, std::string& class_name) {
  struct Predefined {
    uint16_t ordinal;
    const char* name;
    WindowKind kind;
  };
  static constexpr Predefined kPredefined[] = {
      {0x80, "Button", WindowKind::kButton},          {0x81, "Edit", WindowKind::kOtherControl},
      {0x82, "Static", WindowKind::kStatic},          {0x83, "ListBox", WindowKind::kOtherControl},
      {0x84, "ScrollBar", WindowKind::kOtherControl}, {0x85, "ComboBox", WindowKind::kOtherControl},
      {0, TRACKBAR_CLASSA, WindowKind::kTrackbar},
  };
  for (const Predefined& known : kPredefined) {
    const bool match = name.kind == TemplateName::Kind::kOrdinal
                           ? known.ordinal != 0 && name.ordinal == known.ordinal
                           : name.kind == TemplateName::Kind::kString &&
                                 equal_ignoring_case(name.text, known.name);
    if (match) {
      kind = known.kind;
      class_name = known.name;
      return true;
    }
  }
  return false;
}

// Builds the dialog and its controls; null when a control's class is not
// registered, which makes USER32 fail the whole dialog.
Window* create_dialog(HINSTANCE instance, const DialogTemplate& layout, WORD language,
                      Window* owner) {
  Window* dialog = new_window(WindowKind::kDialog, owner);
  dialog->class_name = "#32770";
  dialog->text = layout.title;
  dialog->style = layout.style;
  dialog->ex_style = layout.ex_style;
  dialog->instance = instance;
  dialog->layout = layout;
  dialog->language = language;
  for (const DialogItemTemplate& item : layout.items) {
    WindowKind kind;
    std::string class_name;
    if (!control_class(item.window_class, kind, class_name)) {
      destroy(dialog);
      return nullptr;
    }
    Window* control = new_window(kind, dialog);
    control->class_name = class_name;
    control->text = item.text.kind == TemplateName::Kind::kString ? item.text.text : "";
    control->style = item.style;
    control->ex_style = item.ex_style;
    control->id = item.id;
    control->instance = instance;
  }
  return dialog;
}

uint32_t button_type(const Window* button) { return button->style & BS_TYPEMASK; }

// The highest check state a button keeps: 0 for buttons that keep none.
UINT max_check_state(const Window* button) {
  switch (button_type(button)) {
    case BS_CHECKBOX:
    case BS_AUTOCHECKBOX:
    case BS_RADIOBUTTON:
    case BS_AUTORADIOBUTTON: return BST_CHECKED;
    case BS_3STATE:
    case BS_AUTO3STATE: return BST_INDETERMINATE;
    default: return 0;
  }
}

LRESULT text_message(Window* window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_SETTEXT:
      window->text = lparam != 0 ? reinterpret_cast<const char*>(lparam) : "";
      return TRUE;
    case WM_GETTEXT: {
      if (wparam == 0 || lparam == 0) return 0;
      const size_t count = std::min<size_t>(window->text.size(), wparam - 1);
      char* out = reinterpret_cast<char*>(lparam);
      std::memcpy(out, window->text.data(), count);
      out[count] = '\0';
      return static_cast<LRESULT>(count);
    }
    case WM_GETTEXTLENGTH: return static_cast<LRESULT>(window->text.size());
    default: return 0;
  }
}

LRESULT button_message(Window* button, UINT message, WPARAM wparam) {
  switch (message) {
    case BM_GETCHECK: return max_check_state(button) != 0 ? button->check : BST_UNCHECKED;
    case BM_SETCHECK:
      // Push buttons and group boxes keep no state; two-state boxes treat
      // "indeterminate" as checked.
      if (max_check_state(button) != 0)
        button->check = static_cast<UINT>(std::min<WPARAM>(wparam, max_check_state(button)));
      return 0;
    default: return 0;
  }
}

void clamp_position(Window* bar) {
  bar->position =
      std::clamp(bar->position, bar->range_min, std::max(bar->range_min, bar->range_max));
}

LRESULT trackbar_message(Window* bar, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case TBM_GETPOS: return bar->position;
    case TBM_GETRANGEMIN: return bar->range_min;
    case TBM_GETRANGEMAX: return bar->range_max;
    case TBM_SETPOS:
      bar->position = static_cast<LONG>(lparam);
      clamp_position(bar);
      return 0;
    case TBM_SETRANGE:
      // Both ends are signed 16-bit halves of lParam.
      bar->range_min = static_cast<SHORT>(LOWORD(lparam));
      bar->range_max = static_cast<SHORT>(HIWORD(lparam));
      clamp_position(bar);
      return 0;
    case TBM_SETRANGEMIN:
      bar->range_min = static_cast<LONG>(lparam);
      clamp_position(bar);
      return 0;
    case TBM_SETRANGEMAX:
      bar->range_max = static_cast<LONG>(lparam);
      clamp_position(bar);
      return 0;
    case TBM_SETTICFREQ: bar->tick_frequency = static_cast<int>(wparam); return 0;
    default: return 0;
  }
}

LRESULT send_to_dialog(Window* dialog, UINT message, WPARAM wparam, LPARAM lparam);

LRESULT send(Window* window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (window->kind) {
    case WindowKind::kDialog: return send_to_dialog(window, message, wparam, lparam);
    case WindowKind::kButton:
      if (message == BM_GETCHECK || message == BM_SETCHECK)
        return button_message(window, message, wparam);
      return text_message(window, message, wparam, lparam);
    case WindowKind::kTrackbar:
      if (message >= WM_USER) return trackbar_message(window, message, wparam, lparam);
      return text_message(window, message, wparam, lparam);
    default: return text_message(window, message, wparam, lparam);
  }
}

// The dialog procedure first; what it leaves unhandled gets the dialog
// manager's default: WM_CLOSE (the close box) becomes IDCANCEL.
LRESULT send_to_dialog(Window* dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  const HWND handle = handle_of(dialog);
  const INT_PTR handled =
      dialog->proc != nullptr ? dialog->proc(handle, message, wparam, lparam) : FALSE;
  if (window_of(handle) == nullptr) return 0;  // the procedure destroyed its dialog
  if (message == WM_INITDIALOG) return handled;
  if (handled != FALSE) return dialog->msg_result;
  if (message == WM_CLOSE) {
    send_to_dialog(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(handle, IDCANCEL)));
    return 0;
  }
  return text_message(dialog, message, wparam, lparam);
}

HWND first_tab_stop(const Window* dialog) {
  for (const Window* control : dialog->children) {
    if ((control->style & (WS_TABSTOP | WS_VISIBLE | WS_DISABLED)) == (WS_TABSTOP | WS_VISIBLE))
      return handle_of(control);
  }
  return nullptr;
}

[[noreturn]] void dialog_left_open(const Window* dialog, const char* why) {
  std::fprintf(stderr,
               "win32 stand-in: modal dialog \"%s\" is still open %s. Nothing else can end "
               "it (no user sits at this screen), so the process stops here. A test must "
               "end the dialog with EndDialog, e.g. by clicking its Ok or Cancel button, "
               "from the hook it installs with qnr_standin_set_dialog_hook.\n",
               dialog->text.c_str(), why);
  std::fflush(stderr);
  std::abort();
}

}  // namespace
}  // namespace win32_standin

using namespace win32_standin;

QNR_WIN32_API INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR template_name, HWND parent,
                                      DLGPROC dialog_proc, LPARAM init_param) {
  Window* owner = nullptr;
  if (parent != nullptr) {
    owner = window_of(parent);
    if (owner == nullptr) return 0;  // ERROR_INVALID_WINDOW_HANDLE
  }
  Resource resource;
  if (!find_resource(instance, RT_DIALOG, template_name, resource)) return -1;
  DialogTemplate layout;
  std::string error;
  if (!parse_dialog_template(resource.data, layout, error)) return -1;
  Window* dialog = create_dialog(instance, layout, resource.language, owner);
  if (dialog == nullptr) return -1;
  dialog->template_bytes = resource.data;
  const HWND handle = handle_of(dialog);
  dialog->proc = dialog_proc;

  if (layout.has_font) send_to_dialog(dialog, WM_SETFONT, 0, FALSE);
  if (window_of(handle) == nullptr) return 0;
  const HWND first = first_tab_stop(dialog);
  const LRESULT set_focus =
      send_to_dialog(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), init_param);
  if (window_of(handle) == nullptr) return 0;
  // TRUE asks the dialog manager to focus the control given in wParam.
  if (set_focus != FALSE && first != nullptr) focus = window_of(first);

  if (!dialog->ended) {
    // The owner takes no input while the modal dialog is open.
    const bool owner_was_enabled = owner != nullptr && (owner->style & WS_DISABLED) == 0;
    if (owner_was_enabled) owner->style |= WS_DISABLED;
    if (dialog_hook == nullptr) dialog_left_open(dialog, "and no dialog hook is installed");
    dialog_hook(handle, dialog_hook_user);
    if (owner_was_enabled && window_of(parent) != nullptr)
      owner->style &= ~static_cast<uint32_t>(WS_DISABLED);
    if (window_of(handle) == nullptr) return 0;  // destroyed rather than ended
    if (!dialog->ended) dialog_left_open(dialog, "after the dialog hook returned");
  }
  const INT_PTR result = dialog->end_result;
  destroy(dialog);
  return result;
}

QNR_WIN32_API HWND GetFocus(void) { return focus != nullptr ? handle_of(focus) : nullptr; }

QNR_WIN32_API BOOL EndDialog(HWND dialog, INT_PTR result) {
  Window* window = window_of(dialog);
  if (window == nullptr || window->kind != WindowKind::kDialog) return FALSE;
  window->ended = true;
  window->end_result = result;
  return TRUE;
}

QNR_WIN32_API HWND GetDlgItem(HWND dialog, int id) {
  const Window* window = window_of(dialog);
  if (window == nullptr) return nullptr;
  for (const Window* child : window->children) {
    if (child->id == static_cast<uint32_t>(id)) return handle_of(child);
  }
  return nullptr;
}

QNR_WIN32_API int GetDlgCtrlID(HWND window) {
  const Window* w = window_of(window);
  return w != nullptr ? static_cast<int>(w->id) : 0;
}

QNR_WIN32_API HWND GetParent(HWND window) {
  const Window* w = window_of(window);
  return w != nullptr ? handle_of(w->parent) : nullptr;
}

QNR_WIN32_API LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  Window* w = window_of(window);
  return w != nullptr ? send(w, message, wparam, lparam) : 0;
}

QNR_WIN32_API LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wparam,
                                          LPARAM lparam) {
  const HWND item = GetDlgItem(dialog, id);
  return item != nullptr ? SendMessageA(item, message, wparam, lparam) : 0;
}

QNR_WIN32_API BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
  const HWND item = GetDlgItem(dialog, id);
  if (item == nullptr) return FALSE;
  SendMessageA(item, BM_SETCHECK, check, 0);
  return TRUE;
}

QNR_WIN32_API UINT IsDlgButtonChecked(HWND dialog, int id) {
  return static_cast<UINT>(SendDlgItemMessageA(dialog, id, BM_GETCHECK, 0, 0));
}

QNR_WIN32_API BOOL EnableWindow(HWND window, BOOL enable) {
  Window* w = window_of(window);
  if (w == nullptr) return FALSE;
  const BOOL was_disabled = (w->style & WS_DISABLED) != 0 ? TRUE : FALSE;
  if (enable) {
    w->style &= ~static_cast<uint32_t>(WS_DISABLED);
  } else {
    w->style |= WS_DISABLED;
  }
  return was_disabled;
}

QNR_WIN32_API BOOL IsWindowEnabled(HWND window) {
  const Window* w = window_of(window);
  return w != nullptr && (w->style & WS_DISABLED) == 0 ? TRUE : FALSE;
}

QNR_WIN32_API BOOL IsWindow(HWND window) { return window_of(window) != nullptr ? TRUE : FALSE; }

QNR_WIN32_API BOOL DestroyWindow(HWND window) {
  Window* w = window_of(window);
  if (w == nullptr) return FALSE;
  destroy(w);
  return TRUE;
}

QNR_WIN32_API BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL is_signed) {
  const HWND item = GetDlgItem(dialog, id);
  if (item == nullptr) return FALSE;
  const std::string text =
      is_signed ? std::to_string(static_cast<int32_t>(value)) : std::to_string(value);
  return SetWindowTextA(item, text.c_str());
}

QNR_WIN32_API BOOL SetWindowTextA(HWND window, LPCSTR text) {
  Window* w = window_of(window);
  if (w == nullptr) return FALSE;
  w->text = text != nullptr ? text : "";
  return TRUE;
}

namespace {
int copy_text(const std::string& text, LPSTR buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  const size_t count = std::min<size_t>(text.size(), static_cast<size_t>(size) - 1);
  std::memcpy(buffer, text.data(), count);
  buffer[count] = '\0';
  return static_cast<int>(count);
}
}  // namespace

QNR_WIN32_API int GetWindowTextA(HWND window, LPSTR buffer, int size) {
  const Window* w = window_of(window);
  if (w == nullptr) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    return 0;
  }
  return copy_text(w->text, buffer, size);
}

QNR_WIN32_API int GetClassNameA(HWND window, LPSTR buffer, int size) {
  const Window* w = window_of(window);
  return w != nullptr ? copy_text(w->class_name, buffer, size) : 0;
}

QNR_WIN32_API LONG_PTR GetWindowLongPtrA(HWND window, int index) {
  const Window* w = window_of(window);
  if (w == nullptr) return 0;
  switch (index) {
    case GWL_STYLE: return static_cast<LONG_PTR>(static_cast<LONG>(w->style));
    case GWL_EXSTYLE: return static_cast<LONG_PTR>(static_cast<LONG>(w->ex_style));
    case GWLP_ID: return w->id;
    case GWLP_USERDATA: return w->user_data;
    case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(w->instance);
    case GWLP_HWNDPARENT: return reinterpret_cast<LONG_PTR>(handle_of(w->parent));
    default: break;
  }
  if (w->kind != WindowKind::kDialog) return 0;
  switch (index) {
    case DWLP_MSGRESULT: return w->msg_result;
    case DWLP_DLGPROC: return reinterpret_cast<LONG_PTR>(w->proc);
    case DWLP_USER: return w->dialog_user;
    default: return 0;
  }
}

QNR_WIN32_API LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value) {
  Window* w = window_of(window);
  if (w == nullptr) return 0;
  const LONG_PTR previous = GetWindowLongPtrA(window, index);
  switch (index) {
    case GWL_STYLE: w->style = static_cast<uint32_t>(value); return previous;
    case GWL_EXSTYLE: w->ex_style = static_cast<uint32_t>(value); return previous;
    case GWLP_ID: w->id = static_cast<uint32_t>(value); return previous;
    case GWLP_USERDATA: w->user_data = value; return previous;
    default: break;
  }
  if (w->kind != WindowKind::kDialog) return 0;
  switch (index) {
    case DWLP_MSGRESULT: w->msg_result = value; return previous;
    case DWLP_DLGPROC: w->proc = reinterpret_cast<DLGPROC>(value); return previous;
    case DWLP_USER: w->dialog_user = value; return previous;
    default: return 0;
  }
}

// ---- Test controls ------------------------------------------------------------

QNR_WIN32_API void qnr_standin_set_dialog_hook(QnrStandinDialogHook hook, void* user) {
  dialog_hook = hook;
  dialog_hook_user = user;
}

QNR_WIN32_API HWND qnr_standin_create_main_window(void) {
  Window* main = new_window(WindowKind::kMain, nullptr);
  main->class_name = "QnrStandinMainWindow";
  main->text = "Host";
  main->style = WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME;
  return handle_of(main);
}

QNR_WIN32_API BOOL qnr_standin_click(HWND dialog, int id) {
  Window* control = window_of(GetDlgItem(dialog, id));
  if (control == nullptr || control->kind != WindowKind::kButton) return FALSE;
  if ((control->style & WS_DISABLED) != 0) return FALSE;
  switch (button_type(control)) {
    case BS_AUTOCHECKBOX:
      control->check = control->check == BST_UNCHECKED ? BST_CHECKED : BST_UNCHECKED;
      break;
    case BS_AUTO3STATE: control->check = (control->check + 1) % 3; break;
    case BS_AUTORADIOBUTTON: control->check = BST_CHECKED; break;
    case BS_GROUPBOX: return FALSE;  // a group box is a frame, not a button
    default: break;
  }
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(handle_of(control)));
  return TRUE;
}

QNR_WIN32_API BOOL qnr_standin_scroll_trackbar(HWND dialog, int id, int position, WORD code) {
  Window* bar = window_of(GetDlgItem(dialog, id));
  if (bar == nullptr || bar->kind != WindowKind::kTrackbar) return FALSE;
  if ((bar->style & WS_DISABLED) != 0) return FALSE;
  bar->position = position;
  clamp_position(bar);
  const bool carries_position = code == TB_THUMBTRACK || code == TB_THUMBPOSITION;
  SendMessageA(dialog, WM_HSCROLL, MAKEWPARAM(code, carries_position ? bar->position : 0),
               reinterpret_cast<LPARAM>(handle_of(bar)));
  return TRUE;
}

QNR_WIN32_API void qnr_standin_press_escape(HWND dialog) {
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
}

QNR_WIN32_API const DialogTemplate* qnr_standin_dialog_template(HWND dialog, WORD* language) {
  const Window* w = window_of(dialog);
  if (w == nullptr || w->kind != WindowKind::kDialog) return nullptr;
  if (language != nullptr) *language = w->language;
  return &w->layout;
}

QNR_WIN32_API const uint8_t* qnr_standin_dialog_template_bytes(HWND dialog, size_t* size) {
  const Window* w = window_of(dialog);
  if (w == nullptr || w->kind != WindowKind::kDialog) return nullptr;
  *size = w->template_bytes.size();
  return w->template_bytes.data();
}

QNR_WIN32_API int qnr_standin_trackbar_tick_frequency(HWND trackbar) {
  const Window* w = window_of(trackbar);
  return w != nullptr && w->kind == WindowKind::kTrackbar ? w->tick_frequency : 0;
}

QNR_WIN32_API BOOL qnr_standin_dialog_is_ended(HWND dialog) {
  const Window* w = window_of(dialog);
  return w != nullptr && w->kind == WindowKind::kDialog && w->ended ? TRUE : FALSE;
}
