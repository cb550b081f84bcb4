// POSIX side of the platform seam (the native build and its tests).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/platform.h"

void plat_net_startup() {}
void plat_net_cleanup() {}

int plat_resolve_ipv4(const char* host, uint32_t* addr_be) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return -1;
  *addr_be = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(res);
  return 0;
}

plat_socket plat_tcp_socket() {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return s < 0 ? PLAT_INVALID_SOCKET : s;
}

int plat_connect(plat_socket s, uint32_t addr_be, int port, int timeout_ms) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  sa.sin_addr.s_addr = addr_be;
  int fd = static_cast<int>(s);
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
  int result = 0;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    result = -1;
    if (errno == EINPROGRESS || errno == EINTR) {
      // The wait is cut into pieces by signals; the deadline stays where it was.
      uint32_t start = plat_tick_ms();
      pollfd p{fd, POLLOUT, 0};
      int ready;
      for (;;) {
        uint32_t spent = plat_tick_ms() - start;
        int left = spent >= static_cast<uint32_t>(timeout_ms) ? 0 : timeout_ms - static_cast<int>(spent);
        ready = ::poll(&p, 1, left);
        if (ready >= 0 || errno != EINTR) break;
      }
      int error = 0;
      socklen_t size = sizeof error;
      if (ready == 0)
        result = PLAT_TIMED_OUT;
      else if (ready > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0)
        result = 0;
    }
  }
  if (::fcntl(fd, F_SETFL, flags) != 0) return -1;
  return result;
}

int plat_send(plat_socket s, const char* data, int len) {
  ssize_t r;
  do r = ::send(static_cast<int>(s), data, static_cast<size_t>(len), MSG_NOSIGNAL);
  while (r < 0 && errno == EINTR);
  return static_cast<int>(r);
}

static thread_local int recv_timed_out = 0;

int plat_recv(plat_socket s, char* data, int len) {
  ssize_t r;
  do r = ::recv(static_cast<int>(s), data, static_cast<size_t>(len), 0);
  while (r < 0 && errno == EINTR);
  recv_timed_out = (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
  return static_cast<int>(r);
}

int plat_recv_timed_out() { return recv_timed_out; }

void plat_set_recv_timeout(plat_socket s, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

void plat_close_socket(plat_socket s) {
  // close() alone does not wake a recv() blocked in another thread; shutdown does.
  ::shutdown(static_cast<int>(s), SHUT_RDWR);
  ::close(static_cast<int>(s));
}

namespace {
struct PosixThread {
  pthread_t id;
  plat_thread_fn fn;
  void* arg;
  int done;  // under lock; ended is signalled when it turns 1
  pthread_mutex_t lock;
  pthread_cond_t ended;
};

void* thread_main(void* p) {
  PosixThread* t = static_cast<PosixThread*>(p);
  t->fn(t->arg);
  pthread_mutex_lock(&t->lock);
  t->done = 1;
  pthread_cond_broadcast(&t->ended);
  pthread_mutex_unlock(&t->lock);
  return nullptr;
}
}  // namespace

plat_thread plat_thread_start(plat_thread_fn fn, void* arg) {
  PosixThread* t = new PosixThread();
  t->fn = fn;
  t->arg = arg;
  pthread_mutex_init(&t->lock, nullptr);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);  // a clock change cannot stretch a wait
  pthread_cond_init(&t->ended, &attr);
  pthread_condattr_destroy(&attr);
  if (pthread_create(&t->id, nullptr, thread_main, t) != 0) {
    pthread_cond_destroy(&t->ended);
    pthread_mutex_destroy(&t->lock);
    delete t;
    return nullptr;
  }
  return t;
}

void plat_thread_join(plat_thread t) {
  PosixThread* p = static_cast<PosixThread*>(t);
  if (!p || p->id == pthread_t()) return;
  pthread_join(p->id, nullptr);
  p->id = pthread_t();
}

int plat_thread_done(plat_thread t) { return plat_thread_wait(t, 0); }

int plat_thread_wait(plat_thread t, unsigned ms) {
  PosixThread* p = static_cast<PosixThread*>(t);
  if (!p) return 1;
  timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += static_cast<time_t>(ms / 1000);
  until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&p->lock);
  while (!p->done && ms > 0 && pthread_cond_timedwait(&p->ended, &p->lock, &until) == 0) {
  }
  int d = p->done;
  pthread_mutex_unlock(&p->lock);
  return d;
}

void plat_thread_close(plat_thread t) {
  PosixThread* p = static_cast<PosixThread*>(t);
  if (!p) return;
  plat_thread_join(p);
  pthread_cond_destroy(&p->ended);
  pthread_mutex_destroy(&p->lock);
  delete p;
}

plat_mutex plat_mutex_create() {
  pthread_mutex_t* m = new pthread_mutex_t;
  pthread_mutex_init(m, nullptr);
  return m;
}
void plat_mutex_lock(plat_mutex m) { pthread_mutex_lock(static_cast<pthread_mutex_t*>(m)); }
void plat_mutex_unlock(plat_mutex m) { pthread_mutex_unlock(static_cast<pthread_mutex_t*>(m)); }

plat_sem plat_sem_create(unsigned initial) {
  sem_t* s = new sem_t;
  if (sem_init(s, 0, initial) != 0) {
    delete s;
    return nullptr;
  }
  return s;
}
void plat_sem_post(plat_sem s) { sem_post(static_cast<sem_t*>(s)); }
void plat_sem_wait(plat_sem s) {
  while (sem_wait(static_cast<sem_t*>(s)) != 0 && errno == EINTR) {
  }
}
void plat_sem_destroy(plat_sem s) {
  if (!s) return;
  sem_destroy(static_cast<sem_t*>(s));
  delete static_cast<sem_t*>(s);
}

uint32_t plat_tick_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                               static_cast<uint64_t>(ts.tv_nsec / 1000000));
}

void plat_sleep_ms(unsigned ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

int plat_exists(const char* path) { return ::access(path, F_OK) == 0 ? 1 : 0; }

int plat_mkdir(const char* path) { return ::mkdir(path, 0777) == 0 ? 0 : -1; }

int plat_remove(const char* path) { return std::remove(path) == 0 ? 0 : -1; }

std::FILE* plat_fopen(const char* path, const char* mode) { return std::fopen(path, mode); }

std::string plat_ansi_to_utf8(const std::string& text) { return text; }

int plat_free_space(const char* path, uint64_t* bytes, uint32_t* unit) {
  std::string at = path;
  for (;;) {
    struct statvfs st;
    if (::statvfs(at.c_str(), &st) == 0) {
      *bytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
      if (unit) *unit = st.f_frsize > 0 && st.f_frsize <= UINT32_MAX ? static_cast<uint32_t>(st.f_frsize) : 1;
      return 0;
    }
    size_t cut = at.find_last_of('/');
    if (errno != ENOENT || cut == std::string::npos) return -1;
    at = cut == 0 ? "/" : at.substr(0, cut);
  }
}

int plat_rename_replace(const char* from, const char* to) {
  return std::rename(from, to) == 0 ? 0 : -1;
}

namespace {
// An MS-DOS date and time read as local time; -1 when it names no time.
time_t dos_to_time(uint32_t dos) {
  unsigned date = dos >> 16, time = dos & 0xFFFF;
  std::tm tm{};
  tm.tm_year = static_cast<int>(((date >> 9) & 0x7F) + 80);
  tm.tm_mon = static_cast<int>(((date >> 5) & 0x0F)) - 1;
  tm.tm_mday = static_cast<int>(date & 0x1F);
  tm.tm_hour = static_cast<int>((time >> 11) & 0x1F);
  tm.tm_min = static_cast<int>((time >> 5) & 0x3F);
  tm.tm_sec = static_cast<int>((time & 0x1F) * 2);
  tm.tm_isdst = -1;  // local time, daylight saving as it applied then
  return std::mktime(&tm);
}

// The modification time (access time left as it is) for an MS-DOS date and time in local time;
// false when it names no time.
bool dos_times(uint32_t dos, timespec times[2]) {
  // mktime looks at the time zone file each call; an archive's files mostly share a few times.
  thread_local uint32_t last_dos = 0;
  thread_local time_t last_time = static_cast<time_t>(-1);
  if (dos != last_dos || last_time == static_cast<time_t>(-1)) {
    last_time = dos_to_time(dos);
    last_dos = dos;
  }
  if (last_time == static_cast<time_t>(-1)) return false;
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // last access stays
  times[1].tv_sec = last_time;
  times[1].tv_nsec = 0;
  return true;
}
}  // namespace

void plat_set_file_time_dos(const char* path, uint32_t dos) {
  timespec times[2];
  if (dos_times(dos, times)) utimensat(AT_FDCWD, path, times, 0);
}

void plat_set_stream_time_dos(std::FILE* f, uint32_t dos) {
  timespec times[2];
  if (std::fflush(f) == 0 && dos_times(dos, times)) futimens(fileno(f), times);
}

namespace {
// The upper half of code page 437; the lower half is ASCII.
const char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};
}  // namespace

int plat_oem_to_utf16(const char* bytes, size_t len, std::u16string& text) {
  text.clear();
  for (size_t i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    text += c < 0x80 ? static_cast<char16_t>(c) : kCp437High[c - 0x80];
  }
  return 0;
}

std::string plat_exe_path() {
  char buf[PATH_MAX + 1];
  ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

void plat_exit(int code) {
  std::fflush(nullptr);
  std::exit(code);
}
