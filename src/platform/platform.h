// The one seam between the program and the operating system.
// Everything in src/ outside src/platform reaches the OS only through these calls
// (plus the C runtime's stdio). There is a Win32 side and a POSIX side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// ---- sockets ----------------------------------------------------------------
typedef intptr_t plat_socket;
const plat_socket PLAT_INVALID_SOCKET = -1;

// Starts the socket library (WSAStartup 1.1 on Win32; nothing on POSIX).
void plat_net_startup();
void plat_net_cleanup();
// Resolves a host name to its first IPv4 address, in network byte order.
// Returns 0 on success, -1 when the lookup fails.
int plat_resolve_ipv4(const char* host, uint32_t* addr_be);
// Creates a TCP stream socket; PLAT_INVALID_SOCKET on failure.
plat_socket plat_tcp_socket();
// Connects to addr_be:port, waiting at most timeout_ms for the peer's answer.
// 0 on success, -1 on failure, PLAT_TIMED_OUT when no answer came in time.
// The socket is blocking again afterwards.
const int PLAT_TIMED_OUT = -2;
int plat_connect(plat_socket s, uint32_t addr_be, int port, int timeout_ms);
// One send call; returns the platform's result (bytes sent, or -1).
int plat_send(plat_socket s, const char* data, int len);
// One receive call; returns bytes received, 0 at end of stream, -1 on error.
int plat_recv(plat_socket s, char* data, int len);
// 1 when the last failed plat_recv on this thread was a time-out.
int plat_recv_timed_out();
// A receive time-out in milliseconds (0 = none) for later plat_recv calls.
void plat_set_recv_timeout(plat_socket s, int ms);
// Closes the socket. A receive blocked on it in another thread returns.
void plat_close_socket(plat_socket s);

// ---- TLS over a connected socket ---------------------------------------------
// The system's own TLS: Schannel through SSPI on Win32, OpenSSL's libssl on
// POSIX. One session per connection; the socket stays the caller's.
typedef void* plat_tls;
// Why a handshake failed, as far as the caller needs to tell the user.
enum PlatTlsFailure {
  PLAT_TLS_OK = 0,
  PLAT_TLS_UNKNOWN_ISSUER,      // the chain ends at no trusted root
  PLAT_TLS_NAME_MISMATCH,       // the certificate is not for the host asked for
  PLAT_TLS_EXPIRED,             // a certificate of the chain is expired or not yet valid
  PLAT_TLS_REVOKED,             // a certificate of the chain is revoked
  PLAT_TLS_BAD_CERTIFICATE,     // any other fault of the certificate or its chain
  PLAT_TLS_NO_COMMON_PROTOCOL,  // no version (TLS 1.2 or later) or cipher both sides speak
  PLAT_TLS_HANDSHAKE_FAILED,    // anything else: an alert, a cut, a time-out, garbage
  PLAT_TLS_UNAVAILABLE          // the system's TLS could not be started
};
// The client's handshake over the connected socket s for host: Server Name
// Indication sent (not for an IPv4 literal), TLS 1.2 at least, the server's
// chain checked against the system's trust store for server authentication and
// its names against host (DNS names; an IPv4 literal also against IP entries);
// revocation checked where the system can, an unreachable revocation server not
// counted as a failure. Receives wait as plat_set_recv_timeout last set on s.
// The session, or null with *failure and *detail (the system's own words,
// possibly empty) set.
plat_tls plat_tls_connect(plat_socket s, const char* host, int* failure, std::string* detail);
// Encrypts and sends all len bytes: len, or -1 when a send failed.
int plat_tls_send(plat_tls t, const char* data, int len);
// Decrypted bytes (1..len); 0 at the peer's close_notify; -1 when a receive or
// the decryption failed (plat_recv_timed_out() tells a time-out);
// PLAT_TLS_CUT when the stream ended without close_notify, which may be a
// truncation by someone on the path.
const int PLAT_TLS_CUT = -3;
int plat_tls_recv(plat_tls t, char* data, int len);
// Frees the session. Nothing is sent; the socket is left as it is.
void plat_tls_free(plat_tls t);

// ---- the system's proxy settings ----------------------------------------------
// What the user's settings say about proxies for one URL, in the form they are
// kept: proxies is empty for "go direct", else a list separated by ';' or
// blanks whose entries are "scheme=value" (for URLs of that scheme) or a bare
// value (for every scheme), a value being "[http://][user:password@]host[:port][/]".
// bypass lists the hosts that go direct, separated by ';', ',' or blanks:
// "<local>" (a name without a dot), "*" (every host), '*' wildcards, and plain
// names; bypass_suffixes says whether a plain name covers the names below it
// too (".example.org" and "example.org" both cover "www.example.org", as
// no_proxy reads them) or only itself (as Windows' settings read them).
struct PlatProxySettings {
  std::string proxies;
  std::string bypass;
  bool bypass_suffixes = false;
};
// Win32: the current user's settings as a browser uses them (a manual proxy
// and its bypass list; automatic detection or a configuration script asked
// through WinHTTP for this URL, bounded in time). POSIX: https_proxy (or
// HTTPS_PROXY) for https URLs, http_proxy for http URLs, no_proxy (or NO_PROXY).
// 0, or -1 when the settings could not be read (then: direct).
int plat_proxy_settings(const char* url, PlatProxySettings* out);

// ---- threads and time -------------------------------------------------------
typedef void* plat_thread;
typedef unsigned (*plat_thread_fn)(void* arg);
// Starts fn(arg) at once on a new thread; null on failure.
plat_thread plat_thread_start(plat_thread_fn fn, void* arg);
// Waits until the thread has ended.
void plat_thread_join(plat_thread t);
// 1 when the thread has ended, 0 while it runs (does not wait).
int plat_thread_done(plat_thread t);
// Waits at most ms for the thread to end: 1 when it has ended, 0 while it runs.
int plat_thread_wait(plat_thread t, unsigned ms);
// Releases the handle; the thread must have ended.
void plat_thread_close(plat_thread t);

// A lock for short critical sections shared by the two threads.
typedef void* plat_mutex;
plat_mutex plat_mutex_create();
void plat_mutex_lock(plat_mutex m);
void plat_mutex_unlock(plat_mutex m);

// A counting semaphore, for handing blocks between two threads.
typedef void* plat_sem;
plat_sem plat_sem_create(unsigned initial);  // null on failure
void plat_sem_post(plat_sem s);
void plat_sem_wait(plat_sem s);
void plat_sem_destroy(plat_sem s);

// Milliseconds since an arbitrary start, unsigned 32-bit, wrapping.
uint32_t plat_tick_ms();
void plat_sleep_ms(unsigned ms);

// ---- files and process ------------------------------------------------------
// Paths are UTF-8 text: the Win32 side hands them to Windows' wide (UTF-16)
// interface, so that every name arrives as it was meant whatever the code pages.
// Existence of any file-system object (as _access(path, 0)); 1 or 0.
int plat_exists(const char* path);
// Creates one directory; 0 on success, -1 on failure.
int plat_mkdir(const char* path);
// Removes a file; 0 on success.
int plat_remove(const char* path);
// fopen for a UTF-8 path.
std::FILE* plat_fopen(const char* path, const char* mode);
// Text in the ANSI code page (a command line's arguments on Win32) as UTF-8.
std::string plat_ansi_to_utf8(const std::string& text);
// Bytes free to this process on the drive that holds path (or, for a path not
// made yet, its nearest existing parent), and, where unit is given, the drive's
// allocation unit (a file's size is taken up in whole units; 1 when unknown).
// 0 on success, -1 when unknown.
int plat_free_space(const char* path, uint64_t* bytes, uint32_t* unit = nullptr);
// Renames from to to, replacing an existing to; 0 on success.
int plat_rename_replace(const char* from, const char* to);
// Sets a closed file's times from an MS-DOS date (high 16 bits) and time (low 16 bits),
// read as local time: creation and last-write time on Win32, modification time on POSIX.
// The last-access time stays. Failures are silent.
void plat_set_file_time_dos(const char* path, uint32_t dos_date_time);
// The same for a file still open for writing, through its handle (no second open
// by name): flushes the stream first, so that no later write moves the time.
void plat_set_stream_time_dos(std::FILE* f, uint32_t dos_date_time);
// An archive member's name stored without the UTF-8 flag, as UTF-16: read in
// the system's OEM code page on Win32, as Windows' own extraction reads it;
// IBM PC code page 437 on POSIX. 0, or -1 when the bytes are not text there.
int plat_oem_to_utf16(const char* bytes, size_t len, std::u16string& text);
// ---- directory trees (walked by the repository tool) --------------------------
enum { PLAT_KIND_NONE = 0, PLAT_KIND_FILE = 1, PLAT_KIND_DIR = 2, PLAT_KIND_OTHER = 3 };
// What path names, following symbolic links: one of PLAT_KIND_*.
int plat_path_kind(const char* path);
// The entries of a directory, "." and ".." left out, in no particular order.
// 0 on success, -1 when the directory cannot be read.
int plat_list_dir(const char* path, std::vector<std::string>& names);
// A file's last-write time as an MS-DOS date (high 16 bits) and time (low 16 bits)
// in local time, clamped to 1980..2107. 0 on success, -1 when it cannot be read.
int plat_file_time_dos(const char* path, uint32_t* dos_date_time);
// Removes an empty directory; 0 on success.
int plat_rmdir(const char* path);
// The absolute form of an existing path (links resolved on POSIX). 0, or -1
// when path does not exist or cannot be resolved.
int plat_full_path(const char* path, std::string& full);
// A file's size in bytes. 0, or -1 when it cannot be read.
int plat_file_size(const char* path, uint64_t* bytes);
// Runs a program found on the PATH with these arguments (argv[0] its name),
// sharing this process's standard streams, and waits for it: its exit code,
// or -1 when it could not be started.
int plat_run_program(const std::vector<std::string>& argv);
// The running executable's full file name.
std::string plat_exe_path();
// Ends the process with the code. Does not return.
[[noreturn]] void plat_exit(int code);

// ---- the program --------------------------------------------------------------
// The program's own start, defined above the seam: each platform's entry point
// calls it (start-up, the message loop, the way out). Does not return.
[[noreturn]] void program_main();
