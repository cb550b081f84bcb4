// The Win32 side of the platform seam, and the helpers whose results differ on
// Windows (backslash paths, CR LF log lines), checked where they really run:
// under Wine (or Windows). Runs in the current directory, which it may litter.
// Prints one line per failed check; exit code 0 when all passed. The proxy
// cases write the current user's proxy settings and put them back after.
//   platform_check [tls CA.pem GOOD WRONGNAME EXPIRED UNKNOWN]
// adds the TLS cases against servers on 127.0.0.1 at those ports (the
// certificates of tests/tls/make_test_ca.sh), trusting CA.pem in the current
// user's root store first: meant for a test's own Wine prefix.
#include <winsock.h>
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/ui.h"
#include "support/log.h"
#include "support/paths.h"

namespace {
int checks = 0, failures = 0;

bool check(bool ok, const char* what, int line) {
  ++checks;
  if (!ok) {
    ++failures;
    std::printf("FAIL line %d: %s\n", line, what);
  }
  return ok;
}
#define CHECK(cond) check((cond), #cond, __LINE__)
#define CHECK_EQ(a, b) check((a) == (b), #a " == " #b, __LINE__)

std::string read_all(const char* path) {
  std::string r;
  FILE* f = std::fopen(path, "rb");
  if (!f) return r;
  char buf[512];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) r.append(buf, n);
  std::fclose(f);
  return r;
}

void write_all(const char* path, const char* text) {
  FILE* f = std::fopen(path, "wb");
  if (!f) return;
  std::fputs(text, f);
  std::fclose(f);
}

void test_paths() {
  CHECK_EQ(path_join("C:\\dir", "a/b.txt"), "C:\\dir\\a\\b.txt");
  CHECK_EQ(path_join("C:\\dir\\", "x"), "C:\\dir\\x");
  CHECK_EQ(path_join("C:/dir/", "x"), "C:\\dir\\x");
  CHECK_EQ(path_join("C:\\dir", "sub/"), "C:\\dir\\sub\\");
  CHECK_EQ(path_dir("C:\\"), "C:\\");
  CHECK_EQ(path_dir("C:/"), "C:/");
  CHECK_EQ(path_dir("C:\\x"), "C:");
  CHECK_EQ(path_dir("\\x"), "");
  CHECK_EQ(path_dir("name"), "name");
  CHECK_EQ(path_dir("a\\b/c"), "a\\b");
  CHECK_EQ(path_dir("a/b\\c"), "a/b");
  CHECK_EQ(path_dir("dir\\"), "dir");
  // A program in a drive's root logs to C:\install.log.
  CHECK_EQ(path_join(path_dir("C:\\quorvin.exe"), "install.log"), "C:\\install.log");
}

void test_files() {
  CHECK_EQ(plat_mkdir("pc_dir"), 0);
  CHECK_EQ(plat_mkdir("pc_dir"), -1);
  CHECK_EQ(plat_exists("pc_dir"), 1);
  CHECK_EQ(plat_exists("pc_missing"), 0);
  CHECK_EQ(plat_mkdir("pc_missing\\child"), -1);

  write_all("pc_dir\\from.txt", "new");
  write_all("pc_dir\\to.txt", "old");
  CHECK_EQ(plat_rename_replace("pc_dir\\from.txt", "pc_dir\\to.txt"), 0);
  CHECK_EQ(read_all("pc_dir\\to.txt"), "new");
  CHECK_EQ(plat_exists("pc_dir\\from.txt"), 0);
  CHECK_EQ(plat_rename_replace("pc_dir\\from.txt", "pc_dir\\to.txt"), -1);
  CHECK_EQ(plat_remove("pc_dir\\to.txt"), 0);
  CHECK_EQ(plat_remove("pc_dir\\to.txt"), -1);

  // make_dirs over real directories with backslashes; a file in the way fails.
  CHECK_EQ(make_dirs("pc_tree\\a\\b\\"), 0);
  CHECK_EQ(plat_exists("pc_tree\\a\\b"), 1);
  write_all("pc_tree\\file", "x");
  CHECK_EQ(make_dirs("pc_tree\\file\\sub"), -1);

  // Free space of a folder, of one not made yet (its parent's drive) and of a drive root.
  uint64_t here = 0, missing = 0, root = 0;
  CHECK_EQ(plat_free_space("pc_tree", &here), 0);
  CHECK_EQ(plat_free_space("pc_tree\\not\\yet", &missing), 0);
  CHECK_EQ(plat_free_space("C:\\", &root), 0);
  CHECK(here > 0 && missing > 0 && root > 0);
  uint32_t unit = 0;  // the cluster size, from the volume's root
  CHECK_EQ(plat_free_space("pc_tree\\not\\yet", &missing, &unit), 0);
  CHECK(unit >= 512 && (unit & (unit - 1)) == 0);

  std::string exe = plat_exe_path();
  CHECK(exe.size() > 3 && exe[1] == ':' && exe[2] == '\\');
  CHECK(exe.size() > 19 && _stricmp(exe.c_str() + exe.size() - 19, "\\platform_check.exe") == 0);
}

bool local_time_of(const char* path, SYSTEMTIME* creation, SYSTEMTIME* write, FILETIME* access) {
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILETIME c, a, w, lc, lw;
  bool ok = GetFileTime(h, &c, &a, &w) && FileTimeToLocalFileTime(&c, &lc) &&
            FileTimeToLocalFileTime(&w, &lw) && FileTimeToSystemTime(&lc, creation) &&
            FileTimeToSystemTime(&lw, write);
  *access = a;
  CloseHandle(h);
  return ok;
}

bool is_time(const SYSTEMTIME& t, int y, int mo, int d, int h, int mi, int s) {
  return t.wYear == y && t.wMonth == mo && t.wDay == d && t.wHour == h && t.wMinute == mi &&
         t.wSecond == s;
}

void test_file_time() {
  write_all("pc_time.txt", "t");
  SYSTEMTIME c0, w0;
  FILETIME a0, a1;
  CHECK(local_time_of("pc_time.txt", &c0, &w0, &a0));
  // 2001-02-03 04:05:06 local time.
  uint32_t date = ((2001 - 1980) << 9) | (2 << 5) | 3, time = (4 << 11) | (5 << 5) | (6 / 2);
  plat_set_file_time_dos("pc_time.txt", (date << 16) | time);
  SYSTEMTIME c1, w1;
  CHECK(local_time_of("pc_time.txt", &c1, &w1, &a1));
  CHECK(is_time(c1, 2001, 2, 3, 4, 5, 6));
  CHECK(is_time(w1, 2001, 2, 3, 4, 5, 6));
  CHECK(CompareFileTime(&a0, &a1) == 0);

  // An invalid date (month 0) leaves the file's times as they were.
  plat_set_file_time_dos("pc_time.txt", (((2010 - 1980) << 9) | (0 << 5) | 1) << 16);
  CHECK(local_time_of("pc_time.txt", &c1, &w1, &a1));
  CHECK(is_time(w1, 2001, 2, 3, 4, 5, 6));
  // A missing file, or one held open without sharing, is passed over silently.
  plat_set_file_time_dos("pc_missing.txt", (date << 16) | time);
  write_all("pc_busy.txt", "b");
  HANDLE busy = CreateFileA("pc_busy.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  plat_set_file_time_dos("pc_busy.txt", (date << 16) | time);
  CloseHandle(busy);
  CHECK(local_time_of("pc_busy.txt", &c1, &w1, &a1));
  CHECK(!is_time(w1, 2001, 2, 3, 4, 5, 6));
}

void test_log() {
  log_open_at("pc_log.txt");
  log_message("first %d", 1);
  log_message("second");
  log_close();
  CHECK_EQ(read_all("pc_log.txt"), "first 1\r\nsecond\r\n");
}

volatile LONG worker_ran = 0;

unsigned sleepy_worker(void* arg) {
  Sleep(*static_cast<unsigned*>(arg));
  InterlockedExchange(&worker_ran, 1);
  return 0;
}

void test_threads_and_wait() {
  unsigned ms = 300;
  plat_thread t = plat_thread_start(sleepy_worker, &ms);
  CHECK(t != nullptr);
  CHECK_EQ(plat_thread_done(t), 0);
  CHECK_EQ(plat_thread_wait(t, 20), 0);  // still running after the wait
  CHECK_EQ(plat_thread_wait(t, 10000), 1);
  plat_thread_join(t);
  CHECK_EQ(plat_thread_done(t), 1);
  CHECK_EQ(worker_ran, 1);
  plat_thread_close(t);

  // The download's wait: a waiting message wakes it, the quit request is told apart.
  MSG m;
  PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);  // gives this thread its queue
  t = plat_thread_start(sleepy_worker, &ms);
  PostThreadMessageA(GetCurrentThreadId(), WM_USER, 0, 0);
  CHECK_EQ(ui_wait_thread_or_messages(t), 1);
  CHECK_EQ(ui_take_message(), 1);
  CHECK_EQ(ui_take_message(), 0);
  ui_post_quit();
  CHECK_EQ(ui_wait_thread_or_messages(t), 1);
  CHECK_EQ(ui_take_message(), 2);
  CHECK_EQ(ui_take_message(), 0);
  uint32_t start = plat_tick_ms();
  CHECK_EQ(ui_wait_thread_or_messages(t), 0);  // nothing more arrives: the thread's end
  CHECK_EQ(plat_thread_done(t), 1);
  CHECK(plat_tick_ms() - start < 2000);
  plat_thread_close(t);
  CHECK_EQ(ui_wait_thread_or_messages(nullptr), 0);

  plat_mutex mutex = plat_mutex_create();
  plat_mutex_lock(mutex);
  plat_mutex_unlock(mutex);
  start = plat_tick_ms();
  plat_sleep_ms(100);
  CHECK(plat_tick_ms() - start >= 90);
}

struct Receiver {
  plat_socket s;
  int result;
};

struct TlsReceiver {
  plat_tls t;
  int result;
};

unsigned blocked_tls_receiver(void* arg) {
  TlsReceiver* r = static_cast<TlsReceiver*>(arg);
  char c;
  r->result = plat_tls_recv(r->t, &c, 1);
  return 0;
}

unsigned blocked_receiver(void* arg) {
  Receiver* r = static_cast<Receiver*>(arg);
  char c;
  r->result = plat_recv(r->s, &c, 1);
  return 0;
}

// A listening socket on a free loopback port.
SOCKET loopback_listener(int backlog, int* port) {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof sa;
  CHECK(bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0);
  CHECK(listen(listener, backlog) == 0);
  CHECK(getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len) == 0);
  *port = ntohs(sa.sin_port);
  return listener;
}

void test_sockets() {
  plat_net_startup();
  uint32_t addr = 0;
  CHECK_EQ(plat_resolve_ipv4("127.0.0.1", &addr), 0);
  CHECK_EQ(addr, htonl(INADDR_LOOPBACK));
  CHECK_EQ(plat_resolve_ipv4("no-such-host.invalid", &addr), -1);

  int port = 0;
  SOCKET listener = loopback_listener(1, &port);

  plat_socket s = plat_tcp_socket();
  CHECK(s != PLAT_INVALID_SOCKET);
  CHECK_EQ(plat_connect(s, addr, port, 5000), 0);
  SOCKET peer = accept(listener, nullptr, nullptr);
  CHECK(peer != INVALID_SOCKET);
  CHECK_EQ(send(peer, "hello", 5, 0), 5);
  char buf[16];
  int got = 0, n;
  while (got < 5 && (n = plat_recv(s, buf + got, sizeof buf - got)) > 0) got += n;
  CHECK_EQ(std::string(buf, got), "hello");
  CHECK_EQ(plat_send(s, "ok", 2), 2);
  CHECK_EQ(recv(peer, buf, sizeof buf, 0), 2);

  // A receive time-out is told apart from other failures.
  plat_set_recv_timeout(s, 200);
  uint32_t start = plat_tick_ms();
  CHECK_EQ(plat_recv(s, buf, sizeof buf), -1);
  CHECK_EQ(plat_recv_timed_out(), 1);
  CHECK(plat_tick_ms() - start < 3000);
  plat_set_recv_timeout(s, 0);

  // Closing the socket ends a receive blocked on it in another thread.
  Receiver r = {s, 99};
  plat_thread t = plat_thread_start(blocked_receiver, &r);
  Sleep(200);
  CHECK_EQ(plat_thread_done(t), 0);
  plat_close_socket(s);
  start = plat_tick_ms();
  while (!plat_thread_done(t) && plat_tick_ms() - start < 3000) Sleep(20);
  CHECK_EQ(plat_thread_done(t), 1);
  CHECK(r.result <= 0);
  if (plat_thread_done(t)) plat_thread_close(t);

  // A listener whose queue is full drops the next connection's SYN, as a host
  // that never answers does: the connect ends at its time-out, not later.
  // Connections are queued, unaccepted, until the queue is full.
  plat_socket queued[8];
  int tries = 0, connected = 0;
  uint32_t spent = 0;
  for (; tries < 8 && connected == 0; ++tries) {
    queued[tries] = plat_tcp_socket();
    start = plat_tick_ms();
    connected = plat_connect(queued[tries], addr, port, 400);
    spent = plat_tick_ms() - start;
  }
  CHECK_EQ(connected, PLAT_TIMED_OUT);
  CHECK(spent >= 390 && spent < 600);
  while (tries > 0) plat_close_socket(queued[--tries]);

  // Nobody listens on the port once the listener is gone.
  closesocket(peer);
  closesocket(listener);
  plat_socket refused = plat_tcp_socket();
  CHECK_EQ(plat_connect(refused, addr, port, 5000), -1);
  plat_close_socket(refused);
  plat_net_cleanup();
}

// ---- the proxy settings -------------------------------------------------------
const char CONNECTIONS_KEY[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// Writes the current user's DefaultConnectionSettings, the blob in which the
// settings dialog keeps them: version 0x46, a counter, the flags (1 direct,
// 2 proxy, 4 script, 8 detection), then the proxy, the bypass list and the
// script URL as a DWORD length and bytes each, then 32 zero bytes.
void set_connection_settings(DWORD flags, const char* proxy, const char* bypass, const char* script) {
  std::string blob;
  auto dword = [&blob](DWORD v) { blob.append(reinterpret_cast<const char*>(&v), 4); };
  dword(0x46);
  dword(1);
  dword(flags);
  for (const char* text : {proxy, bypass, script}) {
    dword(static_cast<DWORD>(std::strlen(text)));
    blob += text;
  }
  blob.append(32, '\0');
  HKEY key;
  if (!CHECK(RegCreateKeyExA(HKEY_CURRENT_USER, CONNECTIONS_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                             nullptr) == ERROR_SUCCESS))
    return;
  CHECK(RegSetValueExA(key, "DefaultConnectionSettings", 0, REG_BINARY,
                       reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size())) == ERROR_SUCCESS);
  RegCloseKey(key);
}

void test_proxy_settings() {
  // The settings there were before, put back at the end.
  HKEY key;
  std::string saved;
  bool had = false;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, CONNECTIONS_KEY, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
    DWORD size = 0;
    if (RegQueryValueExA(key, "DefaultConnectionSettings", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
      saved.resize(size);
      had = RegQueryValueExA(key, "DefaultConnectionSettings", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(&saved[0]), &size) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
  }

  // A manual proxy per scheme and its bypass list, as they are kept.
  PlatProxySettings got;
  set_connection_settings(1 | 2, "http=127.0.0.1:3128;https=127.0.0.1:3129", "<local>;*.example.org", "");
  CHECK_EQ(plat_proxy_settings("http://example.net:80/a", &got), 0);
  CHECK_EQ(got.proxies, std::string("http=127.0.0.1:3128;https=127.0.0.1:3129"));
  CHECK_EQ(got.bypass, std::string("<local>;*.example.org"));
  CHECK(!got.bypass_suffixes);

  // A configuration script whose server takes the connection and never
  // answers: the manual settings after at most 5 s, and at once from then on.
  plat_net_startup();
  int silent_port = 0;
  SOCKET silent = loopback_listener(4, &silent_port);
  std::string script = "http://127.0.0.1:" + std::to_string(silent_port) + "/proxy.pac";
  set_connection_settings(1 | 2 | 4, "127.0.0.1:3128", "", script.c_str());
  uint32_t start = plat_tick_ms();
  CHECK_EQ(plat_proxy_settings("http://example.net:80/a", &got), 0);
  uint32_t took = plat_tick_ms() - start;
  CHECK(took >= 4900 && took < 7500);
  CHECK_EQ(got.proxies, std::string("127.0.0.1:3128"));
  start = plat_tick_ms();
  CHECK_EQ(plat_proxy_settings("http://example.net:80/b", &got), 0);
  CHECK(plat_tick_ms() - start < 1000);
  CHECK_EQ(got.proxies, std::string("127.0.0.1:3128"));
  closesocket(silent);
  plat_net_cleanup();

  if (RegOpenKeyExA(HKEY_CURRENT_USER, CONNECTIONS_KEY, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
    if (had)
      RegSetValueExA(key, "DefaultConnectionSettings", 0, REG_BINARY, reinterpret_cast<const BYTE*>(saved.data()),
                     static_cast<DWORD>(saved.size()));
    else
      RegDeleteValueA(key, "DefaultConnectionSettings");
    RegCloseKey(key);
  }
}

// ---- TLS against the test servers --------------------------------------------
enum { GOOD, WRONGNAME, EXPIRED, UNKNOWN, SERVERS };

bool trust_test_ca(const char* pem_path) {
  std::string pem = read_all(pem_path);
  BYTE der[4096];
  DWORD der_len = sizeof der;
  if (pem.empty() || !CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der, &der_len,
                                           nullptr, nullptr))
    return false;
  HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER,
                                  L"Root");
  bool ok = root && CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der, der_len,
                                                     CERT_STORE_ADD_USE_EXISTING, nullptr);
  if (root) CertCloseStore(root, 0);
  return ok;
}

plat_socket dial(int port) {
  uint32_t addr = htonl(INADDR_LOOPBACK);
  plat_socket s = plat_tcp_socket();
  if (plat_connect(s, addr, port, 5000) != 0) {
    plat_close_socket(s);
    return PLAT_INVALID_SOCKET;
  }
  plat_set_recv_timeout(s, 5000);
  return s;
}

// The generated body of qvserve's size=N, checked after the reply's head.
bool body_ok(const std::string& reply, size_t size) {
  size_t at = reply.find("\r\n\r\n");
  if (at == std::string::npos || reply.size() - at - 4 != size) return false;
  for (size_t i = 0; i < size; ++i)
    if (static_cast<unsigned char>(reply[at + 4 + i]) != i % 251) return false;
  return true;
}

struct TlsCase {
  int server;
  const char* host;
  const char* query;  // the path asked for once the session stands
  int failure;
  size_t body;  // bytes of body expected
  int end;      // what the last plat_tls_recv returns
  int chunk;    // bytes asked for per plat_tls_recv
};

void test_tls(char** args) {
  plat_net_startup();
  CHECK(trust_test_ca(args[0]));
  int ports[SERVERS];
  for (int i = 0; i < SERVERS; ++i) ports[i] = std::atoi(args[1 + i]);
  const TlsCase cases[] = {
      // A request larger than a record; reads smaller and larger than one.
      {GOOD, "localhost", "/?size=100000", PLAT_TLS_OK, 100000, 0, 1000},
      {GOOD, "localhost", "/?size=70000", PLAT_TLS_OK, 70000, 0, 65536},
      {GOOD, "127.0.0.1", "/?size=10", PLAT_TLS_OK, 10, 0, 100},  // no SNI for an address
      {GOOD, "localhost", "/?size=30000&notify=0", PLAT_TLS_OK, 30000, PLAT_TLS_CUT, 4096},
      {WRONGNAME, "localhost", "", PLAT_TLS_NAME_MISMATCH, 0, 0, 0},
      {UNKNOWN, "localhost", "", PLAT_TLS_UNKNOWN_ISSUER, 0, 0, 0},
      {EXPIRED, "localhost", "", PLAT_TLS_EXPIRED, 0, 0, 0},
  };
  for (const TlsCase& c : cases) {
    plat_socket s = dial(ports[c.server]);
    CHECK(s != PLAT_INVALID_SOCKET);
    int failure = -1;
    std::string detail;
    plat_tls t = plat_tls_connect(s, c.host, &failure, &detail);
    if (!CHECK_EQ(failure, c.failure))
      std::printf("server %d as %s: failure %d (%s)\n", c.server, c.host, failure, detail.c_str());
    CHECK_EQ(t != nullptr, c.failure == PLAT_TLS_OK);
    CHECK_EQ(detail.empty(), c.failure == PLAT_TLS_OK);
    if (t) {
      std::string request = std::string("GET ") + c.query + " HTTP/1.0\r\nX-Pad: " +
                            std::string(40000, 'p') + "\r\n\r\n";
      CHECK_EQ(plat_tls_send(t, request.data(), static_cast<int>(request.size())),
               static_cast<int>(request.size()));
      std::string reply;
      std::vector<char> buf(c.chunk);
      int n;
      while ((n = plat_tls_recv(t, buf.data(), c.chunk)) > 0) {
        CHECK(n <= c.chunk);
        reply.append(buf.data(), n);
      }
      CHECK_EQ(n, c.end);
      CHECK(body_ok(reply, c.body));
      CHECK_EQ(plat_tls_recv(t, buf.data(), c.chunk), c.end);  // and again
      plat_tls_free(t);
    }
    plat_close_socket(s);
  }

  // A stalled body: the receive time-out ends the read, told as such, in time.
  plat_socket s = dial(ports[GOOD]);
  int failure;
  std::string detail;
  plat_tls t = plat_tls_connect(s, "localhost", &failure, &detail);
  CHECK(t != nullptr);
  const char stall[] = "GET /?size=5000&stall=1000 HTTP/1.0\r\n\r\n";
  CHECK_EQ(plat_tls_send(t, stall, sizeof stall - 1), static_cast<int>(sizeof stall - 1));
  char buf[8192];
  int n, got = 0;
  plat_set_recv_timeout(s, 400);
  uint32_t start = plat_tick_ms();
  while ((n = plat_tls_recv(t, buf, sizeof buf)) > 0) got += n;
  uint32_t spent = plat_tick_ms() - start;
  CHECK_EQ(n, -1);
  CHECK_EQ(plat_recv_timed_out(), 1);
  CHECK(got > 1000 && spent >= 380 && spent < 600);
  // Closing the socket ends a receive blocked in another thread.
  plat_set_recv_timeout(s, 0);
  TlsReceiver r = {t, 99};
  plat_thread th = plat_thread_start(blocked_tls_receiver, &r);
  Sleep(200);
  CHECK_EQ(plat_thread_done(th), 0);
  plat_close_socket(s);
  start = plat_tick_ms();
  while (!plat_thread_done(th) && plat_tick_ms() - start < 3000) Sleep(20);
  CHECK_EQ(plat_thread_done(th), 1);
  CHECK_EQ(r.result, -1);
  if (plat_thread_done(th)) plat_thread_close(th);
  plat_tls_free(t);

  // A peer that never speaks fails the handshake at the receive time-out; one
  // that answers with something other than TLS fails it at once.
  int listener_port = 0;
  SOCKET listener = loopback_listener(2, &listener_port);
  for (int garbage = 0; garbage < 2; ++garbage) {
    s = dial(listener_port);
    SOCKET peer = accept(listener, nullptr, nullptr);
    if (garbage) send(peer, "HTTP/1.0 400 Bad Request\r\n\r\n", 28, 0);
    plat_set_recv_timeout(s, 500);
    start = plat_tick_ms();
    t = plat_tls_connect(s, "localhost", &failure, &detail);
    spent = plat_tick_ms() - start;
    CHECK(t == nullptr);
    CHECK_EQ(failure, PLAT_TLS_HANDSHAKE_FAILED);
    CHECK(!detail.empty());
    if (!CHECK(garbage ? spent < 400 : spent >= 480 && spent < 750))
      std::printf("%s peer: failure %d (%s) after %u ms\n", garbage ? "garbage" : "silent", failure,
                  detail.c_str(), static_cast<unsigned>(spent));
    closesocket(peer);
    plat_close_socket(s);
  }
  closesocket(listener);
  plat_net_cleanup();
}
}  // namespace

int main(int argc, char** argv) {
  // "trust CA.pem": only adds the test authority to this prefix's store, for
  // the end-to-end runs over https.
  if (argc == 3 && std::strcmp(argv[1], "trust") == 0) return trust_test_ca(argv[2]) ? 0 : 1;
  test_paths();
  test_files();
  test_file_time();
  test_log();
  test_threads_and_wait();
  test_sockets();
  test_proxy_settings();
  if (argc == 3 + SERVERS && std::strcmp(argv[1], "tls") == 0)
    test_tls(argv + 2);
  else
    std::printf("no TLS servers given: the TLS cases were not run\n");
  std::printf("%d checks, %d failed\n", checks, failures);
  return failures ? 1 : 0;
}
