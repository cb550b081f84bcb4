#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>

#include "platform/platform.h"
#include "support/log.h"
#include "support/paths.h"
#include "testkit/testkit.h"

TEST(PathJoin, WindowsResults) {
  EXPECT_EQ(path_join("C:\\dir", "a/b.txt", '\\'), "C:\\dir\\a\\b.txt");
  EXPECT_EQ(path_join("C:\\dir\\", "x", '\\'), "C:\\dir\\x");
  EXPECT_EQ(path_join("C:/dir/", "x", '\\'), "C:\\dir\\x");
  EXPECT_EQ(path_join("C:\\dir", "sub/", '\\'), "C:\\dir\\sub\\");
  // A doubled separator stays doubled; nothing else is normalised.
  EXPECT_EQ(path_join("C:\\dir\\", "/x", '\\'), "C:\\dir\\\\x");
  EXPECT_EQ(path_join("d", "a//b", '\\'), "d\\a\\\\b");
}

TEST(PathJoin, NativeSeparatorAndLongPaths) {
  EXPECT_EQ(path_join("/tmp/dir", "a\\b.txt", '/'), "/tmp/dir/a/b.txt");
  // No fixed buffer: a path far beyond 1024 bytes comes out whole.
  std::string dir(5000, 'd');
  std::string joined = path_join(dir, "name", '/');
  EXPECT_EQ(joined.size(), 5005u);
  std::string dest = "old";
  EXPECT_EQ(&path_join(dest, "a", "b", '\\'), &dest);
  EXPECT_EQ(dest, "a\\b");
}

TEST(PathDir, Examples) {
  EXPECT_EQ(path_dir("C:\\"), "C:\\");
  EXPECT_EQ(path_dir("C:/"), "C:/");
  EXPECT_EQ(path_dir("C:\\x"), "C:");
  EXPECT_EQ(path_dir("\\x"), "");
  EXPECT_EQ(path_dir("name"), "name");
  EXPECT_EQ(path_dir("a\\b/c"), "a\\b");
  EXPECT_EQ(path_dir("a/b\\c"), "a/b");
  EXPECT_EQ(path_dir("dir\\"), "dir");
}

TEST(PathDir, InPlaceCutsTheCallersString) {
  char buf[] = "C:\\dir\\file";
  char* r = path_dir(nullptr, buf);
  EXPECT_EQ(r, buf);
  EXPECT_STREQ(buf, "C:\\dir");
  char root[] = "C:\\";
  EXPECT_STREQ(path_dir(nullptr, root), "C:\\");
}

TEST(ToSeparator, RewritesEverySeparator) {
  char win[] = "C:/Games/X";
  to_separator(win, '\\');
  EXPECT_STREQ(win, "C:\\Games\\X");
  char mixed[] = "a\\b/c//d";
  to_separator(mixed, '/');
  EXPECT_STREQ(mixed, "a/b/c//d");
  char none[] = "";
  to_separator(none, '\\');
  EXPECT_STREQ(none, "");
}

TEST(MakeDirs, CreatesEachMissingParentOnceAndLogsIt) {
  TempDir t;
  LogCapture log;
  std::string target = t.path() + "/a/b/";
  ASSERT_EQ(make_dirs(target), 0);
  struct stat st;
  ASSERT_EQ(stat((t / "a/b").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "mkdir " + t.path() + "/a");
  EXPECT_EQ(lines[1], "mkdir " + t.path() + "/a/b");
  // Again: everything exists, nothing is logged.
  ASSERT_EQ(make_dirs(target), 0);
  EXPECT_EQ(log.lines().size(), 2u);
}

TEST(MakeDirs, BackslashesCountAsSeparatorsAndAreLoggedAsGiven) {
  TempDir t;
  LogCapture log;
  ASSERT_EQ(make_dirs(t.path() + "/x\\y"), 0);
  // On POSIX a backslash is an ordinary character to the file system, so the
  // first prefix "x" is created as its own directory.
  std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "mkdir " + t.path() + "/x\\y");
}

TEST(MakeDirs, RegularFileInThePathFailsOnTheNextComponent) {
  TempDir t;
  write_file(t / "file", "x");
  LogCapture log;
  EXPECT_EQ(make_dirs(t.path() + "/file/sub/deeper"), -1);
  std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "mkdir " + t.path() + "/file/sub failed");
}

TEST(MakeDirs, OnlyOneTrailingSeparatorIsRemoved) {
  TempDir t;
  LogCapture log;
  ASSERT_EQ(make_dirs(t.path() + "/a//"), 0);
  std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "mkdir " + t.path() + "/a");
  // The last prefix tested was ".../a/" (one separator left), which exists.
}

TEST(FreeSpace, OfAFolderAndOfOneNotMadeYet) {
  TempDir dir;
  uint64_t here = 0, missing = 0;
  ASSERT_EQ(0, plat_free_space(dir.path().c_str(), &here));
  ASSERT_EQ(0, plat_free_space((dir / "not/made/yet").c_str(), &missing));
  EXPECT_GT(here, 0u);
  // The same file system: within what other processes may take meanwhile.
  EXPECT_LT(missing > here ? missing - here : here - missing, here / 10 + (64u << 20));
}

TEST(FreeSpace, RequiredRoomIsRefusedWithALineWhenTheDriveLacksIt) {
  TempDir dir;
  LogCapture log;
  EXPECT_EQ(0, require_free_space(dir.path(), 1));
  EXPECT_EQ(-1, require_free_space(dir.path(), UINT64_MAX));
  std::vector<std::string> lines = log.lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(0u, lines[0].find("not enough free space in " + dir.path() + ": 18446744073709551615 bytes needed, "));
}
