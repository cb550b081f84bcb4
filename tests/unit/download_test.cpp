#include "net/download.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "install/extract.h"
#include "install/run.h"
#include "net/http.h"
#include "net/socket.h"
#include "platform/headless/headless.h"
#include "resources/dialog_ids.h"
#include "support/block_writer.h"
#include "support/sha256.h"
#include "test_server.h"
#include "testkit/testkit.h"

namespace {

uint32_t fake_now = 0;
uint32_t fake_tick() { return fake_now; }
// A clock that moves 1 ms per reading: downloads see every update after the
// first as too early, which makes the display deterministic.
uint32_t creeping_tick() { return ++fake_now; }
plat_thread no_thread(plat_thread_fn, void*) { return nullptr; }

// A cancel ends the download within 1.5 times the pause the download takes
// after closing the socket (250 ms), not when the server gives up.
const auto kCancelBound = std::chrono::milliseconds(375);
std::chrono::steady_clock::time_point quit_posted;

// The first reading is net_get's own, the second the worker's after a chunk.
uint32_t quit_on_first_chunk() {
  if (++fake_now == 2) {
    quit_posted = std::chrono::steady_clock::now();
    headless_post_quit();
  }
  return fake_now;
}

// The worker started as usual, its thread id published for the test.
std::atomic<pid_t> worker_tid{0};
plat_thread_fn worker_fn = nullptr;
unsigned named_worker(void* arg) {
  worker_tid = this_thread_id();
  return worker_fn(arg);
}
plat_thread start_named_worker(plat_thread_fn fn, void* arg) {
  worker_fn = fn;
  return plat_thread_start(named_worker, arg);
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    headless_reset();
    run_attach_views();  // the progress page and the window's events, as in a run
    fake_now = 0;
    socket_init();
    write_file(root / "a.txt", "hello\n");
    ASSERT_GT(server.port(), 0);
  }
  void TearDown() override {
    socket_done();
    progress_tick = plat_tick_ms;
    download_start_thread = plat_thread_start;
    block_writer_start_thread = plat_thread_start;
    download_view = ProgressView();
    extract_view = ProgressView();
    socket_header_timeout_ms = SOCKET_HEADER_TIMEOUT_MS;
  }
  bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
  LogCapture log;
  TempDir root;
  TempDir out;
  QvServer server{root.path()};
};

TEST_F(DownloadTest, SuccessfulDownloadLogsInOrderAndRenamesIntoPlace) {
  std::string url = server.url("/a.txt");
  std::string dest = out / "a.txt";
  ASSERT_EQ(net_get(url.c_str(), dest.c_str(), 0), 0);
  EXPECT_EQ(read_file(dest), "hello\n");
  EXPECT_FALSE(exists(dest + ".part"));
  std::vector<std::string> want = {
      "download \"" + url + "\"",
      "net_set_url: url is " + url,
      "socket_open: connected to 127.0.0.1",
      "http_try: code is 200",
      "http_try: content-length is 6",
      "http_open: http_try() ok",
      "net_get: opened " + dest + ".part for writing",
      "download thread started",
      "socket_read 6 bytes",
      "socket_read 0 bytes",
      "download thread ended",
      "socket_close",
  };
  EXPECT_EQ(lines_from(log.lines(), want[0]), want);
  EXPECT_EQ(headless_text(IDC_STATUS), "Downloading a.txt...");
}

TEST_F(DownloadTest, NoLengthAndNoExpectedSize) {
  progress_tick = creeping_tick;
  std::string dest = out / "n.bin";
  ASSERT_EQ(net_get(server.url("/n.bin?size=20000&nolength=1").c_str(), dest.c_str(), 0), 0);
  EXPECT_EQ(read_file(dest).size(), 20000u);
  EXPECT_EQ(headless_progress_pos(IDC_PROGRESS), 0);
  // Only the first chunk's update passed the 200 ms limit.
  EXPECT_EQ(headless_text(IDC_RATE), "  0%  8k/0k  8.0k/s");
}

TEST_F(DownloadTest, WrongContentLengthFailsAndDeletes) {
  std::string dest = out / "w.bin";
  EXPECT_EQ(net_get(server.url("/w?size=1000&length=5000").c_str(), dest.c_str(), 0), -1);
  EXPECT_EQ(net_get(server.url("/w?size=1000&length=10").c_str(), dest.c_str(), 0), -1);
  EXPECT_FALSE(exists(dest));
  EXPECT_FALSE(exists(dest + ".part"));
  auto lines = log.lines();
  EXPECT_TRUE(has_line(lines, "expected size 5000 != real size 1000"));
  EXPECT_TRUE(has_line(lines, "expected size 10 != real size 1000"));
  EXPECT_EQ(count_lines(lines, "deleting \"" + dest + ".part\""), 2);
}

// The list's size: another announced length is refused before the file is
// opened, and a body that goes on past the size (announced or not) is cut off
// there, even one that would never end.
TEST_F(DownloadTest, SizeFromTheListBoundsTheBody) {
  struct Case { const char* query; NetOutcome outcome; const char* line; };
  const Case cases[] = {
      {"size=5000", NET_OK, nullptr},
      {"size=5000&nolength=1", NET_OK, nullptr},
      {"size=5001", NET_BAD_CONTENT_LENGTH, "net_get: 5001 bytes announced, the list says 5000"},
      {"size=50000&nolength=1", NET_TOO_LARGE, "net_get: more than 5000 bytes, giving up"},
      {"size=1&endless=1&nolength=1", NET_TOO_LARGE, "net_get: more than 5000 bytes, giving up"},
      {"size=4000&nolength=1", NET_BODY_TOO_SHORT, "net_get: 4000 bytes came, the list says 5000"},
  };
  DownloadCheck check;
  check.exact_size = 5000;
  for (const Case& c : cases) {
    std::string dest = out / "s.bin";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(net_get(server.url(std::string("/s?") + c.query).c_str(), dest.c_str(), 0, &check),
              c.outcome == NET_OK ? 0 : -1) << c.query;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.query;
    EXPECT_EQ(net_last_result().outcome, c.outcome) << c.query;
    EXPECT_EQ(exists(dest), c.outcome == NET_OK) << c.query;
    EXPECT_FALSE(exists(dest + ".part")) << c.query;
    if (c.line) {
      EXPECT_TRUE(has_line(log.lines(), c.line)) << c.query;
    }
    std::remove(dest.c_str());
  }
  EXPECT_EQ(count_lines(log.lines(), "net_get: opened " + (out / "s.bin.part") + " for writing"), 5);
}

// The body is hashed chunk by chunk as it is written: the running hash of many
// chunks must be the whole file's, and a mismatch keeps the older file.
TEST_F(DownloadTest, BodyIsKeptOnlyWithTheSha256AskedFor) {
  std::string dest = out / "big.bin", right;
  std::string url = server.url("/big.bin?size=300001&nolength=1");
  ASSERT_EQ(net_get(url.c_str(), dest.c_str(), 0), 0);
  ASSERT_EQ(sha256_file(dest, &right), 0);
  DownloadCheck check;
  check.sha256 = right.c_str();
  EXPECT_EQ(net_get(url.c_str(), dest.c_str(), 0, &check), 0);
  std::string wrong = std::string(1, right[0] == '0' ? '1' : '0') + right.substr(1);
  check.sha256 = wrong.c_str();
  write_file(dest, "older");
  EXPECT_EQ(net_get(url.c_str(), dest.c_str(), 0, &check), -1);
  EXPECT_EQ(read_file(dest), "older");
  EXPECT_FALSE(exists(dest + ".part"));
  EXPECT_TRUE(has_line(log.lines(), "net_get: " + url + " has SHA-256 " + right + ", the list says " + wrong));
}

TEST_F(DownloadTest, FailedRefetchKeepsTheOlderFile) {
  std::string dest = out / "filelist.txt";
  write_file(dest, "old list");
  EXPECT_EQ(net_get(server.url("/missing").c_str(), dest.c_str(), 0), -1);
  EXPECT_EQ(net_get(server.url("/f?size=3000&cut=1000").c_str(), dest.c_str(), 0), -1);
  EXPECT_EQ(read_file(dest), "old list");
  ASSERT_EQ(net_get(server.url("/a.txt").c_str(), dest.c_str(), 0), 0);
  EXPECT_EQ(read_file(dest), "hello\n");
  EXPECT_TRUE(has_line(log.lines(), "net_get: net_open() failed"));
}

TEST_F(DownloadTest, ResetFailsEvenWithoutContentLength) {
  std::string dest = out / "r.bin";
  EXPECT_EQ(net_get(server.url("/r?size=100000&nolength=1&reset=20000").c_str(), dest.c_str(), 0), -1);
  EXPECT_FALSE(exists(dest));
  EXPECT_FALSE(exists(dest + ".part"));
  // The peer's plain close without a length is a success with what arrived.
  ASSERT_EQ(net_get(server.url("/r?size=100000&nolength=1&cut=20000").c_str(), dest.c_str(), 0), 0);
  EXPECT_EQ(read_file(dest).size(), 20000u);
}

TEST_F(DownloadTest, MissingDirectoryLogsTheRuntimeError) {
  std::string dest = out / "nope/x.txt";
  EXPECT_EQ(net_get(server.url("/a.txt").c_str(), dest.c_str(), 0), -1);
  auto lines = log.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2],
            "net_get: can't open " + dest + ".part for writing: No such file or directory");
  EXPECT_EQ(lines.back(), "socket_close");
}

TEST_F(DownloadTest, WriteErrorFails) {
  std::string dest = out / "full.bin";
  ASSERT_EQ(symlink("/dev/full", (dest + ".part").c_str()), 0);
  EXPECT_EQ(net_get(server.url("/f?size=100000").c_str(), dest.c_str(), 0), -1);
  EXPECT_FALSE(exists(dest));
  auto lines = log.lines();
  EXPECT_TRUE(has_line(lines, "fwrite() failed: No space left on device") ||
              has_line(lines, "fclose() failed: No space left on device"));
  EXPECT_TRUE(has_line(lines, "deleting \"" + dest + ".part\""));
}

// The worker's thread, then the block writer's: without either nothing is kept.
TEST_F(DownloadTest, ThreadStartFailureFails) {
  int failed = 0;
  for (auto* start : {&download_start_thread, &block_writer_start_thread}) {
    *start = no_thread;
    std::string dest = out / "t.txt";
    EXPECT_EQ(net_get(server.url("/a.txt").c_str(), dest.c_str(), 0), -1);
    *start = plat_thread_start;
    EXPECT_FALSE(exists(dest));
    EXPECT_FALSE(exists(dest + ".part"));
    EXPECT_TRUE(has_line(log.lines(), "net_get: can't start the download thread"));
    EXPECT_EQ(count_lines(log.lines(), "net_get: can't start the download thread"), ++failed);
    EXPECT_FALSE(has_line(log.lines(), "download thread started"));
  }
}

// The server stalls after one chunk of the body, so only the quit can end the
// download; it is posted when the worker has taken that chunk.
TEST_F(DownloadTest, QuitDuringTheBodyCancels) {
  progress_tick = quit_on_first_chunk;
  std::string dest = out / "slow.bin";
  EXPECT_EQ(net_get(server.url("/s?size=1000000&stall=8192").c_str(), dest.c_str(), 0), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - quit_posted, kCancelBound);
  EXPECT_FALSE(exists(dest));
  EXPECT_FALSE(exists(dest + ".part"));
  auto lines = lines_from(log.lines(), "received WM_QUIT, stopping thread");
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[1], "socket_close");
  EXPECT_EQ(lines[lines.size() - 4], "download thread ended");
  EXPECT_EQ(lines[lines.size() - 3], "socket_close");
  EXPECT_EQ(lines[lines.size() - 2], "expected size 1000000 != real size 8192");
  EXPECT_EQ(lines.back(), "deleting \"" + dest + ".part\"");
}

// The head arrives, the body never does: the quit comes while the worker is
// blocked in its receive, and the close must wake it.
TEST_F(DownloadTest, QuitBeforeTheFirstBodyByteWakesTheWorker) {
  download_start_thread = start_named_worker;
  worker_tid = 0;
  std::thread quitter([] {
    for (int ms = 0; worker_tid == 0 && ms < 10000; ++ms) plat_sleep_ms(1);
    EXPECT_TRUE(wait_blocked_in_receive(worker_tid)) << "the worker never waited for the body";
    quit_posted = std::chrono::steady_clock::now();
    headless_post_quit();
  });
  std::string dest = out / "late.bin";
  EXPECT_EQ(net_get(server.url("/l?size=100&stall=0").c_str(), dest.c_str(), 0), -1);
  auto ended = std::chrono::steady_clock::now();
  quitter.join();
  EXPECT_LT(ended - quit_posted, kCancelBound);
  EXPECT_TRUE(has_line(log.lines(), "socket_read 0 bytes"));
  EXPECT_FALSE(exists(dest + ".part"));
}

TEST_F(DownloadTest, BodyHasNoTimeOut) {
  socket_header_timeout_ms = 300;
  std::string dest = out / "b.bin";
  ASSERT_EQ(net_get(server.url("/b?size=3000&chunk=1000&slow=600").c_str(), dest.c_str(), 0), 0);
  EXPECT_EQ(read_file(dest).size(), 3000u);
}

// A body must bring 1024 bytes within the stall time, again and again: a slow
// one that does passes, one that stops or only trickles fails within 1.5 times it.
TEST_F(DownloadTest, StalledBodiesFailAtTheStallTime) {
  struct Case { const char* query; int result; };
  const Case cases[] = {
      {"size=6000&chunk=2000&slow=250", 0},
      {"size=6000&stall=100", -1},
      {"size=6000&chunk=500&slow=300", -1},
  };
  download_stall_ms = 400;
  for (const Case& c : cases) {
    std::string dest = out / "s.bin";
    std::remove(dest.c_str());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(net_get(server.url(std::string("/s?") + c.query).c_str(), dest.c_str(), 0), c.result) << c.query;
    auto took = std::chrono::steady_clock::now() - start;
    if (c.result != 0) {
      EXPECT_LT(took, std::chrono::milliseconds(600 + 300)) << c.query;  // the stall time, and one chunk's pause
      EXPECT_EQ(net_last_result().outcome, NET_TIMED_OUT) << c.query;
      EXPECT_FALSE(exists(dest)) << c.query;
    }
  }
  download_stall_ms = DOWNLOAD_STALL_MS;
  EXPECT_EQ(count_lines(log.lines(), "net_get: the body stalled: fewer than 1024 bytes in 400 ms, after 100 bytes"), 1);
}

TEST_F(DownloadTest, StatusTextNamesTheUrlPassedIn) {
  write_file(root / "index.html", "index");
  std::string dest = out / "i.html";
  ASSERT_EQ(net_get(server.url("/").c_str(), dest.c_str(), 0), 0);
  EXPECT_EQ(headless_text(IDC_STATUS), "Downloading ...");
  ASSERT_EQ(net_get(server.url("/d/first.bin?size=3&redirect=1").c_str(), dest.c_str(), 0), 0);
  EXPECT_EQ(headless_text(IDC_STATUS), "Downloading first.bin?size=3&redirect=1...");
}

TEST_F(DownloadTest, ProgressDisplay) {
  fake_now = 1000;
  progress_tick = fake_tick;
  progress_start(1024 * 1024);
  EXPECT_EQ(headless_text(IDC_STATUS), "Connecting...");
  EXPECT_EQ(headless_progress_range(IDC_PROGRESS), 100u);
  EXPECT_EQ(headless_text(IDC_RATE), "");
  progress_update(10 * 1024);  // the tick has not moved: nothing shown
  EXPECT_EQ(headless_text(IDC_RATE), "");
  fake_now = 2500;  // within the first two seconds: the rate is over one second
  progress_update(300 * 1024);
  EXPECT_EQ(headless_text(IDC_RATE), " 29%  300k/1024k  300.0k/s");
  EXPECT_EQ(headless_progress_pos(IDC_PROGRESS), 29);
  fake_now = 2699;
  progress_update(350 * 1024);
  EXPECT_EQ(headless_progress_pos(IDC_PROGRESS), 29);
  fake_now = 5000;
  progress_update(400 * 1024);
  EXPECT_EQ(headless_text(IDC_RATE), " 39%  400k/1024k  100.0k/s");

  // Sizes near 2 GB keep a right percentage, and a wrapping tick count does
  // not freeze the display.
  fake_now = 0xFFFFFF00u;
  progress_start(2000000000);
  fake_now = 0xFFFFFFF0u;
  progress_update(1000000000);
  EXPECT_EQ(headless_progress_pos(IDC_PROGRESS), 50);
  fake_now = 0x00000200u;
  progress_update(1500000000);
  EXPECT_EQ(headless_progress_pos(IDC_PROGRESS), 75);
}

}  // namespace

// https goes over TLS with the certificate checked; every failure is one line
// and a failed download; a cut without close_notify is a failure unless the
// whole announced length had come.
TEST_F(DownloadTest, HttpsChecksTheServerAndTheEndOfTheStream) {
  ASSERT_FALSE(test_ca().empty());
  QvServer good{root.path(), "", "good"}, wrongname{root.path(), "", "wrongname"},
      expired{root.path(), "", "expired"}, unknown{root.path(), "", "unknown"};
  const std::string good_port = std::to_string(good.port());
  socket_header_timeout_ms = 1000;
  struct Case {
    std::string url;
    NetOutcome outcome;
    std::string line;  // the start of the line that says why
  };
  const Case cases[] = {
      {good.url("/a.txt"), NET_OK, "socket_open: TLS with 127.0.0.1"},
      {"https://localhost:" + good_port + "/a.txt", NET_OK, "socket_open: TLS with localhost"},
      {"HTTPS://localhost:" + good_port + "/a.txt", NET_OK, "socket_open: TLS with localhost"},
      {good.url("/n?size=20000&nolength=1"), NET_OK, "net_get: opened"},
      {good.url("/n?size=20000&length=20000&notify=0"), NET_OK, "net_get: opened"},
      {good.url("/n?size=20000&nolength=1&notify=0"), NET_TLS_CUT,
       "net_get: the TLS stream ended without close_notify after 20000 bytes"},
      {good.url("/n?size=20000&cut=5000&notify=0"), NET_TLS_CUT,
       "net_get: the TLS stream ended without close_notify after 5000 bytes"},
      {good.url("/n?raw=" + pct("HTTP/1.0 200 OK\r\nContent-") + "&notify=0"), NET_TLS_CUT,
       "http_try: the TLS stream ended without close_notify in the reply's head"},
      {wrongname.url("/a.txt"), NET_TLS_FAILED, "socket_open: TLS with 127.0.0.1 failed: its certificate is for another name"},
      {expired.url("/a.txt"), NET_TLS_FAILED, "socket_open: TLS with 127.0.0.1 failed: its certificate has expired"},
      {unknown.url("/a.txt"), NET_TLS_FAILED,
       "socket_open: TLS with 127.0.0.1 failed: its certificate is not signed by an authority this machine trusts"},
      // A plain HTTP server waits for a head that a handshake never ends.
      {"https://127.0.0.1:" + std::to_string(server.port()) + "/a.txt", NET_TLS_FAILED,
       "socket_open: TLS with 127.0.0.1 failed: the handshake failed"},
      {server.url("/r?location=" + pct(good.url("/a.txt"))), NET_OK, "socket_open: TLS with 127.0.0.1"},
      {good.url("/r?location=" + pct(server.url("/a.txt"))), NET_INSECURE_REDIRECT,
       "http_try: won't follow a redirect from https to " + server.url("/a.txt")},
  };
  for (const Case& c : cases) {
    std::string dest = out / "t.bin";
    std::remove(dest.c_str());
    size_t before = log.lines().size();
    EXPECT_EQ(net_get(c.url.c_str(), dest.c_str(), 0), c.outcome == NET_OK ? 0 : -1) << c.url;
    EXPECT_EQ(net_last_result().outcome, c.outcome) << c.url;
    EXPECT_EQ(exists(dest), c.outcome == NET_OK) << c.url;
    EXPECT_FALSE(exists(dest + ".part")) << c.url;
    bool said = false;
    std::vector<std::string> lines = log.lines();
    for (size_t i = before; i < lines.size(); ++i) said = said || lines[i].rfind(c.line, 0) == 0;
    EXPECT_TRUE(said) << c.url << " did not log " << c.line;
  }
}

// A server that takes the connection and never answers the handshake holds
// the run no longer than a reply's head may; a cancel ends a TLS body as
// promptly as a plain one.
TEST_F(DownloadTest, HttpsHandshakeIsBoundedAndCancelIsPrompt) {
  ASSERT_FALSE(test_ca().empty());
  int mute = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  ASSERT_EQ(bind(mute, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(mute, 4), 0);
  getsockname(mute, reinterpret_cast<sockaddr*>(&sa), &len);
  socket_header_timeout_ms = 400;
  std::string dest = out / "m.bin";
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(net_get(("https://127.0.0.1:" + std::to_string(ntohs(sa.sin_port)) + "/m").c_str(), dest.c_str(), 0), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
  EXPECT_EQ(net_last_result().outcome, NET_TLS_FAILED);
  close(mute);

  QvServer good{root.path(), "", "good"};
  progress_tick = quit_on_first_chunk;
  EXPECT_EQ(net_get(good.url("/s?size=1000000&stall=8192").c_str(), dest.c_str(), 0), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - quit_posted, kCancelBound);
  EXPECT_EQ(net_last_result().outcome, NET_CANCELLED);
  EXPECT_FALSE(exists(dest + ".part"));
}
