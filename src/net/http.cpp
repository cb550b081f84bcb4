#include "net/http.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/socket.h"
#include "support/log.h"

namespace {
// The URL state: replaced as a whole by net_set_url.
std::string scheme;  // the text before "://" (it plays no part in the request)
std::string host;
bool has_host = false;
int port = 0;
std::string path;
int64_t content_length = 0;

bool starts_with_nocase(const char* line, const char* prefix) {
  for (; *prefix; ++line, ++prefix)
    if (std::tolower(static_cast<unsigned char>(*line)) !=
        std::tolower(static_cast<unsigned char>(*prefix)))
      return false;
  return true;
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

// Follows a Location value: absolute URLs as they are, a path on this host
// from the current host and port. 0, or -1 when it cannot be followed.
int follow_location(const char* value) {
  for (const char* c = value; *c; ++c) {
    // Such bytes would end up in the next request line.
    if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) {
      log_message("http_try: can't follow a location holding control characters");
      return -1;
    }
  }
  if (is_absolute_url(value)) {
    net_set_url(value);
    return 0;
  }
  if (value[0] == '/' && has_host) {
    std::string url = (scheme.empty() ? std::string("http") : scheme) + "://" + host + ":" +
                      std::to_string(port) + value;
    net_set_url(url.c_str());
    return 0;
  }
  log_message("http_try: can't follow relative location \"%s\"", value);
  return -1;
}

// A failed receive during the status line or headers ends the attempt: a
// truncated or stalled reply must not count as a good one.
bool headers_failed() {
  int state = socket_recv_state();
  if (state == SOCKET_RECV_TIMED_OUT) {
    log_message("http_try: no reply within %d ms", socket_header_timeout_ms);
    return true;
  }
  if (state == SOCKET_RECV_FAILED) {
    log_message("http_try: receive failed while reading the reply");
    return true;
  }
  return false;
}
}  // namespace

int64_t net_content_length() { return content_length; }

void net_set_url(const char* url) {
  log_message("net_set_url: url is %s", url);
  scheme.clear();
  host.clear();
  has_host = false;
  port = 0;
  path.clear();
  content_length = 0;
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

int http_try() {
  if (port == 0) port = 80;
  if (!has_host) {
    log_message("http_try: no host in url \"%s\"", path.c_str());
    return 1;
  }
  if (socket_open(host.c_str(), port) != 0) return 1;
  socket_printf("GET %s HTTP/1.0\r\n", path.c_str());
  socket_printf("Host: %s:%d\r\n", host.c_str(), port);
  socket_printf("\r\n");
  // The status line and every header share this one deadline: a reply that
  // trickles in a byte at a time cannot hold the window for longer.
  socket_set_deadline(socket_header_timeout_ms);

  char* line = socket_readline();
  long long code = 0;
  if (headers_failed()) {
    socket_close();
    return 1;
  }
  if (scan_second_number(line, &code) != 1 || code < INT_MIN || code > INT_MAX) {
    log_message("http_try: no status code in the reply");
    socket_close();
    return 1;
  }
  log_message("http_try: code is %d", static_cast<int>(code));

  if (code >= 300 && code <= 399) {
    for (;;) {
      line = socket_readline();
      if (!*line) break;
      if (starts_with_nocase(line, "Location:")) {
        // A line cut by the stream's end, a failure or its length is not the
        // target the server meant.
        if (!socket_line_whole()) break;
        const char* value = line + 9;
        while (*value == ' ' || *value == '\t') ++value;
        std::string target = value;  // the line dies with the next read
        int r = follow_location(target.c_str());
        socket_close();
        return r == 0 ? 2 : 1;
      }
    }
    headers_failed();  // only for the log line: a 3xx without a whole Location fails anyway
  }
  if (code >= 300) {
    socket_close();
    return 1;
  }
  for (;;) {
    line = socket_readline();
    if (!*line) break;
    if (starts_with_nocase(line, "Content-Length:")) {
      long long value = 0;
      int got = scan_second_number(line, &value);
      if (got < 0) {
        log_message("http_try: content-length does not fit: %s", line);
        socket_close();
        return 1;
      }
      if (got > 0) content_length = value;
      log_message("http_try: content-length is %lld", static_cast<long long>(content_length));
    }
  }
  // Nothing of a reply whose headers did not end with their empty line is used.
  if (headers_failed()) {
    content_length = 0;
    socket_close();
    return 1;
  }
  if (!socket_line_whole()) {
    log_message("http_try: the reply ended before its headers did");
    content_length = 0;
    socket_close();
    return 1;
  }
  socket_set_deadline(0);
  return 0;
}

int http_open() {
  int redirects = 0;
  for (;;) {
    int r = http_try();
    if (r == 0) {
      log_message("http_open: http_try() ok");
      return 0;
    }
    if (r != 2) {
      log_message("http_open: http_try() fail");
      return -1;
    }
    if (++redirects > HTTP_MAX_REDIRECTS) {
      log_message("http_open: more than %d redirects, giving up", HTTP_MAX_REDIRECTS);
      return -1;
    }
    log_message("http_open: http_try() again");
  }
}

int net_open(const char* url) {
  net_set_url(url);
  return http_open();
}
