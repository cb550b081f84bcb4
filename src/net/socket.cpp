#include "net/socket.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "support/log.h"

int socket_header_timeout_ms = SOCKET_HEADER_TIMEOUT_MS;
int socket_connect_timeout_ms = SOCKET_CONNECT_TIMEOUT_MS;

namespace {
const int BUFFER_CAPACITY = 1024;

// The user-interface thread closes the connection under the worker's receive
// on a cancel, so the handle is the one field both threads touch.
std::atomic<intptr_t> sock{PLAT_INVALID_SOCKET};
// The TLS session over it, when the connection speaks TLS. Touched only by the
// thread that reads and writes: a cancel closes the socket under it, and the
// session goes with the next socket_open or socket_close.
plat_tls tls = nullptr;

// A static block rather than a heap one: nothing to fail at start. One byte
// past the data for the NUL of an unterminated line; the rest is slack.
char buffer[BUFFER_CAPACITY + 3];
int fill_level = 0;
int read_pos = 0;
int recv_state = SOCKET_RECV_OK;
// The last line went out as a full buffer without its end: the terminator that
// follows belongs to it and must not come out as an empty line of its own (in
// the headers, that would end them early and turn the rest into body bytes).
bool mid_line = false;

// The body is received in large blocks and handed out from here: a receive per
// 8192-byte chunk costs more than the copy. Touched by socket_read alone.
const int BULK_CAPACITY = 256 * 1024;
char bulk[BULK_CAPACITY];
int bulk_level = 0;
int bulk_pos = 0;

// The status line and headers share one deadline (a tick count; 0 for none).
uint32_t deadline = 0;
bool line_whole = false;
bool line_continues = false;  // the last line is the rest of one cut by a full buffer

// Why the last socket_open failed, for the caller to report.
int open_state = SOCKET_OPEN_OK;
int open_tls_failure = PLAT_TLS_OK;
std::string open_failure;

// One receive with the state kept: a result below 0 is a failure, and a
// time-out is told apart so that the caller can say so. Once one has failed
// or timed out, the connection gives nothing more: a second wait would stretch
// the time-out, and bytes after a failure cannot be trusted to follow on.
int receive(char* dst, int len) {
  plat_socket s = sock.load();
  if (s == PLAT_INVALID_SOCKET) {
    recv_state = SOCKET_RECV_FAILED;
    return -1;
  }
  if (recv_state != SOCKET_RECV_OK) return -1;
  if (deadline != 0) {
    int32_t left = static_cast<int32_t>(deadline - plat_tick_ms());
    if (left <= 0) {
      recv_state = SOCKET_RECV_TIMED_OUT;
      return -1;
    }
    plat_set_recv_timeout(s, left);
  }
  int n = tls ? plat_tls_recv(tls, dst, len) : plat_recv(s, dst, len);
  if (n == PLAT_TLS_CUT)
    recv_state = SOCKET_RECV_CUT;
  else if (n < 0)
    recv_state = plat_recv_timed_out() ? SOCKET_RECV_TIMED_OUT : SOCKET_RECV_FAILED;
  return n < 0 ? -1 : n;
}
}  // namespace

void socket_init() {
  log_message("socket_init");
  plat_net_startup();
  sock.store(PLAT_INVALID_SOCKET);
  fill_level = read_pos = 0;
  bulk_level = bulk_pos = 0;
  mid_line = false;
}

namespace {
void drop_tls() {
  plat_tls_free(tls);
  tls = nullptr;
}
}  // namespace

void socket_done() {
  log_message("socket_done");
  drop_tls();
  plat_net_cleanup();
}

int socket_parse_ipv4(const char* host, uint32_t* addr_be) {
  int n[4];
  if (std::sscanf(host, "%d.%d.%d.%d", &n[0], &n[1], &n[2], &n[3]) != 4) return -1;
  unsigned char bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(n[i] & 0xFF);
  std::memcpy(addr_be, bytes, sizeof bytes);
  return 0;
}

int socket_open(const char* host, int port) {
  drop_tls();
  // Bytes left from an earlier connection must never show up on this one.
  fill_level = read_pos = 0;
  bulk_level = bulk_pos = 0;
  recv_state = SOCKET_RECV_OK;
  mid_line = false;
  line_whole = false;
  line_continues = false;
  deadline = 0;
  open_state = SOCKET_OPEN_OK;
  open_tls_failure = PLAT_TLS_OK;
  open_failure.clear();
  uint32_t addr = 0;
  if (socket_parse_ipv4(host, &addr) != 0 && plat_resolve_ipv4(host, &addr) != 0) {
    open_failure = log_line("socket_open: gethostbyname for \"%s\" failed", host);
    open_state = SOCKET_OPEN_NO_ADDRESS;
    return -1;
  }
  plat_socket s = plat_tcp_socket();
  sock.store(s);
  if (s == PLAT_INVALID_SOCKET) {
    open_failure = log_line("socket_open: socket() failed");
    open_state = SOCKET_OPEN_NO_SOCKET;
    return -1;
  }
  int connected = plat_connect(s, addr, port & 0xFFFF, socket_connect_timeout_ms);
  if (connected != 0) {
    if (connected == PLAT_TIMED_OUT) {
      open_failure = log_line("socket_open: connect() got no answer within %d ms", socket_connect_timeout_ms);
      open_state = SOCKET_OPEN_TIMED_OUT;
    } else {
      open_failure = log_line("socket_open: connect() failed");
      open_state = SOCKET_OPEN_NO_CONNECTION;
    }
    if (sock.exchange(PLAT_INVALID_SOCKET) != PLAT_INVALID_SOCKET) plat_close_socket(s);
    return -1;
  }
  log_message("socket_open: connected to %s", host);
  return 0;
}

void socket_interrupt() {
  log_message("socket_close");
  plat_socket s = sock.exchange(PLAT_INVALID_SOCKET);
  if (s != PLAT_INVALID_SOCKET) plat_close_socket(s);
}

void socket_close() {
  socket_interrupt();
  drop_tls();
}

namespace {
const char* tls_failure_words(int failure) {
  switch (failure) {
    case PLAT_TLS_UNKNOWN_ISSUER: return "its certificate is not signed by an authority this machine trusts";
    case PLAT_TLS_NAME_MISMATCH: return "its certificate is for another name";
    case PLAT_TLS_EXPIRED: return "its certificate has expired or is not valid yet";
    case PLAT_TLS_REVOKED: return "its certificate has been revoked";
    case PLAT_TLS_BAD_CERTIFICATE: return "its certificate is not valid";
    case PLAT_TLS_NO_COMMON_PROTOCOL: return "no TLS version (1.2 or later) or cipher in common";
    case PLAT_TLS_UNAVAILABLE: return "the system's TLS could not be started";
    default: return "the handshake failed";
  }
}
}  // namespace

int socket_start_tls(const char* host, int timeout_ms) {
  plat_socket s = sock.load();
  drop_tls();
  int failure = PLAT_TLS_HANDSHAKE_FAILED;
  std::string detail;
  // Bytes already held (sent after a proxy's answer to CONNECT) came before
  // the handshake, and would be read as if they had come through TLS.
  if (read_pos < fill_level || bulk_pos < bulk_level) {
    s = PLAT_INVALID_SOCKET;
    detail = "bytes came before it";
  }
  if (s != PLAT_INVALID_SOCKET) {
    plat_set_recv_timeout(s, timeout_ms);
    tls = plat_tls_connect(s, host, &failure, &detail);
    plat_set_recv_timeout(s, 0);
  }
  if (tls) {
    log_message("socket_open: TLS with %s", host);
    return 0;
  }
  open_state = SOCKET_OPEN_TLS_FAILED;
  open_tls_failure = failure;
  open_failure = log_line("socket_open: TLS with %s failed: %s%s%s%s", host, tls_failure_words(failure),
                          detail.empty() ? "" : " (", detail.c_str(), detail.empty() ? "" : ")");
  return -1;
}

int socket_tls_failure() { return open_tls_failure; }

int socket_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int len = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (len < 0) {
    va_end(again);
    return -1;
  }
  // Sized to the text, so a long path or host is sent whole.
  std::string text(static_cast<size_t>(len) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, again);
  va_end(again);
  text.resize(static_cast<size_t>(len));

  plat_socket s = sock.load();
  if (s == PLAT_INVALID_SOCKET) return -1;
  if (tls) return plat_tls_send(tls, text.data(), len);
  int sent = 0;
  while (sent < len) {
    int n = plat_send(s, text.data() + sent, len - sent);
    if (n <= 0) return -1;
    sent += n;
  }
  return sent;
}

void socket_set_deadline(int ms) {
  // 0 is the "none" mark, so a deadline that falls on tick 0 moves by one.
  deadline = ms > 0 ? plat_tick_ms() + static_cast<uint32_t>(ms) : 0;
  if (ms > 0 && deadline == 0) deadline = 1;
  plat_socket s = sock.load();
  if (ms <= 0 && s != PLAT_INVALID_SOCKET) plat_set_recv_timeout(s, 0);
}

int socket_line_whole() { return line_whole ? 1 : 0; }

int socket_line_continues() { return line_continues ? 1 : 0; }

int socket_recv_state() { return recv_state; }

int socket_open_state() { return open_state; }

const char* socket_open_failure() { return open_failure.c_str(); }

int socket_fill() {
  if (read_pos == fill_level) fill_level = read_pos = 0;
  int room = BUFFER_CAPACITY - fill_level;
  if (room == 0) return 0;
  int n = receive(buffer + fill_level, room);
  if (n <= 0) return 0;
  fill_level += n;
  return n;
}

char* socket_readline() {
  for (;;) {
    if (read_pos > 0 && read_pos < fill_level) {
      std::memmove(buffer, buffer + read_pos, static_cast<size_t>(fill_level - read_pos));
      fill_level -= read_pos;
      read_pos = 0;
    }
    if (read_pos == fill_level) socket_fill();
    int searched = 0;
    for (;;) {
      char* lf = static_cast<char*>(
          std::memchr(buffer + searched, '\n', static_cast<size_t>(fill_level - searched)));
      if (lf) {
        int end = static_cast<int>(lf - buffer);
        read_pos = end + 1;
        buffer[end] = '\0';
        while (end > 0 && (buffer[end - 1] == '\r' || buffer[end - 1] == '\n')) buffer[--end] = '\0';
        bool tail_of_long_line = mid_line && end == 0;
        line_continues = mid_line;
        mid_line = false;
        if (tail_of_long_line) break;  // on to the next line
        line_whole = true;
        return buffer;
      }
      searched = fill_level;
      if (fill_level >= BUFFER_CAPACITY || socket_fill() == 0) {
        // Buffer full or stream ended: everything held goes out as it is.
        line_continues = mid_line;
        mid_line = fill_level >= BUFFER_CAPACITY;
        line_whole = false;
        read_pos = fill_level;
        buffer[fill_level] = '\0';
        return buffer;
      }
    }
  }
}

int socket_read_some(char* dst, int size) {
  if (size <= 0) return 0;
  int n = 0;
  if (read_pos < fill_level) {
    n = std::min(fill_level - read_pos, size);
    std::memcpy(dst, buffer + read_pos, static_cast<size_t>(n));
    read_pos += n;
  } else if (bulk_pos < bulk_level) {
    n = std::min(bulk_level - bulk_pos, size);
    std::memcpy(dst, bulk + bulk_pos, static_cast<size_t>(n));
    bulk_pos += n;
  } else {
    n = receive(dst, size);
  }
  return n > 0 ? n : 0;
}

int socket_read(char* dst, int size) {
  int delivered = 0;
  if (read_pos < fill_level && size > 0) {
    int n = fill_level - read_pos;
    if (n > size) n = size;
    std::memcpy(dst, buffer + read_pos, static_cast<size_t>(n));
    read_pos += n;
    delivered = n;
  }
  while (delivered < size) {
    if (bulk_pos == bulk_level) {
      int n = receive(bulk, BULK_CAPACITY);
      if (n <= 0) break;
      bulk_pos = 0;
      bulk_level = n;
    }
    int n = bulk_level - bulk_pos;
    if (n > size - delivered) n = size - delivered;
    std::memcpy(dst + delivered, bulk + bulk_pos, static_cast<size_t>(n));
    bulk_pos += n;
    delivered += n;
  }
  return delivered;
}
