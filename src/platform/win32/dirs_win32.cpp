// Directory trees over Win32: kinds, listings, times, removal.
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32.h"

int plat_path_kind(const char* path) {
  DWORD attr = GetFileAttributesW(win32_wide(path).c_str());
  if (attr == INVALID_FILE_ATTRIBUTES) return PLAT_KIND_NONE;
  if (attr & FILE_ATTRIBUTE_DIRECTORY) return PLAT_KIND_DIR;
  if (attr & FILE_ATTRIBUTE_DEVICE) return PLAT_KIND_OTHER;
  return PLAT_KIND_FILE;
}

int plat_list_dir(const char* path, std::vector<std::string>& names) {
  names.clear();
  std::string pattern = path;
  if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(win32_wide(pattern.c_str()).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : -1;
  do {
    if (std::wcscmp(data.cFileName, L".") == 0 || std::wcscmp(data.cFileName, L"..") == 0) continue;
    names.push_back(win32_utf8(data.cFileName));
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return 0;
}

int plat_file_time_dos(const char* path, uint32_t* dos_date_time) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(win32_wide(path).c_str(), GetFileExInfoStandard, &data)) return -1;
  FILETIME local;
  WORD date = 0, time = 0;
  if (!FileTimeToLocalFileTime(&data.ftLastWriteTime, &local)) return -1;
  // Before 1980 FileTimeToDosDateTime fails: clamp like the POSIX side does.
  if (!FileTimeToDosDateTime(&local, &date, &time)) {
    SYSTEMTIME st;
    if (FileTimeToSystemTime(&local, &st) && st.wYear > 2107)
      *dos_date_time = (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;
    else
      *dos_date_time = (1u << 21) | (1u << 16);
    return 0;
  }
  *dos_date_time = (static_cast<uint32_t>(date) << 16) | time;
  return 0;
}

int plat_rmdir(const char* path) { return RemoveDirectoryW(win32_wide(path).c_str()) ? 0 : -1; }

int plat_full_path(const char* path, std::string& full) {
  if (GetFileAttributesW(win32_wide(path).c_str()) == INVALID_FILE_ATTRIBUTES) return -1;
  std::wstring wide = win32_wide(path);
  DWORD need = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (need == 0) return -1;
  std::wstring text(need, L'\0');
  DWORD got = GetFullPathNameW(wide.c_str(), need, &text[0], nullptr);
  if (got == 0 || got >= need) return -1;
  text.resize(got);
  full = win32_utf8(text.c_str());
  return 0;
}

int plat_file_size(const char* path, uint64_t* bytes) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(win32_wide(path).c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return -1;
  *bytes = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return 0;
}

namespace {
// One argument as the C runtime's command-line parser reads it back: quoted,
// with the backslashes before a quote doubled.
std::string quoted(const std::string& arg) {
  std::string out = "\"";
  size_t slashes = 0;
  for (char c : arg) {
    // The backslashes so far are already out; one before a quote needs them doubled and one more.
    if (c == '\\') {
      ++slashes;
    } else {
      if (c == '"') out.append(slashes + 1, '\\');
      slashes = 0;
    }
    out += c;
  }
  out.append(slashes, '\\');
  return out + "\"";
}
}  // namespace

int plat_run_program(const std::vector<std::string>& argv) {
  if (argv.empty()) return -1;
  std::string line;
  for (const std::string& a : argv) line += (line.empty() ? "" : " ") + quoted(a);
  std::wstring wide = win32_wide(line.c_str());
  STARTUPINFOW start;
  std::memset(&start, 0, sizeof start);
  start.cb = sizeof start;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(nullptr, &wide[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &process)) return -1;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  bool got = GetExitCodeProcess(process.hProcess, &code) != 0;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return got ? static_cast<int>(code) : -1;
}
