// qvdrive: drives quorvin.exe from outside, the way a user would, and checks
// what the user would see. It runs under Wine (or Windows) next to the program.
//
//   qvdrive [--shots] PROGRAM.exe SCRIPT
//
// SCRIPT holds one command per line ('#' starts a comment line); arguments are
// separated by blanks and may be quoted ("two words", \" for a quote). Every
// wait is bounded; the first failed step ends the script, the program is
// terminated if it still runs, and the exit code is 1. All steps passed: 0.
// The program starts before the first step, or by the step "start" with
// arguments and a show command. Run qvdrive alone for the list of commands.
//
// "$DIR" in an argument stands for the program's directory (a Windows path,
// no trailing backslash), so that scripts can name folders beside the program.
// Control ids are those of the dialog template; -1 and 65535 both name the icon.
// Clicks are posted, never sent, so that a modal box cannot block the driver.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

typedef std::vector<std::string> Args;

PROCESS_INFORMATION child;
bool started = false;
std::string program_path;
HWND wizard = nullptr;
HWND box = nullptr;
bool shots = false;
DWORD expect_ms = 3000;  // how long an expect-* waits for its state to appear

const DWORD kPollMs = 50;
const DWORD kSendMs = 5000;

// ---- small helpers ------------------------------------------------------------
bool child_running() { return WaitForSingleObject(child.hProcess, 0) == WAIT_TIMEOUT; }

std::string window_class(HWND h) {
  char name[64] = "";
  GetClassNameA(h, name, sizeof name);
  return name;
}

// Scripts and the program's texts are UTF-8; windows and files take UTF-16.
std::wstring wide(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring w(n > 0 ? n : 1, L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &w[0], n);
  return w.c_str();
}

std::string utf8(const wchar_t* text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string s(n > 0 ? n : 1, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, -1, &s[0], n, nullptr, nullptr);
  return s.c_str();
}

// Text through WM_GETTEXT, which the owner answers (edit fields included), as
// UTF-16 so that no character is lost to a code page.
bool read_text(HWND h, std::string* out) {
  DWORD_PTR len = 0;
  if (!SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendMs, &len)) return false;
  std::vector<wchar_t> buf(len + 2, L'\0');
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutW(h, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()),
                           SMTO_ABORTIFHUNG, kSendMs, &got))
    return false;
  *out = utf8(buf.data());
  return true;
}

// Escapes line ends so that a multi-line text prints on one line.
std::string shown(const std::string& s) {
  std::string r = "\"";
  for (char c : s) {
    if (c == '\r') r += "\\r";
    else if (c == '\n') r += "\\n";
    else r += c;
  }
  return r + "\"";
}

bool parse_int(const std::string& s, long* out) {
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 0);
  if (s.empty() || *end) return false;
  *out = v;
  return true;
}

bool parse_id(const std::string& s, int* id) {
  long v;
  if (!parse_int(s, &v)) return false;
  *id = static_cast<int>(v & 0xFFFF);  // template ids are 16 bits: -1 is 65535
  return true;
}

DWORD timeout_arg(const Args& a, size_t index, DWORD fallback_ms) {
  long seconds;
  if (a.size() > index && parse_int(a[index], &seconds) && seconds > 0)
    return static_cast<DWORD>(seconds) * 1000;
  return fallback_ms;
}

// Repeats check until it holds or ms have passed; the last failure text stays in *why.
template <typename F>
bool poll(DWORD ms, F check) {
  DWORD start = GetTickCount();
  for (;;) {
    if (check()) return true;
    if (GetTickCount() - start >= ms) return false;
    Sleep(kPollMs);
  }
}

// ---- finding windows ------------------------------------------------------------
struct TopLevelSearch {
  std::vector<HWND> found;
};

BOOL CALLBACK collect_top_level(HWND h, LPARAM p) {
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid == child.dwProcessId && IsWindowVisible(h) && window_class(h) == "#32770")
    reinterpret_cast<TopLevelSearch*>(p)->found.push_back(h);
  return TRUE;
}

// The program's visible dialog windows: the wizard and any message box or picker.
std::vector<HWND> program_dialogs() {
  TopLevelSearch search;
  EnumWindows(collect_top_level, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND find_wizard() {
  for (HWND h : program_dialogs())
    if (GetDlgItem(h, 1002)) return h;  // the only dialog with a Next button
  return nullptr;
}

std::vector<HWND> other_dialogs() {
  std::vector<HWND> r;
  for (HWND h : program_dialogs())
    if (h != wizard) r.push_back(h);
  return r;
}

struct ChildList {
  HWND parent;
  std::vector<HWND> found;
};

BOOL CALLBACK collect_child(HWND h, LPARAM p) {
  ChildList* list = reinterpret_cast<ChildList*>(p);
  if (GetParent(h) == list->parent) list->found.push_back(h);
  return TRUE;
}

std::vector<HWND> children(HWND parent) {
  ChildList list{parent, {}};
  EnumChildWindows(parent, collect_child, reinterpret_cast<LPARAM>(&list));
  return list.found;
}

bool box_has_text(HWND h, const std::string& text) {
  for (HWND c : children(h)) {
    std::string t;
    if (window_class(c) == "Static" && read_text(c, &t) && t == text) return true;
  }
  return false;
}

std::string describe_dialogs() {
  std::string r;
  for (HWND h : other_dialogs()) {
    std::string caption;
    read_text(h, &caption);
    r += " [" + shown(caption);
    for (HWND c : children(h)) {
      std::string t;
      if (window_class(c) == "Static" && read_text(c, &t) && !t.empty()) r += " " + shown(t);
    }
    r += "]";
  }
  return r.empty() ? " none" : r;
}

// The control, in the wizard; fails the step when there is no wizard or no such control.
HWND control(int id, std::string* why) {
  if (!wizard || !IsWindow(wizard)) {
    *why = "no wizard window (wait-window first)";
    return nullptr;
  }
  HWND h = GetDlgItem(wizard, id);
  if (!h) *why = "no control " + std::to_string(id);
  return h;
}

bool own_visible(HWND h) { return (GetWindowLongA(h, GWL_STYLE) & WS_VISIBLE) != 0; }

std::set<int> visible_ids() {
  std::set<int> r;
  for (HWND c : children(wizard))
    if (own_visible(c)) r.insert(GetDlgCtrlID(c) & 0xFFFF);
  return r;
}

std::string id_list(const std::set<int>& ids) {
  std::string r;
  for (int id : ids) r += (r.empty() ? "" : " ") + std::to_string(id == 0xFFFF ? -1 : id);
  return "{" + r + "}";
}

bool parse_id_set(const std::string& text, std::set<int>* out) {
  std::string word;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ' ' || text[i] == ',') {
      if (!word.empty()) {
        int id;
        if (!parse_id(word, &id)) return false;
        out->insert(id);
        word.clear();
      }
    } else {
      word += text[i];
    }
  }
  return true;
}

// ---- commands --------------------------------------------------------------------
// Starts the program with the command-line arguments and, when show_cmd >= 0,
// that show command in its start-up information (as a shortcut or start /min does).
bool start_program(const Args& args, int show_cmd) {
  std::string dir = program_path.substr(0, program_path.find_last_of("\\/"));
  std::string line = "\"" + program_path + "\"";
  for (const std::string& a : args) line += " " + a;
  std::vector<char> cmdline(line.begin(), line.end());
  cmdline.push_back('\0');
  STARTUPINFOA si;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  if (show_cmd >= 0) {
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = static_cast<WORD>(show_cmd);
  }
  if (!CreateProcessA(program_path.c_str(), cmdline.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      dir.c_str(), &si, &child)) {
    std::printf("FAIL cannot start %s (error %lu)\n", program_path.c_str(), GetLastError());
    return false;
  }
  started = true;
  return true;
}

// start [--show N] [ARG ...]: only as the first step; without it the program
// starts plainly before the first step.
bool cmd_start(const Args& a, std::string* why) {
  if (started) {
    *why = "the program runs already (start must be the first step)";
    return false;
  }
  Args rest(a.begin() + 1, a.end());
  long show = -1;
  if (rest.size() >= 2 && rest[0] == "--show") {
    if (!parse_int(rest[1], &show) || show < 0) {
      *why = "bad show command";
      return false;
    }
    rest.erase(rest.begin(), rest.begin() + 2);
  }
  if (start_program(rest, static_cast<int>(show))) return true;
  *why = "CreateProcessA failed";
  return false;
}

// The wizard is on screen in its normal state: visible, neither minimised nor maximised.
bool cmd_expect_window_normal(const Args&, std::string* why) {
  if (!control(1002, why)) return false;
  if (poll(expect_ms, [&] { return IsWindowVisible(wizard) && !IsIconic(wizard) && !IsZoomed(wizard); }))
    return true;
  *why = std::string("window is") + (IsWindowVisible(wizard) ? "" : " hidden") +
         (IsIconic(wizard) ? " minimised" : "") + (IsZoomed(wizard) ? " maximised" : "");
  return false;
}

bool cmd_wait_window(const Args& a, std::string* why) {
  bool ok = poll(timeout_arg(a, 1, 20000), [&] {
    wizard = find_wizard();
    return wizard != nullptr || !child_running();
  });
  if (ok && wizard) return true;
  *why = child_running() ? "no wizard window appeared" : "the program ended before its window appeared";
  return false;
}

bool cmd_wait_caption(const Args& a, std::string* why) {
  std::string caption;
  if (!control(1002, why)) return false;
  if (poll(timeout_arg(a, 2, 10000), [&] { return read_text(wizard, &caption) && caption == a[1]; }))
    return true;
  *why = "caption is " + shown(caption);
  return false;
}

bool expect_state(const Args& a, std::string* why, const char* what, BOOL (*probe)(HWND)) {
  int id;
  long want;
  if (!parse_id(a[1], &id) || !parse_int(a[2], &want)) {
    *why = "bad arguments";
    return false;
  }
  HWND h = control(id, why);
  if (!h) return false;
  if (poll(expect_ms, [&] { return (probe(h) != 0) == (want != 0); })) return true;
  *why = std::string(what) + " is " + (want ? "0" : "1");
  return false;
}

BOOL probe_visible(HWND h) { return own_visible(h); }
BOOL probe_enabled(HWND h) { return IsWindowEnabled(h); }
BOOL probe_checked(HWND h) {
  DWORD_PTR state = 0;
  SendMessageTimeoutA(h, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, kSendMs, &state);
  return state == BST_CHECKED;
}

bool cmd_expect_visible(const Args& a, std::string* why) {
  return expect_state(a, why, "visible", probe_visible);
}
bool cmd_expect_enabled(const Args& a, std::string* why) {
  return expect_state(a, why, "enabled", probe_enabled);
}
bool cmd_expect_checked(const Args& a, std::string* why) {
  return expect_state(a, why, "checked", probe_checked);
}

enum TextMatch { Whole, Part, OneOf };

bool text_matches(const std::string& text, const Args& a, TextMatch how) {
  if (how == Whole) return text == a[2];
  if (how == Part) return text.find(a[2]) != std::string::npos;
  for (size_t i = 2; i < a.size(); ++i)
    if (text == a[i]) return true;
  return false;
}

bool expect_text(const Args& a, std::string* why, TextMatch how) {
  int id;
  if (!parse_id(a[1], &id)) {
    *why = "bad id";
    return false;
  }
  HWND h = control(id == 0 ? 1002 : id, why);
  if (!h) return false;
  if (id == 0) h = wizard;
  std::string text;
  if (poll(expect_ms, [&] {
        return read_text(h, &text) && text_matches(text, a, how);
      }))
    return true;
  *why = "text is " + shown(text);
  return false;
}

bool cmd_expect_text(const Args& a, std::string* why) { return expect_text(a, why, Whole); }
bool cmd_expect_text_contains(const Args& a, std::string* why) { return expect_text(a, why, Part); }
bool cmd_expect_text_one_of(const Args& a, std::string* why) { return expect_text(a, why, OneOf); }

// The visible controls are exactly one of the listed sets.
bool cmd_visible_set(const Args& a, std::string* why) {
  if (!control(1002, why)) return false;
  std::vector<std::set<int>> wanted;
  for (size_t i = 1; i < a.size(); ++i) {
    std::set<int> ids;
    if (!parse_id_set(a[i], &ids)) {
      *why = "bad id list " + shown(a[i]);
      return false;
    }
    wanted.push_back(ids);
  }
  std::set<int> seen;
  if (poll(expect_ms, [&] {
        seen = visible_ids();
        for (const std::set<int>& w : wanted)
          if (w == seen) return true;
        return false;
      }))
    return true;
  *why = "visible are " + id_list(seen);
  return false;
}

bool cmd_type(const Args& a, std::string* why) {
  int id;
  if (!parse_id(a[1], &id)) {
    *why = "bad id";
    return false;
  }
  HWND h = control(id, why);
  if (!h) return false;
  DWORD_PTR r = 0;
  std::wstring text = wide(a[2]);
  if (SendMessageTimeoutW(h, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                          kSendMs, &r))
    return true;
  *why = "WM_SETTEXT timed out";
  return false;
}

// A user can click only a visible, enabled control of an enabled (not blocked) window.
bool cmd_click(const Args& a, std::string* why) {
  int id;
  if (!parse_id(a[1], &id)) {
    *why = "bad id";
    return false;
  }
  HWND h = control(id, why);
  if (!h) return false;
  if (!own_visible(h) || !IsWindowEnabled(h) || !IsWindowEnabled(wizard)) {
    *why = std::string("not clickable:") + (own_visible(h) ? "" : " hidden") +
           (IsWindowEnabled(h) ? "" : " disabled") + (IsWindowEnabled(wizard) ? "" : " window blocked");
    return false;
  }
  PostMessageA(h, BM_CLICK, 0, 0);
  return true;
}

// The close box: the system command that the title bar's button sends.
bool cmd_close(const Args&, std::string* why) {
  if (!control(1002, why)) return false;
  if (!IsWindowEnabled(wizard)) {
    *why = "window blocked by a modal box";
    return false;
  }
  PostMessageA(wizard, WM_SYSCOMMAND, SC_CLOSE, 0);
  return true;
}

bool cmd_wait_box(const Args& a, std::string* why) {
  bool ok = poll(timeout_arg(a, 3, 10000), [&] {
    for (HWND h : other_dialogs()) {
      std::string caption;
      if (read_text(h, &caption) && caption == a[1] && box_has_text(h, a[2])) {
        box = h;
        return true;
      }
    }
    return false;
  });
  if (ok) return true;
  *why = "boxes:" + describe_dialogs();
  return false;
}

bool cmd_answer_box(const Args& a, std::string* why) {
  int id;
  if (!parse_id(a[1], &id)) {
    *why = "bad button id";
    return false;
  }
  if (!box || !IsWindow(box)) {
    *why = "no box (wait-box first)";
    return false;
  }
  HWND button = GetDlgItem(box, id);
  if (!button) {
    *why = "the box has no button " + std::to_string(id);
    return false;
  }
  PostMessageA(button, BM_CLICK, 0, 0);
  HWND answered = box;
  box = nullptr;
  if (poll(5000, [&] { return !IsWindow(answered) || !IsWindowVisible(answered); })) return true;
  *why = "the box stayed open";
  return false;
}

// No box now, and none for a short while.
bool cmd_expect_no_box(const Args& a, std::string* why) {
  DWORD hold = timeout_arg(a, 1, 500);
  DWORD start = GetTickCount();
  do {
    if (!other_dialogs().empty()) {
      *why = "boxes:" + describe_dialogs();
      return false;
    }
    Sleep(kPollMs);
  } while (GetTickCount() - start < hold);
  return true;
}

bool cmd_wait_exit(const Args& a, std::string* why) {
  long want;
  if (!parse_int(a[1], &want)) {
    *why = "bad exit code";
    return false;
  }
  if (WaitForSingleObject(child.hProcess, timeout_arg(a, 2, 10000)) != WAIT_OBJECT_0) {
    *why = "still running; boxes:" + describe_dialogs();
    return false;
  }
  DWORD code = 0;
  GetExitCodeProcess(child.hProcess, &code);
  if (static_cast<long>(code) == want) return true;
  *why = "exit code is " + std::to_string(code);
  return false;
}

bool read_log(std::string* out, std::string* why) {
  std::string path = program_path.substr(0, program_path.find_last_of("\\/") + 1) + "install.log";
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    *why = "no " + path;
    return false;
  }
  char buf[4096];
  size_t n;
  out->clear();
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  std::fclose(f);
  return true;
}

// install.log is exactly these lines, each ended by CR LF.
bool cmd_expect_log(const Args& a, std::string* why) {
  std::string log, want;
  if (!read_log(&log, why)) return false;
  for (size_t i = 1; i < a.size(); ++i) want += a[i] + "\r\n";
  if (log == want) return true;
  *why = "install.log is " + shown(log);
  return false;
}

bool cmd_expect_log_contains(const Args& a, std::string* why) {
  std::string log;
  if (!read_log(&log, why)) return false;
  if (log.find(a[1] + "\r\n") != std::string::npos) return true;
  *why = "no such line; install.log is " + shown(log);
  return false;
}

bool cmd_sleep(const Args& a, std::string* why) {
  long ms;
  if (!parse_int(a[1], &ms) || ms < 0 || ms > 60000) {
    *why = "bad duration";
    return false;
  }
  Sleep(static_cast<DWORD>(ms));
  return true;
}

// Prints the tick count under a name, so that the runner can time a stretch of steps.
bool cmd_mark(const Args& a, std::string*) {
  std::printf("@mark %s %lu\n", a[1].c_str(), static_cast<unsigned long>(GetTickCount()));
  std::fflush(stdout);
  return true;
}

bool cmd_expect_timeout(const Args& a, std::string* why) {
  long ms;
  if (!parse_int(a[1], &ms) || ms < 0 || ms > 60000) {
    *why = "bad duration";
    return false;
  }
  expect_ms = static_cast<DWORD>(ms);
  return true;
}

// Asks the runner for a screenshot of the wizard's area and waits for its reply.
bool cmd_screenshot(const Args& a, std::string* why) {
  RECT r = {0, 0, 0, 0};
  if (wizard && IsWindow(wizard)) GetWindowRect(wizard, &r);
  std::printf("@screenshot %s %ld %ld %ld %ld\n", a[1].c_str(), r.left, r.top, r.right - r.left,
              r.bottom - r.top);
  std::fflush(stdout);
  if (!shots) return true;
  char line[64];
  if (!std::fgets(line, sizeof line, stdin)) {
    *why = "no reply from the runner";
    return false;
  }
  return true;
}

// ---- boxes: kind ------------------------------------------------------------------
// A box's kind is what the user sees: its icon and its buttons. The icon is
// compared on screen with the system icons drawn here, since another
// process's icon handle cannot be read.
struct BoxKind {
  const char* name;
  LPCSTR icon;
  std::set<int> buttons;
};

const BoxKind box_kinds[] = {
    {"error", IDI_HAND, {IDOK}},
    {"question", IDI_QUESTION, {IDYES, IDNO}},
    {"warning", IDI_EXCLAMATION, {IDOK}},
    {"info", IDI_ASTERISK, {IDOK}},
};

std::set<int> box_buttons(HWND h) {
  std::set<int> r;
  for (HWND c : children(h))
    if (window_class(c) == "Button" && own_visible(c)) r.insert(GetDlgCtrlID(c));
  return r;
}

HWND box_icon(HWND h) {
  for (HWND c : children(h))
    if (window_class(c) == "Static" && own_visible(c) && (GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
      return c;
  return nullptr;
}

// 32-bit pixels of a w x h bitmap selected into a memory DC.
struct Pixels {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr, old = nullptr;
  unsigned* bits = nullptr;
  Pixels(int w, int h) {
    BITMAPINFO bi;
    ZeroMemory(&bi, sizeof bi);
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    dc = CreateCompatibleDC(nullptr);
    void* p = nullptr;
    bitmap = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &p, nullptr, 0);
    bits = static_cast<unsigned*>(p);
    if (bitmap) old = static_cast<HBITMAP>(SelectObject(dc, bitmap));
  }
  ~Pixels() {
    if (old) SelectObject(dc, old);
    if (bitmap) DeleteObject(bitmap);
    DeleteDC(dc);
  }
};

// Mean per-channel difference between the screen under the icon control and
// each system icon drawn on the same background; the nearest one names the icon.
const char* icon_on_screen(HWND icon, long* best_diff) {
  RECT r;
  GetWindowRect(icon, &r);
  const int w = GetSystemMetrics(SM_CXICON), h = GetSystemMetrics(SM_CYICON);
  Pixels screen(w, h);
  if (!screen.bits) return nullptr;
  HDC desktop = GetDC(nullptr);
  BitBlt(screen.dc, 0, 0, w, h, desktop, r.left, r.top, SRCCOPY);
  ReleaseDC(nullptr, desktop);
  GdiFlush();
  const char* best = nullptr;
  *best_diff = 0x7fffffff;
  for (const BoxKind& k : box_kinds) {
    Pixels drawn(w, h);
    if (!drawn.bits) return nullptr;
    for (int i = 0; i < w * h; ++i) drawn.bits[i] = screen.bits[0];  // the box's background
    DrawIconEx(drawn.dc, 0, 0, LoadIconA(nullptr, k.icon), w, h, 0, nullptr, DI_NORMAL);
    GdiFlush();
    long diff = 0;
    for (int i = 0; i < w * h; ++i)
      for (int shift = 0; shift < 24; shift += 8)
        diff += std::labs(static_cast<long>((screen.bits[i] >> shift) & 0xff) -
                          static_cast<long>((drawn.bits[i] >> shift) & 0xff));
    diff /= w * h * 3;
    if (diff < *best_diff) {
      *best_diff = diff;
      best = k.name;
    }
  }
  return best;
}

// expect-box-kind KIND: the box of the last wait-box shows KIND's icon and buttons.
bool cmd_expect_box_kind(const Args& a, std::string* why) {
  const BoxKind* kind = nullptr;
  for (const BoxKind& k : box_kinds)
    if (a[1] == k.name) kind = &k;
  if (!kind) {
    *why = "unknown kind";
    return false;
  }
  if (!box || !IsWindow(box)) {
    *why = "no box (wait-box first)";
    return false;
  }
  std::string seen;
  if (poll(expect_ms, [&] {
        std::set<int> buttons = box_buttons(box);
        HWND icon = box_icon(box);
        long diff = 0;
        const char* name = icon ? icon_on_screen(icon, &diff) : nullptr;
        seen = "buttons " + id_list(buttons) + ", icon " + (name ? name : "none") +
               " (difference " + std::to_string(diff) + ")";
        return buttons == kind->buttons && name && std::strcmp(name, kind->name) == 0 && diff < 8;
      }))
    return true;
  *why = seen;
  return false;
}

// ---- the folder picker --------------------------------------------------------------
HWND picker_tree(HWND h) {
  for (HWND c : children(h))
    if (window_class(c) == WC_TREEVIEWA) return c;
  return nullptr;
}

// wait-picker TITLE: the shell's folder picker is open with TITLE above its tree.
bool cmd_wait_picker(const Args& a, std::string* why) {
  bool ok = poll(timeout_arg(a, 2, 10000), [&] {
    for (HWND h : other_dialogs())
      if (picker_tree(h) && box_has_text(h, a[1])) {
        box = h;
        return true;
      }
    return false;
  });
  if (ok) return true;
  *why = "dialogs:" + describe_dialogs();
  return false;
}

// The text of a tree item, read through a buffer in the program's memory
// (TVM_GETITEM takes pointers, which must be valid there).
bool tree_item_text(HWND tree, HTREEITEM item, std::string* out) {
  const SIZE_T text_size = 520;
  char* remote = static_cast<char*>(VirtualAllocEx(child.hProcess, nullptr, sizeof(TVITEMA) + text_size,
                                                   MEM_COMMIT, PAGE_READWRITE));
  if (!remote) return false;
  TVITEMA tv;
  ZeroMemory(&tv, sizeof tv);
  tv.mask = TVIF_TEXT | TVIF_HANDLE;
  tv.hItem = item;
  tv.pszText = remote + sizeof(TVITEMA);
  tv.cchTextMax = static_cast<int>(text_size);
  char text[520] = "";
  DWORD_PTR ok = 0;
  bool done = WriteProcessMemory(child.hProcess, remote, &tv, sizeof tv, nullptr) &&
              SendMessageTimeoutA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(remote),
                                  SMTO_ABORTIFHUNG, kSendMs, &ok) &&
              ok && ReadProcessMemory(child.hProcess, remote + sizeof(TVITEMA), text, text_size, nullptr);
  VirtualFreeEx(child.hProcess, remote, 0, MEM_RELEASE);
  text[text_size - 1] = '\0';
  if (done) *out = text;
  return done;
}

LRESULT tree_send(HWND tree, UINT message, WPARAM w, LPARAM l) {
  DWORD_PTR r = 0;
  SendMessageTimeoutA(tree, message, w, l, SMTO_ABORTIFHUNG, kSendMs, &r);
  return static_cast<LRESULT>(r);
}

// picker-select-child NAME: expands the picker's selected folder and selects its
// child folder NAME, as a click on it would.
bool cmd_picker_select_child(const Args& a, std::string* why) {
  HWND tree = box && IsWindow(box) ? picker_tree(box) : nullptr;
  if (!tree) {
    *why = "no picker (wait-picker first)";
    return false;
  }
  HTREEITEM parent = nullptr;
  std::string names;
  bool ok = poll(expect_ms, [&] {
    parent = reinterpret_cast<HTREEITEM>(tree_send(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
    if (!parent) {
      names = "(nothing selected)";
      return false;
    }
    tree_send(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(parent));
    names.clear();
    for (HTREEITEM item = reinterpret_cast<HTREEITEM>(
             tree_send(tree, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(parent)));
         item; item = reinterpret_cast<HTREEITEM>(
                   tree_send(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(item)))) {
      std::string text;
      if (!tree_item_text(tree, item, &text)) continue;
      names += " " + shown(text);
      if (text == a[1]) {
        tree_send(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
        return tree_send(tree, TVM_GETNEXTITEM, TVGN_CARET, 0) == reinterpret_cast<LRESULT>(item);
      }
    }
    return false;
  });
  if (ok) return true;
  std::string parent_name;
  if (parent) tree_item_text(tree, parent, &parent_name);
  *why = "children of " + shown(parent_name) + ":" + (names.empty() ? " none" : names);
  return false;
}

// ---- files -----------------------------------------------------------------------
bool cmd_make_dir(const Args& a, std::string* why) {
  if (CreateDirectoryW(wide(a[1]).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) return true;
  *why = "CreateDirectoryW failed, error " + std::to_string(GetLastError());
  return false;
}

bool cmd_expect_missing(const Args& a, std::string* why) {
  if (GetFileAttributesW(wide(a[1]).c_str()) == INVALID_FILE_ATTRIBUTES) return true;
  *why = "it exists";
  return false;
}

// The control's text is exactly the bytes of FILE (for multi-line texts with CR LF).
bool cmd_expect_text_file(const Args& a, std::string* why) {
  int id;
  if (!parse_id(a[1], &id)) {
    *why = "bad id";
    return false;
  }
  HWND h = control(id, why);
  if (!h) return false;
  FILE* f = std::fopen(a[2].c_str(), "rb");
  if (!f) {
    *why = "cannot open " + a[2];
    return false;
  }
  std::string want;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) want.append(buf, n);
  std::fclose(f);
  std::string text;
  if (poll(expect_ms, [&] { return read_text(h, &text) && text == want; })) return true;
  *why = "text is " + shown(text) + ", wanted " + shown(want);
  return false;
}

// The progress bar 1301 reaches at least MIN.
bool cmd_wait_progress(const Args& a, std::string* why) {
  long least;
  if (!parse_int(a[1], &least)) {
    *why = "bad position";
    return false;
  }
  HWND h = control(1301, why);
  if (!h) return false;
  DWORD_PTR pos = 0;
  if (poll(timeout_arg(a, 2, 10000), [&] {
        return SendMessageTimeoutA(h, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, kSendMs, &pos) &&
               static_cast<long>(pos) >= least;
      }))
    return true;
  *why = "position is " + std::to_string(pos);
  return false;
}

// The wizard's thread answers a message within MS: it is dispatching messages.
bool cmd_expect_responsive(const Args& a, std::string* why) {
  long ms = 1000;
  if (a.size() > 1 && (!parse_int(a[1], &ms) || ms <= 0)) {
    *why = "bad duration";
    return false;
  }
  if (!control(1002, why)) return false;
  DWORD_PTR r = 0;
  DWORD start = GetTickCount();
  if (SendMessageTimeoutA(wizard, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, static_cast<UINT>(ms), &r)) return true;
  *why = "no answer within " + std::to_string(GetTickCount() - start) + " ms";
  return false;
}

// A file or directory exists at PATH (1) or not (0), within the expect time.
bool cmd_expect_file(const Args& a, std::string* why) {
  long want;
  if (!parse_int(a[2], &want)) {
    *why = "bad arguments";
    return false;
  }
  if (poll(expect_ms, [&] { return (GetFileAttributesW(wide(a[1]).c_str()) != INVALID_FILE_ATTRIBUTES) == (want != 0); }))
    return true;
  *why = want ? "no such file" : "the file exists";
  return false;
}

struct Command {
  const char* name;
  size_t min_args, max_args;  // not counting the name
  bool (*run)(const Args&, std::string*);
  const char* usage;
};

const Command commands[] = {
    {"start", 0, 20, cmd_start, "[--show N] [ARG ...] (first step only)"},
    {"expect-window-normal", 0, 0, cmd_expect_window_normal, ""},
    {"wait-window", 0, 1, cmd_wait_window, "[seconds]"},
    {"wait-caption", 1, 2, cmd_wait_caption, "TEXT [seconds]"},
    {"expect-visible", 2, 2, cmd_expect_visible, "ID 0|1"},
    {"expect-enabled", 2, 2, cmd_expect_enabled, "ID 0|1"},
    {"expect-checked", 2, 2, cmd_expect_checked, "ID 0|1"},
    {"expect-text", 2, 2, cmd_expect_text, "ID TEXT (ID 0: the caption)"},
    {"expect-text-contains", 2, 2, cmd_expect_text_contains, "ID TEXT"},
    {"expect-text-one-of", 2, 8, cmd_expect_text_one_of, "ID TEXT [TEXT ...]"},
    {"visible-set", 1, 8, cmd_visible_set, "\"ID ID ...\" [\"ID ...\" ...] (exactly one of them)"},
    {"type", 2, 2, cmd_type, "ID TEXT"},
    {"click", 1, 1, cmd_click, "ID"},
    {"close", 0, 0, cmd_close, ""},
    {"wait-box", 2, 3, cmd_wait_box, "CAPTION TEXT [seconds]"},
    {"answer-box", 1, 1, cmd_answer_box, "BUTTON-ID (1 OK, 2 Cancel, 6 Yes, 7 No)"},
    {"expect-no-box", 0, 1, cmd_expect_no_box, "[seconds to hold]"},
    {"wait-exit", 1, 2, cmd_wait_exit, "CODE [seconds]"},
    {"expect-log", 0, 200, cmd_expect_log, "LINE ..."},
    {"expect-log-contains", 1, 1, cmd_expect_log_contains, "LINE"},
    {"expect-timeout", 1, 1, cmd_expect_timeout, "MS"},
    {"sleep", 1, 1, cmd_sleep, "MS"},
    {"mark", 1, 1, cmd_mark, "NAME (prints @mark NAME TICKS)"},
    {"screenshot", 1, 1, cmd_screenshot, "NAME"},
    {"expect-box-kind", 1, 1, cmd_expect_box_kind, "error|question|warning|info (icon and buttons)"},
    {"wait-picker", 1, 2, cmd_wait_picker, "TITLE [seconds] (then answer-box 1 OK, 2 Cancel)"},
    {"picker-select-child", 1, 1, cmd_picker_select_child, "NAME (a child of the selected folder)"},
    {"make-dir", 1, 1, cmd_make_dir, "PATH"},
    {"expect-missing", 1, 1, cmd_expect_missing, "PATH"},
    {"expect-text-file", 2, 2, cmd_expect_text_file, "ID FILE (exactly the file's bytes)"},
    {"wait-progress", 1, 2, cmd_wait_progress, "MIN [seconds] (progress bar 1301)"},
    {"expect-file", 2, 2, cmd_expect_file, "PATH 0|1"},
    {"expect-responsive", 0, 1, cmd_expect_responsive, "[ms] (the wizard answers a message)"},
};

// ---- script ------------------------------------------------------------------------
bool split_line(const std::string& line, Args* out) {
  std::string word;
  bool in_word = false, quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quoted) {
      if (c == '\\' && i + 1 < line.size() && line[i + 1] == '"') word += line[++i];
      else if (c == '"') quoted = false;
      else word += c;
    } else if (c == '"') {
      quoted = in_word = true;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (in_word) out->push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) out->push_back(word);
  return !quoted;
}

void expand_dir(std::string* arg) {
  const std::string dir = program_path.substr(0, program_path.find_last_of("\\/"));
  for (size_t at = arg->find("$DIR"); at != std::string::npos; at = arg->find("$DIR", at + dir.size()))
    arg->replace(at, 4, dir);
}

bool load_script(const char* path, std::vector<std::pair<int, Args>>* steps) {
  FILE* f = std::fopen(path, "r");
  if (!f) {
    std::printf("FAIL cannot open script %s\n", path);
    return false;
  }
  char buf[4096];
  int number = 0;
  bool ok = true;
  while (std::fgets(buf, sizeof buf, f)) {
    ++number;
    Args args;
    const char* first = buf + std::strspn(buf, " \t");
    if (*first == '#') continue;  // comments may quote freely
    if (!split_line(buf, &args)) {
      std::printf("FAIL line %d: unclosed quote\n", number);
      ok = false;
    }
    if (args.empty() || args[0][0] == '#') continue;
    for (std::string& arg : args) expand_dir(&arg);
    const Command* cmd = nullptr;
    for (const Command& c : commands)
      if (args[0] == c.name) cmd = &c;
    if (!cmd) {
      std::printf("FAIL line %d: unknown command %s\n", number, args[0].c_str());
      ok = false;
    } else if (args.size() - 1 < cmd->min_args || args.size() - 1 > cmd->max_args) {
      std::printf("FAIL line %d: usage: %s %s\n", number, cmd->name, cmd->usage);
      ok = false;
    }
    steps->push_back(std::make_pair(number, args));
  }
  std::fclose(f);
  return ok;
}

std::string joined(const Args& a) {
  std::string r;
  for (const std::string& s : a) {
    bool plain = !s.empty() && s.find_first_of(" \t\"") == std::string::npos;
    r += (r.empty() ? "" : " ") + (plain ? s : shown(s));
  }
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  if (argc > 1 && std::strcmp(argv[1], "--shots") == 0) {
    shots = true;
    ++first;
  }
  if (argc - first != 2) {
    std::printf("usage: qvdrive [--shots] PROGRAM.exe SCRIPT\ncommands:\n");
    for (const Command& c : commands) std::printf("  %s %s\n", c.name, c.usage);
    return 2;
  }
  program_path = argv[first];
  std::vector<std::pair<int, Args>> steps;
  if (!load_script(argv[first + 1], &steps)) return 1;
  if (steps.empty() || steps[0].second[0] != "start") {
    if (!start_program(Args(), -1)) return 1;
  }

  int failed = 0;
  for (const auto& step : steps) {
    const Command* cmd = nullptr;
    for (const Command& c : commands)
      if (step.second[0] == c.name) cmd = &c;
    std::string why;
    bool ok = cmd->run(step.second, &why);
    std::printf("%s line %d: %s%s%s\n", ok ? "ok  " : "FAIL", step.first, joined(step.second).c_str(),
                ok ? "" : ": ", why.c_str());
    std::fflush(stdout);
    if (!ok) {
      failed = 1;
      break;
    }
  }
  if (started && child_running()) {
    std::printf("note: the program still runs at the end; terminated\n");
    TerminateProcess(child.hProcess, 99);
    WaitForSingleObject(child.hProcess, 5000);
  }
  if (started) {
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
  }
  std::printf("%s\n", failed ? "FAILED" : "PASSED");
  return failed;
}
