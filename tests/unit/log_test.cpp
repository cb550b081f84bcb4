#include <gtest/gtest.h>

#include <thread>

#include "platform/platform.h"
#include "support/log.h"
#include "testkit/testkit.h"

TEST(Log, MessagesBeforeOpenAreDroppedAndTheFileIsRewritten) {
  TempDir t;
  std::string path = t / "install.log";
  write_file(path, "old run\n");
  log_message("dropped %d", 1);
  log_open_at(path);
  log_message("exit_app: code is %d", 0);
  log_close();
  log_message("after close");
  EXPECT_EQ(read_file(path), "exit_app: code is 0\n");
}

TEST(Log, ProgramDirectoryHoldsTheLog) {
  TempDir t;
  program_directory = t.path();
  log_open();
  log_message("socket_init");
  log_close();
  EXPECT_EQ(read_file(t / "install.log"), "socket_init\n");
  program_directory.clear();
}

TEST(Log, EntryLengthLimit) {
  TempDir t;
  std::string path = t / "install.log";
  log_open_at(path);
  std::string exact(1023, 'a');
  std::string longer(3000, 'b');
  log_message("%s", exact.c_str());
  log_message("%s", longer.c_str());
  log_close();
  std::vector<std::string> lines = split_lines(read_file(path));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], exact);
  EXPECT_EQ(lines[1], std::string(1023, 'b'));
}

TEST(Log, MultiLineEntriesAndOneLineEndEach) {
  TempDir t;
  std::string path = t / "install.log";
  log_open_at(path);
  log_message("download:\n   %s\n   %s", "u", "p");
  log_close();
  EXPECT_EQ(read_file(path), "download:\n   u\n   p\n");
}

TEST(Log, EntriesOfTwoThreadsNeverMix) {
  TempDir t;
  std::string path = t / "install.log";
  log_open_at(path);
  const int n = 2000;
  std::string a(200, 'a'), b(200, 'b');
  std::thread other([&] {
    for (int i = 0; i < n; ++i) log_message("%s", b.c_str());
  });
  for (int i = 0; i < n; ++i) log_message("%s", a.c_str());
  other.join();
  log_close();
  std::vector<std::string> lines = split_lines(read_file(path));
  ASSERT_EQ(lines.size(), static_cast<size_t>(2 * n));
  for (const std::string& l : lines) EXPECT_TRUE(l == a || l == b) << l.substr(0, 20);
}
