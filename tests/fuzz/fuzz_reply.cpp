// The reply reader on arbitrary bytes: a loopback server thread answers one
// request with the fuzz input and ends the stream, and the client reads it
// either through http_try (status line, headers, body) or line by line through
// socket_readline. Nothing may crash, and no line may hold a line feed or more
// than the buffer's 1024 bytes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "net/http.h"
#include "net/socket.h"
#include "support/log.h"

namespace {
int listener = -1;
int port = 0;
std::string url;

// One connection: the whole input, then end of stream; the request is drained
// until the client closes, so that no reset can come from unread bytes.
void serve(const uint8_t* data, size_t size) {
  int c = accept(listener, nullptr, nullptr);
  if (c < 0) return;
  size_t sent = 0;
  while (sent < size) {
    ssize_t n = send(c, data + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  shutdown(c, SHUT_WR);
  char sink[4096];
  while (recv(c, sink, sizeof sink, 0) > 0) {
  }
  close(c);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  signal(SIGPIPE, SIG_IGN);
  listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(listener, 4) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    std::abort();
  port = ntohs(sa.sin_port);
  url = "http://127.0.0.1:" + std::to_string(port) + "/f";
  log_open_at("/dev/null");  // log lines are formatted, as in a real run
  socket_init();
  socket_header_timeout_ms = 5000;  // the server always ends the stream; this only bounds a hang
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  bool lines = data[0] & 1;
  std::thread server(serve, data + 1, size - 1);
  if (lines) {
    if (socket_open("127.0.0.1", port) != 0) std::abort();
    socket_printf("GET / HTTP/1.0\r\n\r\n");
    // Every byte comes out within size lines at most, then empty lines only.
    for (size_t i = 0; i < size + 2; ++i) {
      char* line = socket_readline();
      size_t n = std::strlen(line);
      if (n > 1024 || std::memchr(line, '\n', n)) std::abort();
    }
  } else {
    net_set_url(url.c_str());
    if (http_try() == NET_OK) {
      char chunk[8192];
      while (socket_read(chunk, sizeof chunk) > 0) {
      }
    }
  }
  socket_close();
  server.join();
  return 0;
}
