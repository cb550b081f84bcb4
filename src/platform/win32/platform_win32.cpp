// Win32 side of the platform seam: Winsock 1.1, threads, time, files, process.
#include <winsock.h>
#include <windows.h>

#include <direct.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "platform/win32/win32.h"

namespace {
HINSTANCE module_instance = nullptr;
}

void win32_set_instance(HINSTANCE instance) { module_instance = instance; }

std::wstring win32_wide(const char* utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &wide[0], n);
  wide.resize(static_cast<size_t>(n - 1));
  return wide;
}

std::string win32_utf8(const wchar_t* wide) {
  int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string utf8(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, &utf8[0], n, nullptr, nullptr);
  utf8.resize(static_cast<size_t>(n - 1));
  return utf8;
}
HINSTANCE win32_instance() { return module_instance; }

// ---- sockets ----------------------------------------------------------------
void plat_net_startup() {
  WSADATA data;
  WSAStartup(MAKEWORD(1, 1), &data);
}

void plat_net_cleanup() { WSACleanup(); }

int plat_resolve_ipv4(const char* host, uint32_t* addr_be) {
  hostent* he = gethostbyname(host);
  if (!he || he->h_addrtype != AF_INET || he->h_length != 4 || !he->h_addr_list[0]) return -1;
  std::memcpy(addr_be, he->h_addr_list[0], 4);
  return 0;
}

plat_socket plat_tcp_socket() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  return s == INVALID_SOCKET ? PLAT_INVALID_SOCKET : static_cast<plat_socket>(s);
}

int plat_connect(plat_socket s, uint32_t addr_be, int port, int timeout_ms) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
  sa.sin_addr.s_addr = addr_be;
  SOCKET sock = static_cast<SOCKET>(s);
  u_long nonblocking = 1;
  if (ioctlsocket(sock, FIONBIO, &nonblocking) != 0) return -1;
  int result = 0;
  if (connect(sock, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    result = -1;
    if (WSAGetLastError() == WSAEWOULDBLOCK) {
      // A refused connection shows in the except set, a made one in the write set.
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(sock, &writable);
      FD_SET(sock, &failed);
      timeval wait;
      wait.tv_sec = timeout_ms / 1000;
      wait.tv_usec = (timeout_ms % 1000) * 1000;
      int ready = select(0, nullptr, &writable, &failed, &wait);
      if (ready == 0)
        result = PLAT_TIMED_OUT;
      else if (ready > 0 && FD_ISSET(sock, &writable) && !FD_ISSET(sock, &failed))
        result = 0;
    }
  }
  nonblocking = 0;
  if (ioctlsocket(sock, FIONBIO, &nonblocking) != 0) return -1;
  return result;
}

int plat_send(plat_socket s, const char* data, int len) {
  return send(static_cast<SOCKET>(s), data, len, 0);
}

int plat_recv(plat_socket s, char* data, int len) {
  return recv(static_cast<SOCKET>(s), data, len, 0);
}

// Winsock keeps the last error per thread, so this answers for the calling thread.
int plat_recv_timed_out() { return WSAGetLastError() == WSAETIMEDOUT ? 1 : 0; }

void plat_set_recv_timeout(plat_socket s, int ms) {
  DWORD value = ms > 0 ? static_cast<DWORD>(ms) : 0;
  setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
             sizeof value);
}

// closesocket makes a recv blocked on the socket in another thread return.
void plat_close_socket(plat_socket s) { closesocket(static_cast<SOCKET>(s)); }

// ---- threads and time -------------------------------------------------------
namespace {
struct ThreadStart {
  plat_thread_fn fn;
  void* arg;
};

DWORD WINAPI thread_main(LPVOID p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  return start.fn(start.arg);
}
}  // namespace

plat_thread plat_thread_start(plat_thread_fn fn, void* arg) {
  ThreadStart* start = new (std::nothrow) ThreadStart{fn, arg};
  if (!start) return nullptr;
  DWORD id;
  HANDLE h = CreateThread(nullptr, 0, thread_main, start, 0, &id);
  if (!h) {
    delete start;
    return nullptr;
  }
  return h;
}

void plat_thread_join(plat_thread t) {
  if (t) WaitForSingleObject(static_cast<HANDLE>(t), INFINITE);
}

int plat_thread_done(plat_thread t) { return plat_thread_wait(t, 0); }

int plat_thread_wait(plat_thread t, unsigned ms) {
  if (!t) return 1;
  return WaitForSingleObject(static_cast<HANDLE>(t), ms) == WAIT_OBJECT_0 ? 1 : 0;
}

void plat_thread_close(plat_thread t) {
  if (t) CloseHandle(static_cast<HANDLE>(t));
}

plat_mutex plat_mutex_create() {
  CRITICAL_SECTION* cs = new CRITICAL_SECTION;
  InitializeCriticalSection(cs);
  return cs;
}
void plat_mutex_lock(plat_mutex m) { EnterCriticalSection(static_cast<CRITICAL_SECTION*>(m)); }
void plat_mutex_unlock(plat_mutex m) { LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(m)); }

plat_sem plat_sem_create(unsigned initial) {
  return CreateSemaphoreA(nullptr, static_cast<LONG>(initial), 0x7FFFFFFF, nullptr);
}
void plat_sem_post(plat_sem s) { ReleaseSemaphore(static_cast<HANDLE>(s), 1, nullptr); }
void plat_sem_wait(plat_sem s) { WaitForSingleObject(static_cast<HANDLE>(s), INFINITE); }
void plat_sem_destroy(plat_sem s) {
  if (s) CloseHandle(static_cast<HANDLE>(s));
}

uint32_t plat_tick_ms() { return GetTickCount(); }
void plat_sleep_ms(unsigned ms) { Sleep(ms); }

// ---- files and process ------------------------------------------------------
int plat_exists(const char* path) { return _waccess(win32_wide(path).c_str(), 0) == 0 ? 1 : 0; }

int plat_mkdir(const char* path) { return CreateDirectoryW(win32_wide(path).c_str(), nullptr) ? 0 : -1; }

int plat_remove(const char* path) { return _wremove(win32_wide(path).c_str()) == 0 ? 0 : -1; }

std::FILE* plat_fopen(const char* path, const char* mode) {
  return _wfopen(win32_wide(path).c_str(), win32_wide(mode).c_str());
}

std::string plat_ansi_to_utf8(const std::string& text) {
  int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return text;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], n);
  return win32_utf8(wide.c_str());
}

int plat_free_space(const char* path, uint64_t* bytes, uint32_t* unit) {
  std::wstring at = win32_wide(path);
  for (;;) {
    ULARGE_INTEGER avail;
    if (GetDiskFreeSpaceExW(at.c_str(), &avail, nullptr, nullptr)) {
      *bytes = avail.QuadPart;
      if (unit) {
        // The cluster size is told for a volume's root only.
        wchar_t root[MAX_PATH];
        DWORD sectors = 0, sector_bytes = 0, free_clusters, clusters;
        *unit = GetVolumePathNameW(at.c_str(), root, MAX_PATH) &&
                        GetDiskFreeSpaceW(root, &sectors, &sector_bytes, &free_clusters, &clusters) &&
                        sectors * sector_bytes > 0
                    ? sectors * sector_bytes
                    : 1;
      }
      return 0;
    }
    size_t cut = at.find_last_of(L"\\/");
    if (cut == std::wstring::npos) return -1;
    // A drive's root keeps its separator: "C:" alone is the drive's current folder.
    size_t keep = cut > 0 && at[cut - 1] == L':' ? cut + 1 : cut;
    if (keep == 0 || keep >= at.size()) return -1;
    at.resize(keep);
  }
}

int plat_rename_replace(const char* from, const char* to) {
  return MoveFileExW(win32_wide(from).c_str(), win32_wide(to).c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : -1;
}

namespace {
// UTC for an MS-DOS date and time read as local time.
bool dos_file_time(uint32_t dos_date_time, FILETIME* utc) {
  FILETIME local;
  return DosDateTimeToFileTime(static_cast<WORD>(dos_date_time >> 16),
                               static_cast<WORD>(dos_date_time & 0xFFFF), &local) &&
         LocalFileTimeToFileTime(&local, utc);
}
}  // namespace

void plat_set_file_time_dos(const char* path, uint32_t dos_date_time) {
  HANDLE h = CreateFileW(win32_wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  FILETIME utc;
  if (dos_file_time(dos_date_time, &utc)) SetFileTime(h, &utc, nullptr, &utc);
  CloseHandle(h);
}

void plat_set_stream_time_dos(std::FILE* f, uint32_t dos_date_time) {
  FILETIME utc;
  if (std::fflush(f) != 0 || !dos_file_time(dos_date_time, &utc)) return;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
  // A null time leaves the last-access time as it is.
  if (h != INVALID_HANDLE_VALUE) SetFileTime(h, &utc, nullptr, &utc);
}

int plat_oem_to_utf16(const char* bytes, size_t len, std::u16string& text) {
  text.clear();
  if (len == 0) return 0;
  int n = MultiByteToWideChar(CP_OEMCP, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(len), nullptr, 0);
  if (n <= 0) return -1;
  text.resize(static_cast<size_t>(n));
  return MultiByteToWideChar(CP_OEMCP, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(len),
                             reinterpret_cast<wchar_t*>(&text[0]), n) == n
             ? 0
             : -1;
}

std::string plat_exe_path() {
  wchar_t buf[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
  // A cut name is not terminated on older systems.
  if (n >= MAX_PATH) n = MAX_PATH - 1;
  buf[n] = L'\0';
  return win32_utf8(buf);
}

void plat_exit(int code) {
  ExitProcess(static_cast<UINT>(code));
}
