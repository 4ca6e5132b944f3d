// Controls of the stand-in that only tests use: they change what the stand-in
// reports, as a different machine would, and act on an open dialog as a user at
// the screen does. None of this exists on Windows.
#pragma once

#include "dialog_template.h"
#include "win32_standin.h"

// Makes GetSystemInfo report this many processors; 0 restores the real count.
QNR_WIN32_API void qnr_standin_set_processor_count(DWORD count);

// ---- Modal dialogs ----------------------------------------------------------
// DialogBoxParamA sends WM_SETFONT and WM_INITDIALOG, then runs its modal loop:
// it calls the dialog hook once with the open dialog, and the hook plays the
// user. The dialog must have been ended (EndDialog) when the hook returns, as
// nothing else could end it; otherwise the stand-in reports the test's mistake
// on stderr and aborts rather than wait forever. With no hook installed an open
// dialog is the same mistake. A dialog ended during WM_INITDIALOG never reaches
// the hook.
using QnrStandinDialogHook = void (*)(HWND dialog, void* user);
// Installs the hook for every dialog opened from now on; null removes it.
QNR_WIN32_API void qnr_standin_set_dialog_hook(QnrStandinDialogHook hook, void* user);

// A top-level window that plays the host's main window, a valid dialog parent.
// DestroyWindow removes it, after which it is an invalid parent.
QNR_WIN32_API HWND qnr_standin_create_main_window(void);

// ---- What a user's actions send ---------------------------------------------
// A click on control `id` of the dialog: nothing when the control is disabled
// (returns FALSE). An auto check box toggles its state first, as the real
// control does before it notifies; then the dialog gets WM_COMMAND with
// BN_CLICKED and the control's window.
QNR_WIN32_API BOOL qnr_standin_click(HWND dialog, int id);
// Moves trackbar `id` to `position` (clamped to its range, as a drag stops at
// the ends) and sends the dialog WM_HSCROLL with `code` (TB_THUMBTRACK while
// dragging, then TB_THUMBPOSITION and TB_ENDTRACK on release) and the
// trackbar's window. FALSE when the trackbar is disabled or missing.
QNR_WIN32_API BOOL qnr_standin_scroll_trackbar(HWND dialog, int id, int position, WORD code);
// Escape: the dialog manager sends WM_COMMAND with IDCANCEL.
QNR_WIN32_API void qnr_standin_press_escape(HWND dialog);

// ---- What the open dialog holds ---------------------------------------------
// The template the dialog was built from, or null when `dialog` is not a
// dialog; `language` (may be null) receives the resource's language.
QNR_WIN32_API const win32_standin::DialogTemplate* qnr_standin_dialog_template(HWND dialog,
                                                                               WORD* language);
// The bytes of the template resource the dialog was built from, as the module
// carries them; `size` receives their count. Null when `dialog` is not a dialog.
QNR_WIN32_API const uint8_t* qnr_standin_dialog_template_bytes(HWND dialog, size_t* size);
// TRUE once EndDialog was called for the open dialog (it closes when the hook
// returns).
QNR_WIN32_API BOOL qnr_standin_dialog_is_ended(HWND dialog);
// A trackbar's tick frequency (TBM_SETTICFREQ has no reading counterpart).
QNR_WIN32_API int qnr_standin_trackbar_tick_frequency(HWND trackbar);
