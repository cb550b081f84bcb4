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
int content_length = 0;

bool starts_with_nocase(const char* line, const char* prefix) {
  for (; *prefix; ++line, ++prefix)
    if (std::tolower(static_cast<unsigned char>(*line)) !=
        std::tolower(static_cast<unsigned char>(*prefix)))
      return false;
  return true;
}

// As sscanf's "%*s %d": skips the first word and reads the number after it.
// A number that does not fit an int counts as none, instead of undefined
// behaviour.
bool scan_second_number(const char* line, int* out) {
  const char* p = line;
  while (*p && std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (!*p) return false;
  while (*p && !std::isspace(static_cast<unsigned char>(*p))) ++p;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(p, &end, 10);
  if (end == p || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

// Follows a Location value: absolute URLs as they are, a path on this host
// from the current host and port. 0, or -1 when it cannot be followed.
int follow_location(const char* value) {
  if (std::strstr(value, "://")) {
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

int net_content_length() { return content_length; }

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
  socket_set_timeout(socket_header_timeout_ms);
  socket_printf("GET %s HTTP/1.0\r\n", path.c_str());
  socket_printf("Host: %s:%d\r\n", host.c_str(), port);
  socket_printf("\r\n");

  char* line = socket_readline();
  int code = 0;
  if (headers_failed()) {
    socket_close();
    return 1;
  }
  if (!scan_second_number(line, &code)) {
    log_message("http_try: no status code in the reply");
    socket_close();
    return 1;
  }
  log_message("http_try: code is %d", code);

  if (code >= 300 && code <= 399) {
    for (;;) {
      line = socket_readline();
      if (!*line) break;
      if (starts_with_nocase(line, "Location:")) {
        const char* value = line + 9;
        while (*value == ' ' || *value == '\t') ++value;
        std::string target = value;  // the line dies with the next read
        int r = follow_location(target.c_str());
        socket_close();
        return r == 0 ? 2 : 1;
      }
    }
    headers_failed();  // only for the log line: a 3xx without Location fails anyway
  }
  if (code >= 300) {
    socket_close();
    return 1;
  }
  for (;;) {
    line = socket_readline();
    if (!*line) break;
    if (starts_with_nocase(line, "Content-Length:")) {
      scan_second_number(line, &content_length);
      log_message("http_try: content-length is %d", content_length);
    }
  }
  if (headers_failed()) {
    socket_close();
    return 1;
  }
  socket_set_timeout(0);
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
