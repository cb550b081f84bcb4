#include "net/http.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/proxy.h"
#include "net/socket.h"
#include "platform/platform.h"
#include "support/log.h"

namespace {
// The URL state: replaced as a whole by net_set_url.
std::string scheme;  // the text before "://": https goes over TLS, any other as plain HTTP
std::string host;
bool has_host = false;
int port = 0;
std::string path;
int64_t content_length = 0;
bool length_given = false;
NetResult result;
// While http_open follows a chain of redirects: when it started.
bool chain_open = false;
uint32_t chain_started = 0;

// Records why the attempt failed; returns the outcome that stands.
NetOutcome failed(NetOutcome outcome, const std::string& detail = std::string()) {
  net_record_failure(outcome, detail);
  return result.outcome;
}

NetOutcome failed_closed(NetOutcome outcome, const std::string& detail = std::string()) {
  net_record_failure(outcome, detail);
  socket_close();
  return result.outcome;
}

bool starts_with_nocase(const char* line, const char* prefix) {
  for (; *prefix; ++line, ++prefix)
    if (std::tolower(static_cast<unsigned char>(*line)) !=
        std::tolower(static_cast<unsigned char>(*prefix)))
      return false;
  return true;
}

// https URLs are fetched over TLS; every other scheme as plain HTTP.
bool is_https(const std::string& url_scheme) {
  return url_scheme.size() == 5 && starts_with_nocase(url_scheme.c_str(), "https");
}

// As sscanf's "%*s %d": skips the first word and reads the number after it.
// 0 when there is none, -1 when it does not fit (never undefined behaviour).
int scan_second_number(const char* line, long long* out) {
  const char* p = line;
  while (*p && std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (!*p) return 0;
  while (*p && !std::isspace(static_cast<unsigned char>(*p))) ++p;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(p, &end, 10);
  if (end == p) return 0;
  if (errno == ERANGE) return -1;
  *out = v;
  return 1;
}

// A Location is absolute only when "://" comes before any '/', '?' or '#':
// "/login?next=http://elsewhere/" is a path on this host.
bool is_absolute_url(const char* value) {
  size_t stop = std::strcspn(value, "/?#");
  return stop > 0 && value[stop] == '/' && value[stop - 1] == ':' && value[stop + 1] == '/';
}

// The path with its "." and ".." segments taken out, as a server would read it
// (a ".." above the root stays at the root): "/a/b/../c" is "/a/c".
std::string remove_dot_segments(std::string in) {
  std::string out;
  auto drop_last = [&] {
    size_t cut = out.rfind('/');
    out.erase(cut == std::string::npos ? 0 : cut);
  };
  while (!in.empty()) {
    if (in.compare(0, 3, "../") == 0) {
      in.erase(0, 3);
    } else if (in.compare(0, 2, "./") == 0 || in.compare(0, 3, "/./") == 0) {
      in.erase(0, 2);
    } else if (in == "/." || in == "/..") {
      if (in == "/..") drop_last();
      in = "/";
    } else if (in.compare(0, 4, "/../") == 0) {
      in.erase(0, 3);
      drop_last();
    } else if (in == "." || in == "..") {
      in.clear();
    } else {
      size_t next = in.find('/', 1);
      out += in.substr(0, next);
      in.erase(0, next == std::string::npos ? in.size() : next);
    }
  }
  return out;
}

// A URL with the dot segments of its path (up to '?') taken out.
std::string without_dot_segments(const std::string& url) {
  size_t host = url.find("://");
  size_t start = url.find('/', host == std::string::npos ? 0 : host + 3);
  if (start == std::string::npos) return url;
  size_t stop = std::min(url.find('?', start), url.size());
  return url.substr(0, start) + remove_dot_segments(url.substr(start, stop - start)) + url.substr(stop);
}

// Follows a Location value as a reference resolved against the URL just
// fetched: an absolute URL, "//host/path" with this scheme, "/path" on this
// host and port, "?query" for this path, or a path relative to this one's
// folder ("b.zip", "../x/b.zip"). The fragment is never sent. NET_REDIRECT,
// or NET_BAD_LOCATION when it cannot be followed.
NetOutcome follow_location(const char* value) {
  for (const char* c = value; *c; ++c) {
    // Such bytes would end up in the next request line.
    if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F)
      return failed(NET_BAD_LOCATION, log_line("http_try: can't follow a location holding control characters"));
  }
  std::string target(value, std::strcspn(value, "#"));
  std::string here = (scheme.empty() ? std::string("http") : scheme) + "://" + host + ":" + std::to_string(port);
  std::string url;
  if (is_absolute_url(value)) {
    url = target;
  } else if (target.empty() || !has_host || target.find('\\') != std::string::npos) {
    // Nothing to go to, or a separator no URL has.
    return failed(NET_BAD_LOCATION, log_line("http_try: can't follow relative location \"%s\"", value));
  } else if (target.compare(0, 2, "//") == 0) {
    url = (scheme.empty() ? std::string("http") : scheme) + ":" + target;
  } else if (target[0] == '/') {
    url = here + target;
  } else {
    std::string base = path.substr(0, path.find('?'));
    if (target[0] != '?') base.erase(base.rfind('/') + 1);
    url = here + base + target;
  }
  url = without_dot_segments(url);
  // What came over TLS must not be sent on in the clear: someone on the path
  // could then change it.
  if (is_https(scheme) && !is_https(url.substr(0, url.find("://"))))
    return failed(NET_INSECURE_REDIRECT, log_line("http_try: won't follow a redirect from https to %s", url.c_str()));
  net_set_url(url.c_str());
  result.outcome = NET_REDIRECT;
  return NET_REDIRECT;
}

// The next header line. The rest of a line longer than the reader's buffer is
// skipped: read as a line of its own, "X-Pad: aaa...Location: /x" would give a
// header the server never sent.
char* next_header() {
  for (;;) {
    char* line = socket_readline();
    if (!*line || !socket_line_continues()) return line;
  }
}

// The value of a Content-Length line: decimal digits with nothing but blanks
// around them. 1 with *out; 0 when it is no such number; -1 when it does not
// fit 63 bits.
int content_length_value(const char* line, int64_t* out) {
  const char* p = line + std::strlen("Content-Length:");
  while (*p == ' ' || *p == '\t') ++p;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return 0;
  int64_t value = 0;
  bool too_big = false;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    int digit = *p - '0';
    if (value > (INT64_MAX - digit) / 10)
      too_big = true;
    else
      value = value * 10 + digit;
  }
  while (*p == ' ' || *p == '\t') ++p;
  if (*p) return 0;
  if (too_big) return -1;
  *out = value;
  return 1;
}

// A failed receive during the status line or headers ends the attempt: a
// truncated or stalled reply must not count as a good one. NET_OK when none did.
NetOutcome headers_failed() {
  int state = socket_recv_state();
  if (state == SOCKET_RECV_TIMED_OUT)
    return failed(NET_TIMED_OUT, log_line("http_try: no reply within %d ms", socket_header_timeout_ms));
  if (state == SOCKET_RECV_CUT)
    return failed(NET_TLS_CUT, log_line("http_try: the TLS stream ended without close_notify in the reply's head"));
  if (state == SOCKET_RECV_FAILED)
    return failed(NET_RECEIVE_FAILED, log_line("http_try: receive failed while reading the reply"));
  return NET_OK;
}

// The proxy wants credentials that the proxy setting does not give, or
// refused those it gives. Its challenge lines (header, "Proxy-Authenticate:"
// as a rule) name the schemes it would take. The rest of the reply's head is
// read here.
NetOutcome proxy_auth_failed(const ProxyRoute& route, const char* header) {
  std::string schemes;
  for (;;) {
    char* line = next_header();
    if (!*line) break;
    if (!starts_with_nocase(line, header)) continue;
    const char* value = line + std::strlen(header);
    while (*value == ' ' || *value == '\t') ++value;
    std::string scheme(value, std::strcspn(value, " \t,"));
    if (!scheme.empty()) schemes += (schemes.empty() ? "" : ", ") + scheme;
  }
  if (schemes.empty()) schemes = "no scheme named";
  std::string detail =
      route.authorization.empty()
          ? log_line("http_try: proxy %s:%d asks for credentials (%s); the proxy setting gives none",
                     route.host.c_str(), route.port, schemes.c_str())
          : log_line("http_try: proxy %s:%d refused the credentials of the proxy setting (it asks for %s)",
                     route.host.c_str(), route.port, schemes.c_str());
  return failed_closed(NET_PROXY_AUTH, detail);
}

NetOutcome open_failed(int state) {
  NetOutcome outcome = state == SOCKET_OPEN_NO_ADDRESS  ? NET_CANNOT_RESOLVE
                       : state == SOCKET_OPEN_NO_SOCKET ? NET_NO_SOCKET
                       : state == SOCKET_OPEN_TIMED_OUT ? NET_CONNECT_TIMED_OUT
                       : state == SOCKET_OPEN_TLS_FAILED ? NET_TLS_FAILED
                                                        : NET_CANNOT_CONNECT;
  return failed(outcome, socket_open_failure());
}

// Asks the proxy for a tunnel to the URL's host and port. NET_OK once it has
// said yes, its reply's head read; otherwise the failure, closed.
NetOutcome open_tunnel(const ProxyRoute& route, int budget_ms) {
  socket_printf("CONNECT %s:%d HTTP/1.0\r\n", host.c_str(), port);
  socket_printf("Host: %s:%d\r\n", host.c_str(), port);
  if (!route.authorization.empty()) socket_printf("Proxy-Authorization: %s\r\n", route.authorization.c_str());
  socket_printf("\r\n");
  socket_set_deadline(budget_ms);
  char* line = socket_readline();
  NetOutcome cut = headers_failed();
  if (cut != NET_OK) return failed_closed(cut);
  long long code = 0;
  if (scan_second_number(line, &code) != 1 || code < 100 || code > 999)
    return failed_closed(NET_BAD_STATUS_LINE, log_line("http_try: no status code in proxy %s:%d's reply",
                                                       route.host.c_str(), route.port));
  result.status = static_cast<int>(code);
  // Only the proxy answers a CONNECT, so a 401 is its own too (some answer
  // wrong credentials so).
  if (code == 407) return proxy_auth_failed(route, "Proxy-Authenticate:");
  if (code == 401) return proxy_auth_failed(route, "WWW-Authenticate:");
  if (code < 200 || code > 299)
    return failed_closed(NET_PROXY_REFUSED, log_line("http_try: proxy %s:%d would not open a tunnel to %s:%d (%d)",
                                                     route.host.c_str(), route.port, host.c_str(), port,
                                                     static_cast<int>(code)));
  while (*next_header()) {
  }
  cut = headers_failed();
  if (cut != NET_OK) return failed_closed(cut);
  if (!socket_line_whole())
    return failed_closed(NET_HEADERS_CUT, log_line("http_try: proxy %s:%d's reply ended before its headers did",
                                                   route.host.c_str(), route.port));
  return NET_OK;
}
}  // namespace

const NetResult& net_last_result() { return result; }

void net_record_failure(NetOutcome outcome, const std::string& detail) {
  if (result.outcome != NET_OK) return;
  result.outcome = outcome;
  result.detail = detail;
}

int64_t net_content_length() { return content_length; }

bool net_content_length_given() { return length_given; }

void net_set_url(const char* url) {
  log_message("net_set_url: url is %s", url);
  result.url = url;
  scheme.clear();
  host.clear();
  has_host = false;
  port = 0;
  path.clear();
  content_length = 0;
  length_given = false;
  const char* sep = std::strstr(url, "://");
  if (!sep) {
    path = url;
    return;
  }
  scheme.assign(url, static_cast<size_t>(sep - url));
  const char* h = sep + 3;
  size_t hlen = std::strcspn(h, ":/");
  host.assign(h, hlen);
  has_host = true;
  const char* rest = h + hlen;
  if (*rest == ':') {
    port = std::atoi(rest + 1);
    rest = std::strchr(rest, '/');
  }
  // Nothing after the host (or a port without '/'): the request asks for "/".
  path = rest && *rest == '/' ? rest : "/";
}

NetOutcome http_try() {
  result.outcome = NET_OK;
  result.status = 0;
  result.detail.clear();
  bool tls = is_https(scheme);
  if (port == 0) port = tls ? 443 : 80;
  // An empty host ("file:///x") is no host: Winsock would resolve it to this machine.
  if (!has_host || host.empty())
    return failed(NET_NO_HOST, log_line("http_try: no host in url \"%s\"", path.c_str()));
  // The handshake, the status line and every header share one deadline, and
  // so do the heads of every reply in one chain of redirects: neither a reply
  // that trickles in a byte at a time nor a chain of slow ones can hold the
  // window for longer. A proxy's answer to CONNECT counts in it too.
  uint32_t started = chain_open ? chain_started : plat_tick_ms();
  auto budget = [started] {
    uint32_t spent = plat_tick_ms() - started;
    return spent >= static_cast<uint32_t>(socket_header_timeout_ms) ? 1
                                                                     : socket_header_timeout_ms - static_cast<int>(spent);
  };
  // Each request (each hop of a redirect chain too) asks the settings anew:
  // another host may be bypassed, or its URL given another proxy.
  ProxyRoute route;
  std::string refused;
  if (proxy_route(host, port, path, tls, &route, &refused) != 0) return failed(NET_PROXY_REFUSED, refused);
  if (route.through)
    log_message("http_try: through proxy %s:%d", route.host.c_str(), route.port);
  else if (route.named)
    log_message("http_try: direct to %s:%d, which the proxy settings bypass", host.c_str(), port);
  if (socket_open(route.through ? route.host.c_str() : host.c_str(), route.through ? route.port : port) != 0)
    return open_failed(socket_open_state());
  if (tls && route.through) {
    NetOutcome tunnel = open_tunnel(route, budget());
    if (tunnel != NET_OK) return tunnel;
  }
  // The origin's name, not the proxy's: the certificate must be the server's.
  if (tls && socket_start_tls(host.c_str(), budget()) != 0) {
    NetOutcome r = open_failed(socket_open_state());
    socket_close();
    return r;
  }
  // Plain requests through the proxy: the absolute form tells it where to go,
  // http:// whatever the URL's scheme, since HTTP is what this client asks for.
  bool forwarded = route.through && !tls;
  if (forwarded)
    socket_printf("GET http://%s:%d%s HTTP/1.0\r\n", host.c_str(), port, path.c_str());
  else
    socket_printf("GET %s HTTP/1.0\r\n", path.c_str());
  socket_printf("Host: %s:%d\r\n", host.c_str(), port);
  // Never into a tunnel: the credentials are the proxy's, not the server's.
  if (forwarded && !route.authorization.empty())
    socket_printf("Proxy-Authorization: %s\r\n", route.authorization.c_str());
  socket_printf("\r\n");
  socket_set_deadline(budget());

  char* line;
  long long code = 0;
  NetOutcome cut;
  for (;;) {
    line = socket_readline();
    cut = headers_failed();
    if (cut != NET_OK) return failed_closed(cut);
    if (scan_second_number(line, &code) != 1 || code < INT_MIN || code > INT_MAX)
      return failed_closed(NET_BAD_STATUS_LINE, log_line("http_try: no status code in the reply"));
    log_message("http_try: code is %d", static_cast<int>(code));
    result.status = static_cast<int>(code);
    if (code < 100 || code > 199) break;
    // An interim reply: its headers are passed over, and the final reply after
    // it decides. 101 would switch the connection to another protocol.
    if (code == 101)
      return failed_closed(NET_BAD_STATUS_LINE, log_line("http_try: 101 would switch to another protocol"));
    while (*next_header()) {
    }
    cut = headers_failed();
    if (cut != NET_OK) return failed_closed(cut);
    if (!socket_line_whole())
      return failed_closed(NET_HEADERS_CUT, log_line("http_try: the reply ended before its headers did"));
  }
  // Below 100 (or negative) is no reply of HTTP's, and must not count as a
  // success; nor may 206, a part of the file (no range was asked for).
  if (code < 100 || code > 999 || code == 206) {
    return failed_closed(code == 206 ? NET_PARTIAL_CONTENT : NET_BAD_STATUS_LINE,
                         log_line(code == 206 ? "http_try: %d gives a part of the file, not all of it"
                                              : "http_try: %d is not an HTTP status code",
                                  static_cast<int>(code)));
  }

  if (code == 407 && forwarded) return proxy_auth_failed(route, "Proxy-Authenticate:");

  if (code >= 300 && code <= 399) {
    for (;;) {
      line = next_header();
      if (!*line) break;
      if (starts_with_nocase(line, "Location:")) {
        // A line cut by the stream's end, a failure or its length is not the
        // target the server meant.
        if (!socket_line_whole()) break;
        const char* value = line + 9;
        while (*value == ' ' || *value == '\t') ++value;
        std::string target = value;  // the line dies with the next read
        NetOutcome r = follow_location(target.c_str());
        socket_close();
        return r;
      }
    }
    // A failed receive, when there was one, is why the Location is missing.
    headers_failed();
  }
  if (code >= 300) return failed_closed(NET_HTTP_STATUS);
  // A length that cannot be read, or two that differ, leaves the body's end
  // unknown: a cut body would pass for a whole one.
  auto refuse = [](NetOutcome outcome, const std::string& detail) {
    content_length = 0;
    length_given = false;
    return failed_closed(outcome, detail);
  };
  for (;;) {
    line = next_header();
    if (!*line) break;
    // A body in chunks (or any coding of its transfer) would be stored with its
    // framing, as if that were the file.
    if (starts_with_nocase(line, "Transfer-Encoding:")) {
      const char* value = line + std::strlen("Transfer-Encoding:");
      while (*value == ' ' || *value == '\t') ++value;
      std::string coding = value;
      while (!coding.empty() && (coding.back() == ' ' || coding.back() == '\t')) coding.pop_back();
      if (!starts_with_nocase(coding.c_str(), "identity") || coding.size() != 8)
        return refuse(NET_BAD_TRANSFER_ENCODING,
                      log_line("http_try: can't read a body sent with transfer-encoding %s", coding.c_str()));
      continue;
    }
    if (!starts_with_nocase(line, "Content-Length:")) continue;
    int64_t value = 0;
    int got = content_length_value(line, &value);
    if (got < 0)
      return refuse(NET_BAD_CONTENT_LENGTH, log_line("http_try: content-length does not fit: %s", line));
    if (got == 0)
      return refuse(NET_BAD_CONTENT_LENGTH, log_line("http_try: content-length is not a number: %s", line));
    if (length_given && value != content_length)
      return refuse(NET_BAD_CONTENT_LENGTH,
                    log_line("http_try: content-lengths %lld and %lld differ",
                             static_cast<long long>(content_length), static_cast<long long>(value)));
    content_length = value;
    length_given = true;
    log_message("http_try: content-length is %lld", static_cast<long long>(content_length));
  }
  // Nothing of a reply whose headers did not end with their empty line is used.
  cut = headers_failed();
  if (cut != NET_OK) return refuse(cut, std::string());
  if (!socket_line_whole())
    return refuse(NET_HEADERS_CUT, log_line("http_try: the reply ended before its headers did"));
  socket_set_deadline(0);
  return NET_OK;
}

int http_open() {
  result.redirects = 0;
  chain_started = plat_tick_ms();
  chain_open = true;
  struct ChainEnd {
    ~ChainEnd() { chain_open = false; }
  } chain_end;
  for (;;) {
    NetOutcome r = http_try();
    if (r == NET_OK) {
      log_message("http_open: http_try() ok");
      return 0;
    }
    if (r != NET_REDIRECT) {
      log_message("http_open: http_try() fail");
      return -1;
    }
    if (++result.redirects > HTTP_MAX_REDIRECTS) {
      result.outcome = NET_TOO_MANY_REDIRECTS;
      result.detail = log_line("http_open: more than %d redirects, giving up", HTTP_MAX_REDIRECTS);
      return -1;
    }
    log_message("http_open: http_try() again");
  }
}

int net_open(const char* url) {
  net_set_url(url);
  return http_open();
}
