#include "net/socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>

#include "platform/platform.h"
#include "testkit/testkit.h"
#include "test_server.h"

namespace {

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socket_init();
    ASSERT_GT(server.port(), 0);
  }
  void TearDown() override {
    socket_close();
    socket_done();
  }
  // Connects and asks qvserve for exactly these reply bytes (see its modes).
  void request(const std::string& query) {
    ASSERT_EQ(socket_open("127.0.0.1", server.port()), 0);
    socket_printf("GET /?%s HTTP/1.0\r\n\r\n", query.c_str());
  }
  LogCapture log;
  TempDir root;
  QvServer server{root.path()};
};

TEST_F(SocketTest, LinesThenHeldBodyBytesThenTheConnection) {
  request("raw=" + pct("HTTP/1.0 200 OK\r\nX-A: b\r\n\r\nabcde") + "&then=fgh&delay=200");
  EXPECT_STREQ(socket_readline(), "HTTP/1.0 200 OK");
  EXPECT_STREQ(socket_readline(), "X-A: b");
  EXPECT_STREQ(socket_readline(), "");
  char buf[8192];
  int n = socket_read(buf, sizeof buf);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "abcdefgh");
  EXPECT_EQ(socket_recv_state(), SOCKET_RECV_OK);
}

TEST_F(SocketTest, LineEndsAndLongLines) {
  std::string longline(1030, 'x');
  request("raw=" + pct("a\nb\r\r\nc\r\nd\re\n" + longline + "\r\ntail"));
  EXPECT_STREQ(socket_readline(), "a");
  EXPECT_STREQ(socket_readline(), "b");
  EXPECT_STREQ(socket_readline(), "c");
  EXPECT_STREQ(socket_readline(), "d\re");  // a CR alone ends no line
  EXPECT_EQ(std::string(socket_readline()), std::string(1024, 'x'));
  EXPECT_STREQ(socket_readline(), "xxxxxx");
  EXPECT_STREQ(socket_readline(), "tail");  // last line without LF, as it is
  EXPECT_STREQ(socket_readline(), "");
  EXPECT_STREQ(socket_readline(), "");
}

TEST_F(SocketTest, DottedQuadTakesTheLow8BitsAndIgnoresTrailingText) {
  uint32_t addr = 0;
  unsigned char b[4];
  ASSERT_EQ(socket_parse_ipv4("300.1.1.1", &addr), 0);
  std::memcpy(b, &addr, 4);
  EXPECT_EQ(b[0], 44);
  EXPECT_EQ(b[1], 1);
  EXPECT_EQ(b[3], 1);
  ASSERT_EQ(socket_parse_ipv4("10.1.2.3.example", &addr), 0);
  std::memcpy(b, &addr, 4);
  EXPECT_EQ(b[0], 10);
  EXPECT_EQ(b[3], 3);
  EXPECT_EQ(socket_parse_ipv4("1.2.3", &addr), -1);
  EXPECT_EQ(socket_parse_ipv4("example.com", &addr), -1);

  // 383 = 256 + 127: reaches the loopback server without any lookup.
  ASSERT_EQ(socket_open("383.0.0.1", server.port()), 0);
  socket_close();
  ASSERT_EQ(socket_open("127.0.0.1.nowhere", server.port()), 0);
  auto lines = log.lines();
  EXPECT_TRUE(has_line(lines, "socket_open: connected to 383.0.0.1"));
  EXPECT_TRUE(has_line(lines, "socket_open: connected to 127.0.0.1.nowhere"));
}

TEST_F(SocketTest, StaleBytesNeverCrossConnections) {
  request("raw=" + pct("first\nleftover\n"));
  EXPECT_STREQ(socket_readline(), "first");
  socket_close();
  request("raw=" + pct("second\n"));
  EXPECT_STREQ(socket_readline(), "second");
  EXPECT_STREQ(socket_readline(), "");
}

// The body is received in large blocks behind socket_read: what one connection
// left there must not come out on the next.
TEST_F(SocketTest, HeldBodyBytesNeverCrossConnections) {
  request("size=300000&chunk=65536");
  while (*socket_readline()) {
  }
  plat_sleep_ms(100);  // more of the body waits than the first read takes
  char buf[8192];
  ASSERT_EQ(socket_read(buf, sizeof buf), 8192);
  socket_close();
  request("raw=" + pct("HTTP/1.0 200 OK\r\n\r\nsecond"));
  while (*socket_readline()) {
  }
  int n = socket_read(buf, sizeof buf);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n > 0 ? n : 0)), "second");
}

TEST_F(SocketTest, LargeBodyComesWholeInFullChunks) {
  const int size = (1 << 20) + 123;
  request("size=" + std::to_string(size) + "&chunk=65536");
  while (*socket_readline()) {
  }
  std::string got;
  char buf[8192];
  int n, short_reads = 0;
  while ((n = socket_read(buf, sizeof buf)) > 0) {
    if (n < 8192) ++short_reads;
    got.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(short_reads, 1);  // only the last one
  ASSERT_EQ(got.size(), static_cast<size_t>(size));
  for (int i = 0; i < size; ++i)
    ASSERT_EQ(static_cast<unsigned char>(got[static_cast<size_t>(i)]), i % 251) << "byte " << i;
  EXPECT_EQ(socket_recv_state(), SOCKET_RECV_OK);
}

TEST_F(SocketTest, CloseLogsEveryTimeAndConnectFailureIsLogged) {
  socket_close();
  socket_close();
  EXPECT_EQ(socket_open("127.0.0.1", closed_loopback_port()), -1);
  auto lines = log.lines();
  EXPECT_EQ(count_lines(lines, "socket_close"), 2);
  EXPECT_TRUE(has_line(lines, "socket_open: connect() failed"));
}

// A listener whose queue is full drops the next connection's SYN: like a host
// that never answers, the connect waits until its time-out, and no longer.
TEST_F(SocketTest, ConnectWithoutAnAnswerEndsAtItsTimeOut) {
  int listener = ::socket(AF_INET, SOCK_STREAM, 0), first = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof sa;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &size), 0);
  ASSERT_EQ(::connect(first, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  socket_connect_timeout_ms = 400;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(socket_open("127.0.0.1", ntohs(sa.sin_port)), -1);
  auto spent = std::chrono::steady_clock::now() - start;
  socket_connect_timeout_ms = SOCKET_CONNECT_TIMEOUT_MS;
  EXPECT_GE(spent, std::chrono::milliseconds(400));
  EXPECT_LT(spent, std::chrono::milliseconds(600));
  EXPECT_EQ(socket_open_state(), SOCKET_OPEN_TIMED_OUT);
  EXPECT_STREQ(socket_open_failure(), "socket_open: connect() got no answer within 400 ms");
  ::close(first);
  ::close(listener);
}

TEST_F(SocketTest, CloseFromAnotherThreadWakesABlockedRead) {
  request("raw=&hold=1");
  std::atomic<pid_t> reader_tid{0};
  auto reader = std::async(std::launch::async, [&reader_tid] {
    reader_tid = this_thread_id();
    char buf[8192];
    return socket_read(buf, sizeof buf);
  });
  for (int ms = 0; reader_tid == 0 && ms < 10000; ++ms) plat_sleep_ms(1);
  EXPECT_TRUE(wait_blocked_in_receive(reader_tid));
  socket_close();
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(reader.get(), 0);
}

TEST_F(SocketTest, ResetIsToldApartFromThePeersClose) {
  char buf[8192];
  request("size=100000&reset=1000");
  int total = 0, n;
  while ((n = socket_read(buf, sizeof buf)) == static_cast<int>(sizeof buf)) total += n;
  EXPECT_LT(total + n, 100000);
  EXPECT_EQ(socket_recv_state(), SOCKET_RECV_FAILED);
  socket_close();

  request("size=100000&cut=1000");
  while (socket_read(buf, sizeof buf) == static_cast<int>(sizeof buf)) {
  }
  EXPECT_EQ(socket_recv_state(), SOCKET_RECV_OK);
}

// Once the deadline has passed nothing more is received: the line reader does
// not wait a second time, and a later read returns at once.
TEST_F(SocketTest, DeadlineEndsTheLineOnceAndIsReported) {
  request("hang=1");
  socket_set_deadline(300);
  auto start = std::chrono::steady_clock::now();
  EXPECT_STREQ(socket_readline(), "");
  EXPECT_STREQ(socket_readline(), "");
  char buf[16];
  EXPECT_EQ(socket_read(buf, sizeof buf), 0);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(290));
  EXPECT_LT(took, std::chrono::milliseconds(450));
  EXPECT_EQ(socket_recv_state(), SOCKET_RECV_TIMED_OUT);
}

}  // namespace
