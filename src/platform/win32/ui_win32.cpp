// Win32 side of the window-system seam: the wizard dialog from template 100,
// its controls, message boxes, the folder picker and the message loops.
// The seam's texts are UTF-8; every window here is a Unicode one and takes them
// as UTF-16, so a member name or a folder outside the ANSI code page shows as it is.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>

#include "platform/ui.h"
#include "platform/win32/win32.h"

#undef IDC_ICON  // the system cursor id of that name; ours is the icon control
#include "resources/dialog_ids.h"

namespace {
ui_dialog_proc portable_proc = nullptr;

HWND hwnd(ui_window w) { return static_cast<HWND>(w); }

INT_PTR CALLBACK dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  if (!portable_proc) return 0;
  return portable_proc(dialog, message, wparam, lparam);
}

int CALLBACK browse_callback(HWND window, UINT message, LPARAM, LPARAM data) {
  const wchar_t* initial = reinterpret_cast<const wchar_t*>(data);
  if (message == BFFM_INITIALIZED && initial && *initial)
    SendMessageW(window, BFFM_SETSELECTIONW, TRUE, data);
  return 0;
}
}  // namespace

void ui_init_controls() {
  INITCOMMONCONTROLSEX icc;
  icc.dwSize = sizeof icc;
  icc.dwICC = ICC_PROGRESS_CLASS;
  InitCommonControlsEx(&icc);
}

ui_window ui_create_dialog(ui_dialog_proc proc) {
  portable_proc = proc;
  return CreateDialogParamW(win32_instance(), MAKEINTRESOURCEW(IDD_WIZARD), nullptr, dialog_proc, 0);
}

void ui_show_window(ui_window w) {
  ShowWindow(hwnd(w), SW_SHOWNORMAL);
  // Windows may put a starter's show command (minimised, hidden) in place of the
  // first SW_SHOWNORMAL; the window is always meant to come up normally.
  if (IsIconic(hwnd(w)) || !IsWindowVisible(hwnd(w))) ShowWindow(hwnd(w), SW_SHOWNORMAL);
}

void ui_show_item(ui_window w, int id, int show_cmd) {
  ShowWindow(GetDlgItem(hwnd(w), id), show_cmd);
}

void ui_enable_item(ui_window w, int id, int enable) {
  EnableWindow(GetDlgItem(hwnd(w), id), enable ? TRUE : FALSE);
}

void ui_set_window_text(ui_window w, const char* text) { SetWindowTextW(hwnd(w), win32_wide(text).c_str()); }

void ui_set_item_text(ui_window w, int id, const char* text) {
  SetDlgItemTextW(hwnd(w), id, win32_wide(text).c_str());
}

int ui_get_item_text(ui_window w, int id, std::string* out, int max_chars) {
  out->clear();
  if (max_chars <= 0) return 0;
  std::wstring buf(static_cast<size_t>(max_chars) + 1, L'\0');
  UINT n = GetDlgItemTextW(hwnd(w), id, &buf[0], max_chars + 1);
  buf[static_cast<size_t>(max_chars)] = L'\0';
  *out = win32_utf8(buf.c_str());
  return static_cast<int>(n);
}

int ui_get_item_checked(ui_window w, int id) {
  return IsDlgButtonChecked(hwnd(w), id) == BST_CHECKED ? 1 : 0;
}

void ui_set_item_checked(ui_window w, int id, int checked) {
  CheckDlgButton(hwnd(w), id, checked ? BST_CHECKED : BST_UNCHECKED);
}

void ui_progress_set_range(ui_window w, int id, unsigned max16) {
  SendDlgItemMessageW(hwnd(w), id, PBM_SETRANGE, 0, MAKELPARAM(0, max16 & 0xFFFF));
}

void ui_progress_set_pos(ui_window w, int id, int pos) {
  SendDlgItemMessageW(hwnd(w), id, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

void ui_edit_set_sel(ui_window w, int id, int start, int end) {
  SendDlgItemMessageW(hwnd(w), id, EM_SETSEL, static_cast<WPARAM>(start), static_cast<LPARAM>(end));
}

void ui_edit_replace_sel(ui_window w, int id, const char* text) {
  // The field takes no more than its limit (30,000 or 32,767 characters at
  // first) and drops the rest without a word: a long summary would lose its end.
  SendDlgItemMessageW(hwnd(w), id, EM_SETLIMITTEXT, 0, 0);
  std::wstring wide = win32_wide(text);
  SendDlgItemMessageW(hwnd(w), id, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wide.c_str()));
}

int ui_message_box(ui_window owner, const char* text, const char* caption, UiBoxKind kind) {
  UINT style = MB_ICONERROR | MB_OK;
  if (kind == UI_BOX_QUESTION) style = MB_ICONQUESTION | MB_YESNO;
  else if (kind == UI_BOX_INFO) style = MB_ICONINFORMATION | MB_OK;
  return MessageBoxW(hwnd(owner), win32_wide(text).c_str(), win32_wide(caption).c_str(), style);
}

int ui_browse_folder(ui_window owner, const char* title, const char* initial, std::string* out) {
  IMalloc* shell_malloc = nullptr;
  if (SHGetMalloc(&shell_malloc) != S_OK) shell_malloc = nullptr;
  wchar_t buffer[MAX_PATH];
  buffer[0] = L'\0';
  std::wstring wide_title = win32_wide(title), wide_initial = win32_wide(initial ? initial : "");
  BROWSEINFOW info;
  ZeroMemory(&info, sizeof info);
  info.hwndOwner = hwnd(owner);
  info.pidlRoot = nullptr;
  info.pszDisplayName = buffer;
  info.lpszTitle = wide_title.c_str();
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  info.lpfn = browse_callback;
  info.lParam = reinterpret_cast<LPARAM>(wide_initial.c_str());
  int result = 0;
  LPITEMIDLIST list = SHBrowseForFolderW(&info);
  if (list) {
    result = SHGetPathFromIDListW(list, buffer) ? 1 : 0;
    // The shell's allocator owns the list; without it, the task allocator is the same one.
    if (shell_malloc) shell_malloc->Free(list);
    else CoTaskMemFree(list);
  }
  if (shell_malloc) shell_malloc->Release();
  if (result && out) *out = win32_utf8(buffer);
  return result;
}

void ui_post_quit() { PostQuitMessage(0); }

void ui_run_message_loop() {
  MSG msg;
  // No IsDialogMessage: the wizard is driven by clicks; Tab, Enter and Escape mean nothing.
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

int ui_wait_thread_or_messages(plat_thread t) {
  if (!t) return 0;
  HANDLE h = static_cast<HANDLE>(t);
  DWORD r = MsgWaitForMultipleObjects(1, &h, FALSE, 1000, QS_ALLINPUT);
  return r == WAIT_OBJECT_0 + 1 || r == WAIT_TIMEOUT ? 1 : 0;
}

int ui_take_message() {
  MSG msg;
  if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return 0;
  if (msg.message == WM_QUIT) return 2;
  DispatchMessageW(&msg);
  return 1;
}
