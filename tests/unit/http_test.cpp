#include "net/http.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "net/socket.h"
#include "testkit/testkit.h"
#include "test_server.h"

namespace {

class HttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socket_init();
    write_file(root / "a.txt", "hello\n");
    ASSERT_GT(server.port(), 0);
  }
  void TearDown() override {
    socket_close();
    socket_done();
    socket_header_timeout_ms = SOCKET_HEADER_TIMEOUT_MS;
  }
  std::string body() {
    std::string out;
    char buf[8192];
    int n;
    while ((n = socket_read(buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(server.port()); }
  LogCapture log;
  TempDir root;
  TempDir scratch;
  std::string requests = scratch / "requests.txt";
  QvServer server{root.path(), requests};
};

TEST_F(HttpTest, PlainGetSendsExactlyTheRequestAndStopsAtTheBody) {
  ASSERT_EQ(net_open(server.url("/a.txt").c_str()), 0);
  EXPECT_EQ(net_content_length(), 6);
  EXPECT_EQ(body(), "hello\n");
  EXPECT_EQ(read_file(requests), "GET /a.txt HTTP/1.0\r\nHost: " + host() + "\r\n\r\n");
}

TEST_F(HttpTest, UrlWithoutPathRequestsTheRoot) {
  write_file(root / "index.html", "root");
  ASSERT_EQ(net_open(server.url("").c_str()), 0);
  ASSERT_EQ(net_open(("http://127.0.0.1:" + std::to_string(server.port()) + "?q").c_str()), 0);
  EXPECT_EQ(read_file(requests), "GET / HTTP/1.0\r\nHost: " + host() + "\r\n\r\n" +
                                     "GET / HTTP/1.0\r\nHost: " + host() + "\r\n\r\n");
}

// A length is read whole or the reply is refused, and so is a body in chunks:
// a cut or framed body must not pass for the file.
TEST_F(HttpTest, ContentLengthHeaderVariants) {
  struct Case {
    std::string query;
    int64_t length;      // -1: the attempt fails
    std::string line;    // logged for it
  };
  const std::string pad = std::string(1017, 'a');
  const Case cases[] = {
      {"nolength=1", 0, ""},
      {"case=lower", 7, "http_try: content-length is 7"},
      {"lengths=7,7", 7, "http_try: content-length is 7"},
      {"length=" + pct("  007 \t"), 7, "http_try: content-length is 7"},
      {"raw=" + pct("HTTP/1.0 200 OK\r\nContent-Length:7\r\n\r\n1234567"), 7, "http_try: content-length is 7"},
      // A header line over 1024 bytes comes in pieces: it neither hides the
      // next header nor gives one of its own.
      {"longheader=3000", 7, "http_try: content-length is 7"},
      {"raw=" + pct("HTTP/1.0 200 OK\r\nX-Pad: " + pad + "Content-Length: 3\r\n\r\n1234567"), 0, ""},
      {"lengths=3,abc,11", -1, "http_try: content-length is not a number: Content-Length: abc"},
      {"length=-7", -1, "http_try: content-length is not a number: Content-Length: -7"},
      {"length=%2B7", -1, "http_try: content-length is not a number: Content-Length: +7"},
      {"length=0x7", -1, "http_try: content-length is not a number: Content-Length: 0x7"},
      {"length=", -1, "http_try: content-length is not a number: Content-Length: "},
      {"lengths=7,8", -1, "http_try: content-lengths 7 and 8 differ"},
      {"raw=" + pct("HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7\r\n1234567\r\n0\r\n\r\n"), -1,
       "http_try: can't read a body sent with transfer-encoding chunked"},
      {"raw=" + pct("HTTP/1.0 200 OK\r\ntransfer-encoding: Identity \r\n\r\n1234567"), 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    int got = net_open(server.url("/x?size=7&" + c.query).c_str());
    EXPECT_EQ(got, c.length < 0 ? -1 : 0);
    EXPECT_EQ(net_content_length(), c.length < 0 ? 0 : c.length);
    socket_close();
    auto lines = lines_from(log.lines(), "net_set_url: url is " + server.url("/x?size=7&" + c.query));
    EXPECT_TRUE(c.line.empty() || has_line(lines, c.line));
    EXPECT_TRUE(c.length != 0 || count_lines(lines, "http_try: content-length is 3") == 0);
  }
}

TEST_F(HttpTest, RedirectToAnotherPortLogsTheSequence) {
  std::string requests2 = scratch / "requests2.txt";
  QvServer other(root.path(), requests2);
  ASSERT_GT(other.port(), 0);
  std::string target = other.url("/x?size=5");
  std::string first = server.url("/r?location=" + pct("  \t" + target));
  ASSERT_EQ(net_open(first.c_str()), 0);
  EXPECT_EQ(net_content_length(), 5);
  EXPECT_EQ(body(), std::string("\0\1\2\3\4", 5));
  EXPECT_EQ(read_file(requests2), "GET /x?size=5 HTTP/1.0\r\nHost: 127.0.0.1:" +
                                      std::to_string(other.port()) + "\r\n\r\n");
  std::vector<std::string> want = {
      "net_set_url: url is " + first,
      "socket_open: connected to 127.0.0.1",
      "http_try: code is 302",
      "net_set_url: url is " + target,
      "socket_close",
      "http_open: http_try() again",
      "socket_open: connected to 127.0.0.1",
      "http_try: code is 200",
      "http_try: content-length is 5",
      "http_open: http_try() ok",
  };
  EXPECT_EQ(lines_from(log.lines(), want[0]), want);
}

TEST_F(HttpTest, TrailingSpacesOfALocationStayInTheUrl) {
  std::string target = server.url("/a.txt ");
  ASSERT_EQ(net_open(server.url("/r?location=" + pct("\t " + target)).c_str()), 0);
  EXPECT_TRUE(has_line(log.lines(), "net_set_url: url is " + target));
}

// A Location is resolved against the URL that answered it, dot segments
// taken out and the fragment left off, as a browser would.
TEST_F(HttpTest, RelativeLocations) {
  const std::string port = std::to_string(server.port());
  struct Case {
    std::string location;
    std::string fetched;  // the path asked for next, "" when it is not followed
  };
  const Case cases[] = {
      {"x?size=3", "/d/e/x?size=3"},
      {"./x?size=3#top", "/d/e/x?size=3"},
      {"../x?size=3", "/d/x?size=3"},
      {"../../../../x?size=3", "/x?size=3"},
      {"/a/./b/../x?size=3", "/a/x?size=3"},
      {"?size=3", "/d/e/r?size=3"},
      {"//127.0.0.1:" + port + "/f/../x?size=3", "/x?size=3"},
      {"http://127.0.0.1:" + port + "/a/b/..?size=3", "/a/?size=3"},
      {"", ""},
      {"#top", ""},
      {"\\x?size=3", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.location);
    std::string first = server.url("/d/e/r?location=" + pct(c.location));
    EXPECT_EQ(net_open(first.c_str()), c.fetched.empty() ? -1 : 0);
    socket_close();
    auto lines = lines_from(log.lines(), "net_set_url: url is " + first);
    EXPECT_TRUE(has_line(lines, c.fetched.empty()
                                    ? "http_try: can't follow relative location \"" + c.location + "\""
                                    : "net_set_url: url is http://127.0.0.1:" + port + c.fetched));
  }
  // A URL without a host at all fails too, and so does one with an empty host.
  EXPECT_EQ(net_open("/just/a/path"), -1);
  EXPECT_TRUE(has_line(log.lines(), "http_try: no host in url \"/just/a/path\""));
  EXPECT_EQ(net_open("file:///etc/passwd"), -1);
  EXPECT_TRUE(has_line(log.lines(), "http_try: no host in url \"/etc/passwd\""));
}

TEST_F(HttpTest, RedirectsAreBounded) {
  ASSERT_EQ(net_open(server.url("/x?size=1&redirect=20").c_str()), 0);
  socket_close();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(net_open(server.url("/x?size=1&redirect=1000").c_str()), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  auto lines = lines_from(log.lines(), "net_set_url: url is " + server.url("/x?size=1&redirect=1000"));
  EXPECT_EQ(count_lines(lines, "http_try: code is 302"), HTTP_MAX_REDIRECTS + 1);
  EXPECT_EQ(lines.back(), "http_open: more than 20 redirects, giving up");
}

// The result callers branch on: what happened, the status and the URL that
// answered, whatever the reply.
TEST_F(HttpTest, ResultSaysWhatHappened) {
  const std::string refused = "http://127.0.0.1:" + std::to_string(closed_loopback_port()) + "/a.txt";
  const std::string no_status = server.url("/x?statusline=" + pct("HTTP/1.0 OK"));
  struct Case {
    std::string url;
    NetOutcome outcome;
    int status;
    std::string answered;
    int redirects;
  };
  const Case cases[] = {
      {server.url("/missing.txt"), NET_HTTP_STATUS, 404, server.url("/missing.txt"), 0},
      {server.url("/x?size=1&redirect=2"), NET_OK, 200, server.url("/x?size=1&redirect=0"), 2},
      // The URL the last redirect pointed to, never fetched.
      {server.url("/x?size=1&redirect=1000"), NET_TOO_MANY_REDIRECTS, 302,
       server.url("/x?size=1&redirect=" + std::to_string(1000 - HTTP_MAX_REDIRECTS - 1)), HTTP_MAX_REDIRECTS + 1},
      {refused, NET_CANNOT_CONNECT, 0, refused, 0},
      {no_status, NET_BAD_STATUS_LINE, 0, no_status, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(net_open(c.url.c_str()), c.outcome == NET_OK ? 0 : -1);
    socket_close();
    const NetResult& r = net_last_result();
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.url, c.answered);
    EXPECT_EQ(r.redirects, c.redirects);
    EXPECT_EQ(r.detail.empty(), c.outcome == NET_OK || c.outcome == NET_HTTP_STATUS);
  }
}

TEST_F(HttpTest, FailingStatusCodes) {
  EXPECT_EQ(net_open(server.url("/x?status=301").c_str()), -1);
  EXPECT_EQ(net_open(server.url("/missing.txt").c_str()), -1);
  auto lines = log.lines();
  std::vector<std::string> want301 = {
      "net_set_url: url is " + server.url("/x?status=301"),
      "socket_open: connected to 127.0.0.1",
      "http_try: code is 301",
      "socket_close",
      "http_open: http_try() fail",
  };
  EXPECT_EQ(std::vector<std::string>(lines.end() - 10, lines.end() - 5), want301);
  EXPECT_EQ(lines[lines.size() - 3], "http_try: code is 404");
  EXPECT_EQ(lines[lines.size() - 2], "socket_close");
}

// Interim replies are passed over and the final one decides: a 100 alone is
// no reply, its headers are never the file, and 101 is a failure. 204 is a success.
TEST_F(HttpTest, InterimRepliesArePassedOverAndNoContentCountsAsSuccess) {
  struct Case { std::string query; int result; const char* body; };
  const std::string final_reply = "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nabc";
  const Case cases[] = {
      {"raw=" + pct("HTTP/1.1 100 Continue\r\n\r\n" + final_reply), 0, "abc"},
      {"raw=" + pct("HTTP/1.1 102 Processing\r\nX-A: 1\r\n\r\nHTTP/1.1 103 Early\r\nLink: x\r\n\r\n" +
                    final_reply), 0, "abc"},
      {"status=100&body=abc", -1, ""},
      {"raw=" + pct("HTTP/1.1 101 Switching Protocols\r\n\r\n" + final_reply), -1, ""},
      {"raw=" + pct("HTTP/1.1 100 Continue\r\nX-Cut: 1"), -1, ""},
      {"status=204&body=de&nolength=1", 0, "de"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(net_open(server.url("/x?" + c.query).c_str()), c.result) << c.query;
    if (c.result == 0) {
      EXPECT_EQ(body(), c.body) << c.query;
    }
    socket_close();
  }
  EXPECT_EQ(count_lines(log.lines(), "http_try: 101 would switch to another protocol"), 1);
}

TEST_F(HttpTest, StatusLineWithoutANumberFails) {
  EXPECT_EQ(net_open(server.url("/x?statusline=" + pct("HTTP/1.0 OK")).c_str()), -1);
  EXPECT_EQ(net_open(server.url("/x?close=1").c_str()), -1);
  // Numbers that are no status of HTTP's, and a part of the file, are no success.
  for (const char* status : {"-200", "0", "99", "1000", "206"})
    EXPECT_EQ(net_open(server.url("/x?size=3&statusline=" + pct(std::string("HTTP/1.0 ") + status + " OK")).c_str()), -1);
  auto lines = log.lines();
  EXPECT_EQ(count_lines(lines, "http_try: no status code in the reply"), 2);
  EXPECT_EQ(count_lines(lines, "http_try: -200 is not an HTTP status code"), 1);
  EXPECT_EQ(count_lines(lines, "http_try: 1000 is not an HTTP status code"), 1);
  EXPECT_EQ(count_lines(lines, "http_try: 206 gives a part of the file, not all of it"), 1);
  EXPECT_EQ(count_lines(lines, "http_open: http_try() fail"), 7);
}

// One deadline for the status line and all headers, however the bytes come:
// none, a status line and half a header, or one byte at a time.
TEST_F(HttpTest, HeadersShareOneDeadline) {
  socket_header_timeout_ms = 400;
  for (std::string query : {std::string("hang=1"), "raw=" + pct("HTTP/1.0 200 OK\r\nContent-Le") + "&hold=1",
                            "raw=" + pct("HTTP/1.0 200 OK\r\nX-Slow: 123456789") + "&trickle=60&hold=1"}) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(net_open(server.url("/x?" + query).c_str()), -1) << query;
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(390)) << query;
    EXPECT_LT(took, std::chrono::milliseconds(600)) << query;
    socket_close();
  }
  EXPECT_EQ(count_lines(log.lines(), "http_try: no reply within 400 ms"), 3);
  // The heads of a chain of redirects share it too: three hops of 250 ms each
  // end at the deadline, not after the chain.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(net_open(server.url("/x?redirect=3&headdelay=250&body=x").c_str()), -1);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(390));
  EXPECT_LT(took, std::chrono::milliseconds(600));
  EXPECT_EQ(count_lines(log.lines(), "http_try: no reply within 400 ms"), 4);
}

// A reply that is cut short is no reply: no redirect, no length, no body.
TEST_F(HttpTest, RepliesCutShortAreNotUsed) {
  std::string here = "http://127.0.0.1:" + std::to_string(server.port());
  for (std::string raw : {std::string("HTTP/1.0 302 Found\r\nLocation: ") + here + "/a.txt",
                          std::string("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n"),
                          std::string("HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\nbody")}) {
    EXPECT_EQ(net_open(server.url("/x?raw=" + pct(raw)).c_str()), -1) << raw;
    EXPECT_EQ(net_content_length(), 0) << raw;
  }
  auto lines = log.lines();
  EXPECT_EQ(count_lines(lines, "http_try: the reply ended before its headers did"), 1);
  EXPECT_EQ(count_lines(lines, "net_set_url: url is " + here + "/a.txt"), 0);
}

// "://" in a relative Location's query does not make it absolute.
TEST_F(HttpTest, RelativeLocationWithAUrlInItsQueryStaysOnThisHost) {
  ASSERT_EQ(net_open(server.url("/x?location=" + pct("/a.txt?next=http://elsewhere.example/x")).c_str()), 0);
  EXPECT_EQ(body(), "hello\n");
  EXPECT_TRUE(has_line(log.lines(), "net_set_url: url is http://127.0.0.1:" + std::to_string(server.port()) +
                                        "/a.txt?next=http://elsewhere.example/x"));
}

TEST_F(HttpTest, ResetDuringTheHeadersFails) {
  EXPECT_EQ(net_open(server.url("/x?raw=" + pct("HTTP/1.0 200 OK\r\nContent-Le") + "&reset=1").c_str()), -1);
}

TEST_F(HttpTest, LongRequestLinesAreSentWhole) {
  std::string pad(3000, 'p');
  ASSERT_EQ(net_open(server.url("/x?size=2&pad=" + pad).c_str()), 0);
  EXPECT_EQ(read_file(requests), "GET /x?size=2&pad=" + pad + " HTTP/1.0\r\nHost: " + host() + "\r\n\r\n");
}

}  // namespace
