// Faults a server or the machine can throw at a download and an extraction:
// truncated and reset bodies, lying lengths, redirect loops, huge header lines,
// silence, and a full disk. Whatever happens, nothing partial may appear under
// the final name and an older file of that name must survive.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "install/extract.h"
#include "net/download.h"
#include "net/http.h"
#include "net/socket.h"
#include "platform/headless/headless.h"
#include "support/log.h"
#include "testkit/testkit.h"
#include "testkit/zipkit.h"
#include "test_server.h"

namespace {

const int kMiB = 1 << 20;
const char kOlder[] = "an older, complete file\n";

// Byte i of qvserve's generated bodies.
std::string generated(int size) {
  std::string s(static_cast<size_t>(size), '\0');
  for (int i = 0; i < size; ++i) s[static_cast<size_t>(i)] = static_cast<char>(i % 251);
  return s;
}

class FaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    headless_reset();
    socket_init();
    ASSERT_GT(server.port(), 0);
  }
  void TearDown() override {
    socket_done();
    socket_header_timeout_ms = SOCKET_HEADER_TIMEOUT_MS;
  }
  bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

  // One download over an older file of the same name: it must fail, leave no
  // temporary file and keep the older file byte for byte.
  void expect_fails_and_keeps_older(const std::string& query, const DownloadCheck* check = nullptr) {
    SCOPED_TRACE(query);
    std::string dest = out / "f.bin";
    write_file(dest, kOlder);
    EXPECT_EQ(net_get(server.url("/f.bin?" + query).c_str(), dest.c_str(), 0, check), -1);
    EXPECT_EQ(read_file(dest), kOlder);
    EXPECT_FALSE(exists(dest + DOWNLOAD_TEMP_SUFFIX));
  }

  LogCapture log;
  TempDir root;
  TempDir out;
  QvServer server{root.path()};
};

TEST_F(FaultsTest, CutOrResetBodiesNeverReplaceTheOlderFile) {
  const int cuts[] = {0, 1, 8191, 8192, 8193, kMiB / 2, kMiB - 1};
  for (int cut : cuts) {
    expect_fails_and_keeps_older("size=1048576&cut=" + std::to_string(cut));
    expect_fails_and_keeps_older("size=1048576&reset=" + std::to_string(cut));
  }
  auto lines = log.lines();
  for (int cut : cuts)
    EXPECT_EQ(count_lines(lines, "expected size 1048576 != real size " + std::to_string(cut)), 2)
        << cut;
  EXPECT_EQ(count_lines(lines, "deleting \"" + (out / "f.bin") + ".part\""), 14);
}

TEST_F(FaultsTest, LyingLengthsAndResetWithoutLengthFail) {
  expect_fails_and_keeps_older("size=1048576&length=1048577");
  expect_fails_and_keeps_older("size=1048576&length=1048575");
  expect_fails_and_keeps_older("size=1000&length=0");  // 0 is a length, not its absence
  expect_fails_and_keeps_older("size=1048576&nolength=1&reset=0");
  expect_fails_and_keeps_older("size=1048576&nolength=1&reset=524288");
  expect_fails_and_keeps_older("size=1048576&nolength=1&reset=1048576");
  auto lines = log.lines();
  EXPECT_TRUE(has_line(lines, "expected size 1048577 != real size 1048576"));
  EXPECT_TRUE(has_line(lines, "expected size 1048575 != real size 1048576"));
  EXPECT_TRUE(has_line(lines, "expected size 0 != real size 1000"));
  EXPECT_EQ(count_lines(lines, "net_get: receive failed after 524288 bytes"), 1);
  EXPECT_EQ(count_lines(lines, "net_get: receive failed after 1048576 bytes"), 1);
  // The same body whole, for contrast: it lands, replacing the older file.
  std::string dest = out / "f.bin";
  ASSERT_EQ(net_get(server.url("/f.bin?size=1048576").c_str(), dest.c_str(), 0), 0);
  EXPECT_EQ(read_file(dest), generated(kMiB));
}

// All of the announced length arrived: a reset after it loses nothing.
TEST_F(FaultsTest, WholeBodyFollowedByAResetLands) {
  std::string dest = out / "f.bin";
  write_file(dest, kOlder);
  ASSERT_EQ(net_get(server.url("/f.bin?size=1048576&reset=1048576").c_str(), dest.c_str(), 0), 0);
  EXPECT_EQ(read_file(dest), generated(kMiB));
}

// Bodies that cannot be what the caller fetches, lengths past 32 bits, and a
// length the drive cannot take: refused, nothing kept.
TEST_F(FaultsTest, ImpossibleBodiesFail) {
  DownloadCheck archive, capped;
  archive.refuse_empty = true;
  capped.max_size = 2000;
  expect_fails_and_keeps_older("size=0", &archive);
  expect_fails_and_keeps_older("size=3000&nolength=1", &capped);
  expect_fails_and_keeps_older("size=3000", &capped);
  expect_fails_and_keeps_older("size=10&length=4294967306");
  expect_fails_and_keeps_older("size=10&length=999999999999999999");
  auto lines = log.lines();
  EXPECT_TRUE(has_line(lines, "net_get: the body is empty"));
  EXPECT_TRUE(has_line(lines, "net_get: more than 2000 bytes, giving up"));
  EXPECT_TRUE(has_line(lines, "net_get: 3000 bytes announced, more than the 2000 allowed"));
  EXPECT_TRUE(has_line(lines, "expected size 4294967306 != real size 10"));
  EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
              return l.rfind("not enough free space in " + out.path() + ": 999999999999999999 bytes needed, ", 0) == 0;
            }));
}

TEST_F(FaultsTest, RedirectLoopGivesUp) {
  expect_fails_and_keeps_older("size=10&redirect=1000");
  expect_fails_and_keeps_older("size=10&redirect=1000&relative=1");
  auto lines = log.lines();
  EXPECT_EQ(count_lines(lines, "http_open: more than 20 redirects, giving up"), 2);
}

TEST_F(FaultsTest, HeaderLineOf64KiBIsReadPastInPieces) {
  std::string dest = out / "h.bin";
  write_file(dest, kOlder);
  ASSERT_EQ(net_get(server.url("/h?size=100000&longheader=65536").c_str(), dest.c_str(), 0), 0);
  EXPECT_EQ(read_file(dest), generated(100000));
  EXPECT_TRUE(has_line(log.lines(), "http_try: content-length is 100000"));
}

// The line end of a line that came out in full-buffer pieces is not an empty
// line: in the headers that would end them early and put the headers that
// follow into the file. Split right before and inside the CR LF.
TEST_F(FaultsTest, LineEndAfterAFullBufferPieceIsNoEmptyLine) {
  for (int len : {1024, 1023, 2048}) {
    SCOPED_TRACE(len);
    std::string reply = std::string(static_cast<size_t>(len), 'x') + "\r\nnext\r\n\r\nbody";
    ASSERT_EQ(socket_open("127.0.0.1", server.port()), 0);
    socket_printf("GET /?raw=%s HTTP/1.0\r\n\r\n", pct(reply).c_str());
    std::string all;
    const char* line;
    while (*(line = socket_readline())) {
      if (std::string(line) == "next") break;
      all += line;
    }
    EXPECT_STREQ(line, "next");
    EXPECT_EQ(all.substr(0, static_cast<size_t>(len)), std::string(static_cast<size_t>(len), 'x'));
    EXPECT_STREQ(socket_readline(), "");
    EXPECT_STREQ(socket_readline(), "body");
    socket_close();
  }
}

TEST_F(FaultsTest, SilentServerTimesOutAndSlowBodyDoesNot) {
  socket_header_timeout_ms = 300;
  auto start = std::chrono::steady_clock::now();
  expect_fails_and_keeps_older("hang=1");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(has_line(log.lines(), "http_try: no reply within 300 ms"));
  // A body that starts late and trickles is waited for: only the head has a limit.
  std::string dest = out / "s.bin";
  ASSERT_EQ(net_get(server.url("/s?size=5000&delay=500&slow=100&chunk=1000").c_str(), dest.c_str(),
                    0),
            0);
  EXPECT_EQ(read_file(dest), generated(5000));
}

// Runs fn in a child process whose files may not grow past limit bytes (a disk
// that fills up), with its own log; the child's result and log lines come back.
template <typename Fn>
int with_small_disk(rlim_t limit, const std::string& log_path, Fn fn) {
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead of killing us
    rlimit lim{limit, limit};
    setrlimit(RLIMIT_FSIZE, &lim);
    log_open_at(log_path);
    int r = fn();
    log_close();
    _exit(r == 0 ? 0 : r == -1 ? 1 : 2);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST_F(FaultsTest, FullDiskFailsDownloadAndExtractionWithLogLines) {
  std::string dest = out / "big.bin";
  write_file(dest, kOlder);
  std::string url = server.url("/big.bin?size=1048576");
  std::string dl_log = out / "download.log";
  EXPECT_EQ(with_small_disk(64 * 1024, dl_log,
                            [&] { return net_get(url.c_str(), dest.c_str(), 0); }),
            1);
  auto lines = split_lines(read_file(dl_log));
  EXPECT_TRUE(has_line(lines, "fwrite() failed: File too large")) << read_file(dl_log);
  EXPECT_TRUE(has_line(lines, "deleting \"" + dest + ".part\""));
  EXPECT_EQ(read_file(dest), kOlder);
  EXPECT_FALSE(exists(dest + DOWNLOAD_TEMP_SUFFIX));

  std::string zip = out / "a.zip";
  ZipBuilder z(zip);
  z.add("small.txt", "fits\n").add("dir/big.bin", generated(kMiB));
  ASSERT_TRUE(z.close());
  TempDir target;
  std::string ex_log = out / "extract.log";
  EXPECT_EQ(with_small_disk(64 * 1024, ex_log,
                            [&] { return install_archive(zip.c_str(), target.path().c_str()); }),
            1);
  lines = split_lines(read_file(ex_log));
  EXPECT_TRUE(has_line(lines, "fwrite() failed") || has_line(lines, "fclose() failed"))
      << read_file(ex_log);
  EXPECT_EQ(read_file(target / "small.txt"), "fits\n");
}

// A real full file system where the machine lets us mount one (root, or a
// container that allows it): a 256 KiB tmpfs.
TEST_F(FaultsTest, FullTmpfsFailsDownloadAndExtraction) {
  TempDir mnt;
  if (mount("tmpfs", mnt.path().c_str(), "tmpfs", 0, "size=256k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{mnt.path()};

  std::string dest = mnt / "big.bin";
  write_file(dest, kOlder);
  EXPECT_EQ(net_get(server.url("/big.bin?size=1048576").c_str(), dest.c_str(), 0), -1);
  EXPECT_EQ(read_file(dest), kOlder);
  EXPECT_FALSE(exists(dest + DOWNLOAD_TEMP_SUFFIX));

  std::string zip = out / "a.zip";
  ZipBuilder z(zip);
  z.add("small.txt", "fits\n").add("dir/big.bin", generated(kMiB));
  ASSERT_TRUE(z.close());
  EXPECT_EQ(install_archive(zip.c_str(), (mnt / "target").c_str()), -1);
  auto lines = log.lines();
  // The announced length, and the archive's declared size, are refused before a byte is written.
  auto refused = [&](const std::string& start) {
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(start, 0) == 0; });
  };
  EXPECT_EQ(1, refused("not enough free space in " + mnt.path() + ": 1048576 bytes needed, "));
  EXPECT_EQ(1, refused("not enough free space in " + mnt / "target" + ": " + std::to_string(kMiB + 4096) +
                       " bytes needed, "));
  EXPECT_FALSE(exists(mnt / "target"));

  // 100 files of one byte each take 100 of tmpfs' 4 KiB pages, more than it has.
  ZipBuilder small(zip);
  for (int i = 0; i < 100; ++i) small.add("f" + std::to_string(i), "x");
  ASSERT_TRUE(small.close());
  EXPECT_EQ(install_archive(zip.c_str(), (mnt / "target").c_str()), -1);
  lines = log.lines();
  EXPECT_EQ(1, refused("not enough free space in " + mnt / "target" + ": 409600 bytes needed, "));
  EXPECT_FALSE(exists(mnt / "target"));
}

}  // namespace
