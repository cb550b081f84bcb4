// Requests through a real HTTP proxy (Debian's tinyproxy) on loopback, with the
// proxy named the way the POSIX side reads it: http_proxy and no_proxy.
#include "net/proxy.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/http.h"
#include "net/socket.h"
#include "test_server.h"
#include "testkit/testkit.h"

namespace {

// tinyproxy in the foreground on a free loopback port, with a configuration,
// log and pid file of its own in dir; stopped at the end. Every wait is bounded.
class TinyProxy {
 public:
  TinyProxy(const TempDir& dir, const std::string& name, const std::string& extra) : dir_(dir), name_(name) {
    for (int attempt = 0; attempt < 3 && port_ == 0; ++attempt) start(extra);
  }
  ~TinyProxy() { stop(); }
  TinyProxy(const TinyProxy&) = delete;
  TinyProxy& operator=(const TinyProxy&) = delete;

  int port() const { return port_; }
  std::string log() const { return read_file(dir_ / (name_ + ".log")); }

 private:
  void start(const std::string& extra) {
    int port = closed_loopback_port();
    write_file(dir_ / (name_ + ".conf"), "Port " + std::to_string(port) +
                                             "\nListen 127.0.0.1\nTimeout 10\nMaxClients 8\nAllow 127.0.0.1\n"
                                             "LogLevel Info\nLogFile \"" + dir_ / (name_ + ".log") +
                                             "\"\nPidFile \"" + dir_ / (name_ + ".pid") + "\"\n" + extra);
    std::string conf = dir_ / (name_ + ".conf");
    std::string out = dir_ / (name_ + ".out");
    std::vector<std::string> args = {TINYPROXY_PROGRAM, "-d", "-c", conf};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    // Ready once it takes a connection; gone if the port was taken meanwhile.
    for (int ms = 0; pid_ > 0 && ms < 10000; ms += 20) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      int s = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_port = htons(static_cast<uint16_t>(port));
      sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      bool up = connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
      close(s);
      if (up) {
        port_ = port;
        return;
      }
      usleep(20000);
    }
    stop();
  }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int ms = 0; ms < 5000; ms += 10) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      usleep(10000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  const TempDir& dir_;
  std::string name_;
  pid_t pid_ = -1;
  int port_ = 0;
};

class ProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(*TINYPROXY_PROGRAM) << "tinyproxy is not installed: run scripts/bootstrap";
    socket_init();
    write_file(root / "a.txt", "hello\n");
    write_file(hasty_root / "127.0.0.1:9", "not TLS");
    ASSERT_GT(origin.port(), 0);
    ASSERT_GT(tls_origin.port(), 0);
    ASSERT_GT(hasty_proxy.port(), 0);
    ASSERT_GT(open_proxy.port(), 0);
    ASSERT_GT(locked_proxy.port(), 0);
  }
  void TearDown() override {
    socket_close();
    socket_done();
    socket_header_timeout_ms = SOCKET_HEADER_TIMEOUT_MS;
    for (const char* name : {"http_proxy", "https_proxy", "no_proxy"}) unsetenv(name);
  }
  std::string body() {
    std::string out;
    char buf[8192];
    int n;
    while ((n = socket_read(buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }
  LogCapture log;
  TempDir root;
  TempDir scratch;
  std::string requests = scratch / "requests.txt";
  QvServer origin{root.path(), requests};
  std::string tls_requests = scratch / "tls_requests.txt";
  QvServer tls_origin{root.path(), tls_requests, "good"};
  TinyProxy open_proxy{scratch, "open", ""};
  // Answers CONNECT 127.0.0.1:9 with 200 and bytes right behind it: the file
  // of that name, as qvserve reads the request's target.
  TempDir hasty_root;
  QvServer hasty_proxy{hasty_root.path()};
  TinyProxy locked_proxy{scratch, "locked", "BasicAuth alice s3cr.t\n"};
};

TEST_F(ProxyTest, RequestsGoThroughTheProxyTheSettingsName) {
  const std::string open = "127.0.0.1:" + std::to_string(open_proxy.port());
  const std::string locked = "127.0.0.1:" + std::to_string(locked_proxy.port());
  const std::string here = "127.0.0.1:" + std::to_string(origin.port());
  const std::string a = origin.url("/a.txt");
  const std::string tls_a = tls_origin.url("/a.txt");
  const std::string nowhere = "127.0.0.1:" + std::to_string(closed_loopback_port());
  const std::string asks = " asks for credentials (Basic); the proxy setting gives none";
  struct Case {
    std::string proxy, no_proxy, url;  // proxy: http_proxy and https_proxy alike
    NetOutcome outcome;
    std::string line;       // logged
    std::string proxy_log;  // the proxy the request came to, if any
  };
  const Case cases[] = {
      {"http://" + open, "", a, NET_OK, "http_try: through proxy " + open, "open"},
      {open + "/", "example.org", a, NET_OK, "http_try: through proxy " + open, "open"},
      // Percent-encoded in the setting, decoded in the credentials sent.
      {"http://al%69ce:s3cr%2Et@" + locked, "", a, NET_OK, "http_try: through proxy " + locked, "locked"},
      {"http://" + locked, "", a, NET_PROXY_AUTH, "http_try: proxy " + locked + asks, "locked"},
      // tinyproxy answers wrong credentials with 401, which for a forwarded
      // request may as well be the server's: it stays a status like any other.
      {"http://alice:wrong@" + locked, "", a, NET_HTTP_STATUS, "http_try: code is 401", "locked"},
      {"http://" + open, "localhost,.example.org, 127.0.0.1", a, NET_OK,
       "http_try: direct to " + here + ", which the proxy settings bypass", ""},
      // Each hop of a redirect asks anew: the second goes direct.
      {"http://" + open, "localhost",
       origin.url("/r?location=" + pct("http://localhost:" + std::to_string(origin.port()) + "/a.txt")), NET_OK,
       "http_try: direct to localhost:" + std::to_string(origin.port()) + ", which the proxy settings bypass",
       "open"},
      {"socks5h://" + open, "", a, NET_PROXY_REFUSED,
       "proxy_route: can't use proxy socks5h://" + open + ": only http:// proxies are supported", ""},
      // https through a tunnel; the certificate checked is the server's.
      {"http://" + open, "", tls_a, NET_OK, "socket_open: TLS with 127.0.0.1", "open"},
      {"http://alice:s3cr.t@" + locked, "", tls_a, NET_OK, "http_try: through proxy " + locked, "locked"},
      {"http://" + locked, "", tls_a, NET_PROXY_AUTH, "http_try: proxy " + locked + asks, "locked"},
      {"http://alice:wrong@" + locked, "", tls_a, NET_PROXY_AUTH,
       "http_try: proxy " + locked + " refused the credentials of the proxy setting (it asks for Basic)", "locked"},
      {"http://" + open, "", "https://" + nowhere + "/a.txt", NET_PROXY_REFUSED,
       "http_try: proxy " + open + " would not open a tunnel to " + nowhere + " (500)", "open"},
      // Bytes before the handshake would pass for the server's.
      {"http://127.0.0.1:" + std::to_string(hasty_proxy.port()), "", "https://127.0.0.1:9/a.txt", NET_TLS_FAILED,
       "socket_open: TLS with 127.0.0.1 failed: the handshake failed (bytes came before it)", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.proxy + " / " + c.no_proxy + " / " + c.url);
    setenv("http_proxy", c.proxy.c_str(), 1);
    setenv("https_proxy", c.proxy.c_str(), 1);
    setenv("no_proxy", c.no_proxy.c_str(), 1);
    bool tls = c.url.compare(0, 8, "https://") == 0;
    const std::string& served = tls ? tls_requests : requests;
    std::string open_before = open_proxy.log(), locked_before = locked_proxy.log();
    std::string served_before = read_file(served);
    EXPECT_EQ(net_open(c.url.c_str()), c.outcome == NET_OK ? 0 : -1);
    EXPECT_EQ(net_last_result().outcome, c.outcome);
    if (c.outcome == NET_OK) {
      EXPECT_EQ(body(), "hello\n");
    } else if (c.outcome != NET_HTTP_STATUS) {
      EXPECT_EQ(net_last_result().detail, c.line);
    }
    socket_close();
    EXPECT_TRUE(has_line(lines_from(log.lines(), "net_set_url: url is " + c.url), c.line));
    // The proxy's own log: a tunnel asked for, or the request in the absolute form.
    size_t authority = c.url.find("://") + 3;
    size_t slash = c.url.find('/', authority);
    std::string seen = tls ? "): CONNECT " + c.url.substr(authority, slash - authority) + " HTTP/1.0"
                           : "): GET http://" + c.url.substr(authority) + " HTTP/1.0";
    EXPECT_EQ(open_proxy.log().find(seen, open_before.size()) != std::string::npos, c.proxy_log == "open");
    EXPECT_EQ(locked_proxy.log().find(seen, locked_before.size()) != std::string::npos, c.proxy_log == "locked");
    std::string served_now = read_file(served).substr(served_before.size());
    EXPECT_EQ(!served_now.empty(), c.outcome == NET_OK);
    // The proxy's credentials never reach the server.
    EXPECT_EQ(served_now.find("Proxy-Authorization"), std::string::npos);
  }

  // A proxy that takes the connection and never answers CONNECT holds the
  // request no longer than a silent server would.
  int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(silent, 1), 0);
  getsockname(silent, reinterpret_cast<sockaddr*>(&sa), &len);
  setenv("https_proxy", ("127.0.0.1:" + std::to_string(ntohs(sa.sin_port))).c_str(), 1);
  socket_header_timeout_ms = 400;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(net_open("https://127.0.0.1:9/a.txt"), -1);
  auto took = std::chrono::steady_clock::now() - start;
  close(silent);
  EXPECT_EQ(net_last_result().outcome, NET_TIMED_OUT);
  EXPECT_GE(took, std::chrono::milliseconds(390));
  EXPECT_LT(took, std::chrono::milliseconds(600));
}

}  // namespace

namespace {

// The forms of Windows' settings (per-scheme lists, "<local>", wildcards,
// names that cover only themselves), which the environment never takes.
TEST(ProxyChoice, ListsAndBypassForms) {
  struct Case {
    std::string proxies, bypass;
    bool suffixes;
    const char* scheme;
    std::string host;
    int port;
    std::string route;  // "host:port", "direct", "bypass" or "refused"
    std::string authorization;
  };
  const Case cases[] = {
      {"http=a:1;https=b:2", "", false, "https", "x.example", 443, "b:2", ""},
      {"http=a:1 https=b:2", "", false, "http", "x.example", 80, "a:1", ""},
      {"https=b:2", "", false, "http", "x.example", 80, "direct", ""},
      {"ftp=f:1;a:8080;b:9090", "", false, "http", "x.example", 80, "a:8080", ""},
      {"socks=s:1080", "", false, "http", "x.example", 80, "refused", ""},
      {"https://a:443", "", false, "http", "x.example", 80, "refused", ""},
      {"a:99999", "", false, "http", "x.example", 80, "refused", ""},
      {"a b", "", false, "http", "x.example", 80, "a:80", ""},
      {"http://user@a", "", false, "http", "x.example", 80, "a:80", "Basic dXNlcjo="},
      {"a:1", "<local>", false, "http", "intranet", 80, "bypass", ""},
      {"a:1", "<local>", false, "http", "intranet.corp", 80, "a:1", ""},
      {"a:1", "*.corp.example", false, "http", "www.CORP.example", 80, "bypass", ""},
      {"a:1", "*.corp.example", false, "http", "corp.example", 80, "a:1", ""},
      {"a:1", "corp.example", false, "http", "www.corp.example", 80, "a:1", ""},
      {"a:1", "corp.example", true, "http", "www.corp.example", 80, "bypass", ""},
      {"a:1", "other; .corp.example", false, "http", "corp.example", 80, "bypass", ""},
      {"a:1", "10.0.*", false, "http", "10.0.3.4", 80, "bypass", ""},
      {"a:1", "host:8080", false, "http", "host", 8080, "bypass", ""},
      {"a:1", "host:8080", false, "http", "host", 80, "a:1", ""},
      {"a:1", "*", false, "https", "host", 443, "bypass", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.proxies + " / " + c.bypass + " / " + c.host);
    PlatProxySettings settings;
    settings.proxies = c.proxies;
    settings.bypass = c.bypass;
    settings.bypass_suffixes = c.suffixes;
    ProxyRoute route;
    std::string why;
    int got = proxy_choose(settings, c.scheme, c.host, c.port, &route, &why);
    std::string seen = got != 0         ? "refused"
                       : route.through  ? route.host + ":" + std::to_string(route.port)
                       : route.named    ? "bypass"
                                        : "direct";
    EXPECT_EQ(seen, c.route);
    EXPECT_EQ(route.authorization, c.authorization);
    EXPECT_EQ(why.empty(), got == 0);
  }
}

}  // namespace
