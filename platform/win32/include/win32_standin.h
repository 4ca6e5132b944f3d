// Headless stand-in for the subset of USER32 and KERNEL32 that the module uses,
// for builds on systems without Win32. Types and constants carry their Win32
// names and x64 sizes so the module's code reads the same on both.
#pragma once

#include <cstdint>

#if defined(QNR_WIN32_BUILDING)
#define QNR_WIN32_API extern "C" __attribute__((visibility("default")))
#else
#define QNR_WIN32_API extern "C"
#endif

using BOOL = int32_t;
using BYTE = uint8_t;
using DWORD = uint32_t;
using WORD = uint16_t;
using SHORT = int16_t;
using UINT = uint32_t;
using LONG = int32_t;
using WPARAM = uint64_t;
using LPARAM = int64_t;
using LRESULT = int64_t;
using INT_PTR = int64_t;
using LONG_PTR = int64_t;
using UINT_PTR = uint64_t;
using ULONG_PTR = uint64_t;
using DWORD_PTR = uint64_t;
using LPVOID = void*;
using LPSTR = char*;
using LPCSTR = const char*;
using HANDLE = void*;
struct HWND__;
using HWND = HWND__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;

#define WINAPI
#define CALLBACK

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define LOWORD(l) ((WORD)((DWORD_PTR)(l)&0xffff))
#define HIWORD(l) ((WORD)(((DWORD_PTR)(l) >> 16) & 0xffff))
#define MAKELONG(low, high) \
  ((LONG)(((WORD)((DWORD_PTR)(low)&0xffff)) | ((DWORD)((WORD)((DWORD_PTR)(high)&0xffff))) << 16))
#define MAKEWPARAM(low, high) ((WPARAM)(DWORD)MAKELONG(low, high))
#define MAKELPARAM(low, high) ((LPARAM)(DWORD)MAKELONG(low, high))
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define RT_DIALOG MAKEINTRESOURCEA(5)

// ---- KERNEL32 --------------------------------------------------------------

struct SYSTEM_INFO {
  WORD wProcessorArchitecture;
  WORD wReserved;
  DWORD dwPageSize;
  LPVOID lpMinimumApplicationAddress;
  LPVOID lpMaximumApplicationAddress;
  DWORD_PTR dwActiveProcessorMask;
  DWORD dwNumberOfProcessors;
  DWORD dwProcessorType;
  DWORD dwAllocationGranularity;
  WORD wProcessorLevel;
  WORD wProcessorRevision;
};

// Fills the record; dwNumberOfProcessors is the number of processors this
// process may run on.
QNR_WIN32_API void GetSystemInfo(SYSTEM_INFO* info);

// ---- Module resources -------------------------------------------------------
// Windows reads a module's resources from its file. Here a module hands them to
// the stand-in when it loads (keyed by its instance handle) and takes them back
// when it unloads. The data must stay in place while registered.

QNR_WIN32_API BOOL qnr_standin_add_resource(HINSTANCE module, LPCSTR type, LPCSTR name,
                                            WORD language, const void* data, DWORD size);
QNR_WIN32_API void qnr_standin_remove_resources(HINSTANCE module);

// ---- USER32: windows, dialogs and controls ----------------------------------
// The stand-in keeps every window in memory; nothing is drawn. Calls are meant
// for one thread, as a dialog and its windows belong to the thread that made it.

using DLGPROC = INT_PTR (*)(HWND, UINT, WPARAM, LPARAM);

#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define WM_CLOSE 0x0010
#define WM_SETFONT 0x0030
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_HSCROLL 0x0114
#define WM_USER 0x0400

#define IDOK 1
#define IDCANCEL 2

#define WS_TABSTOP 0x00010000L
#define WS_GROUP 0x00020000L
#define WS_THICKFRAME 0x00040000L
#define WS_SYSMENU 0x00080000L
#define WS_CAPTION 0x00C00000L
#define WS_DISABLED 0x08000000L
#define WS_VISIBLE 0x10000000L
#define WS_CHILD 0x40000000L
#define WS_POPUP 0x80000000L
#define DS_MODALFRAME 0x80L
#define DS_SETFONT 0x40L

#define BS_PUSHBUTTON 0x00000000L
#define BS_DEFPUSHBUTTON 0x00000001L
#define BS_CHECKBOX 0x00000002L
#define BS_AUTOCHECKBOX 0x00000003L
#define BS_RADIOBUTTON 0x00000004L
#define BS_3STATE 0x00000005L
#define BS_AUTO3STATE 0x00000006L
#define BS_GROUPBOX 0x00000007L
#define BS_AUTORADIOBUTTON 0x00000009L
#define BS_TYPEMASK 0x0000000FL
#define BN_CLICKED 0
#define BM_GETCHECK 0x00F0
#define BM_SETCHECK 0x00F1
#define BST_UNCHECKED 0x0000
#define BST_CHECKED 0x0001
#define BST_INDETERMINATE 0x0002

#define SS_LEFT 0x00000000L
#define SS_CENTER 0x00000001L
#define SS_CENTERIMAGE 0x00000200L

#define GWLP_HINSTANCE (-6)
#define GWLP_HWNDPARENT (-8)
#define GWLP_ID (-12)
#define GWL_STYLE (-16)
#define GWL_EXSTYLE (-20)
#define GWLP_USERDATA (-21)
#define DWLP_MSGRESULT 0
#define DWLP_DLGPROC 8
#define DWLP_USER 16

// Trackbar control ("msctls_trackbar32", COMCTL32 on Windows).
#define TRACKBAR_CLASSA "msctls_trackbar32"
#define TBS_AUTOTICKS 0x0001
#define TBS_HORZ 0x0000
#define TBS_TOP 0x0004
#define TBS_TOOLTIPS 0x0100
#define TBM_GETPOS (WM_USER)
#define TBM_GETRANGEMIN (WM_USER + 1)
#define TBM_GETRANGEMAX (WM_USER + 2)
#define TBM_SETPOS (WM_USER + 5)
#define TBM_SETRANGE (WM_USER + 6)
#define TBM_SETRANGEMIN (WM_USER + 7)
#define TBM_SETRANGEMAX (WM_USER + 8)
#define TBM_SETTICFREQ (WM_USER + 20)
#define TB_LINEUP 0
#define TB_LINEDOWN 1
#define TB_PAGEUP 2
#define TB_PAGEDOWN 3
#define TB_THUMBPOSITION 4
#define TB_THUMBTRACK 5
#define TB_TOP 6
#define TB_BOTTOM 7
#define TB_ENDTRACK 8

// Creates and runs a modal dialog from the module's template. Returns the value
// given to EndDialog, 0 when the parent is not a window (a null parent is the
// desktop, and valid), and -1 when the template is missing or the dialog cannot
// be built.
QNR_WIN32_API INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR template_name, HWND parent,
                                      DLGPROC dialog_proc, LPARAM init_param);
QNR_WIN32_API BOOL EndDialog(HWND dialog, INT_PTR result);
QNR_WIN32_API HWND GetFocus(void);
QNR_WIN32_API HWND GetDlgItem(HWND dialog, int id);
QNR_WIN32_API int GetDlgCtrlID(HWND window);
QNR_WIN32_API HWND GetParent(HWND window);
QNR_WIN32_API LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
QNR_WIN32_API LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wparam,
                                          LPARAM lparam);
QNR_WIN32_API BOOL CheckDlgButton(HWND dialog, int id, UINT check);
QNR_WIN32_API UINT IsDlgButtonChecked(HWND dialog, int id);
QNR_WIN32_API BOOL EnableWindow(HWND window, BOOL enable);
QNR_WIN32_API BOOL IsWindowEnabled(HWND window);
QNR_WIN32_API BOOL IsWindow(HWND window);
QNR_WIN32_API BOOL DestroyWindow(HWND window);
QNR_WIN32_API BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL is_signed);
QNR_WIN32_API BOOL SetWindowTextA(HWND window, LPCSTR text);
QNR_WIN32_API int GetWindowTextA(HWND window, LPSTR buffer, int size);
QNR_WIN32_API int GetClassNameA(HWND window, LPSTR buffer, int size);
QNR_WIN32_API LONG_PTR GetWindowLongPtrA(HWND window, int index);
QNR_WIN32_API LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value);
