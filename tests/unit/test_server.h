// Starts tests/server/qvserve.py on a free loopback port for one test and kills
// it at the end. Every wait is bounded.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

// The throw-away certificate authority of the TLS tests (made once per build
// tree), trusted by this process alone through OpenSSL's SSL_CERT_FILE. Its
// folder, holding NAME.pem and NAME.key for good, wrongname, expired, unknown.
inline std::string test_ca() {
  static const std::string dir = [] {
    std::string cmd = std::string("'") + TEST_CA_SCRIPT + "' '" + TEST_CA_DIR + "'";
    if (std::system(cmd.c_str()) != 0) return std::string();
    setenv("SSL_CERT_FILE", TEST_CA_DIR "/ca.pem", 1);
    return std::string(TEST_CA_DIR);
  }();
  return dir;
}

class QvServer {
 public:
  // tls_cert: the name of a test certificate (see test_ca) to speak TLS with.
  explicit QvServer(const std::string& root, const std::string& request_log = std::string(),
                    const std::string& tls_cert = std::string())
      : scheme_(tls_cert.empty() ? "http" : "https") {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<std::string> args = {QVSERVE_PYTHON, QVSERVE_SCRIPT, "--root", root};
    if (!request_log.empty()) {
      args.push_back("--log");
      args.push_back(request_log);
    }
    if (!tls_cert.empty()) {
      std::string ca = test_ca();
      args.insert(args.end(), {"--tls", ca + "/" + tls_cert + ".pem", ca + "/" + tls_cert + ".key"});
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    while (pid_ > 0 && line.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
      char buf[64];
      ssize_t n = read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    port_ = std::atoi(line.c_str());
  }
  ~QvServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  QvServer(const QvServer&) = delete;
  QvServer& operator=(const QvServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:PORT" (https with TLS) followed by path_and_query.
  std::string url(const std::string& path_and_query) const {
    return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path_and_query;
  }

 private:
  std::string scheme_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// A loopback port with nothing listening on it (bound once, then released).
inline int closed_loopback_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
  close(s);
  return ntohs(sa.sin_port);
}

// The calling thread's id as the kernel knows it.
inline pid_t this_thread_id() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// Waits, at most 10 s, until thread tid of this process sits blocked in a
// receive: the moment a close from another thread must wake it. Linux shows the
// system call a sleeping thread is in as the first field of its
// /proc/self/task/TID/syscall ("running" while it runs).
inline bool wait_blocked_in_receive(pid_t tid) {
  const std::string in_recv = std::to_string(SYS_recvfrom) + " ";
  const std::string file = "/proc/self/task/" + std::to_string(tid) + "/syscall";
  for (int ms = 0; ms < 10000; ++ms) {
    std::ifstream in(file);
    std::string state;
    std::getline(in, state);
    if (state.rfind(in_recv, 0) == 0) return true;
    usleep(1000);
  }
  return false;
}

inline bool has_line(const std::vector<std::string>& lines, const std::string& want) {
  return std::find(lines.begin(), lines.end(), want) != lines.end();
}

inline int count_lines(const std::vector<std::string>& lines, const std::string& want) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), want));
}

// The lines from the first "from" on (the log of one operation within a test).
inline std::vector<std::string> lines_from(const std::vector<std::string>& lines,
                                           const std::string& from) {
  auto it = std::find(lines.begin(), lines.end(), from);
  return std::vector<std::string>(it, lines.end());
}

// Percent-encodes every byte but letters and digits (for qvserve's query values).
inline std::string pct(const std::string& s) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}
