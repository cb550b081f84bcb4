#include "rules/filelist.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testkit/testkit.h"

namespace {

class FilelistTest : public ::testing::Test {
 protected:
  int parse(const std::string& text) {
    std::string path = dir / "filelist.txt";
    write_file(path, text);
    list.clear();
    last = filelist_read(path.c_str(), &list);
    return last.outcome == FILELIST_OK ? 0 : -1;
  }

  std::vector<FileListEntry*> entries() {
    std::vector<FileListEntry*> v;
    for (FileListEntry* e = list.head; e; e = e->next) v.push_back(e);
    return v;
  }

  TempDir dir;
  LogCapture log;
  FileList list;
  FilelistResult last;
};

std::string str(const char* s) { return s ? s : "<none>"; }

TEST_F(FilelistTest, ReadsEntriesInFileOrderWithTheirKeys) {
  ASSERT_EQ(0, parse("# manifest\n"
                     "v:t\n"
                     "u:http://h/a/tav.zip\n"
                     "d:sub/dir\n"
                     "e:  bin/tav.exe \n"
                     "\n"
                     "v:\n"
                     "u:http://h/first.zip\n"
                     "u:http://h/second.zip\n"
                     "e:\n"
                     "v:wendrel and more\n"
                     "v:m\n"
                     "v:p\n"));
  auto v = entries();
  ASSERT_EQ(5u, v.size());
  EXPECT_EQ(0, v[0]->variant);
  EXPECT_EQ("http://h/a/tav.zip", str(v[0]->url));
  EXPECT_EQ("sub/dir", str(v[0]->dest_subdir));
  EXPECT_EQ("  bin/tav.exe ", str(v[0]->check_path));  // nothing trimmed

  EXPECT_EQ(-1, v[1]->variant);
  EXPECT_EQ("http://h/second.zip", str(v[1]->url));  // a repeated key replaces
  EXPECT_EQ(nullptr, v[1]->dest_subdir);
  ASSERT_NE(nullptr, v[1]->check_path);  // empty value is not the same as none
  EXPECT_EQ("", str(v[1]->check_path));

  EXPECT_EQ(3, v[2]->variant);  // characters after the letter are ignored
  EXPECT_EQ(1, v[3]->variant);
  EXPECT_EQ(2, v[4]->variant);
  for (FileListEntry* e : {v[2], v[3], v[4]}) {
    EXPECT_EQ(nullptr, e->url);
    EXPECT_EQ(nullptr, e->check_path);
  }
  EXPECT_EQ(v[4], list.tail);
  EXPECT_EQ(nullptr, list.tail->next);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(FilelistTest, EmptyFileAndCommentsOnlyGiveAnEmptyList) {
  EXPECT_EQ(0, parse(""));
  EXPECT_EQ(nullptr, list.head);
  EXPECT_EQ(0, parse("# one\n\n#two\n\n"));
  EXPECT_EQ(nullptr, list.head);
  EXPECT_EQ(nullptr, list.tail);
}

TEST_F(FilelistTest, CrLfGivesTheSameEntriesAsLf) {
  ASSERT_EQ(0, parse("v:t\r\nu:http://h/a.zip\r\ne:x\r\n\r\nv:m\r\nu:http://h/b.zip\r\n"));
  auto v = entries();
  ASSERT_EQ(2u, v.size());
  EXPECT_EQ("http://h/a.zip", str(v[0]->url));
  EXPECT_EQ("x", str(v[0]->check_path));
  EXPECT_EQ("http://h/b.zip", str(v[1]->url));
}

TEST_F(FilelistTest, LastLineWithoutLineEndIsTakenWhole) {
  ASSERT_EQ(0, parse("v:p\ne:path/to/check.dll"));
  ASSERT_NE(nullptr, list.head);
  EXPECT_EQ("path/to/check.dll", str(list.head->check_path));
}

TEST_F(FilelistTest, LongLinesAreReadInPiecesOfTheBuffer) {
  // 1022 characters fit with their line end, CR LF or LF alike.
  std::string fits = "u:" + std::string(1020, 'a');
  for (const char* end : {"\n", "\r\n"}) {
    ASSERT_EQ(0, parse("v:\n" + fits + end + "e:x\n"));
    ASSERT_EQ(1u, entries().size());
    EXPECT_EQ(fits.substr(2), str(list.head->url));
    EXPECT_EQ("x", str(list.head->check_path));
    list.clear();
  }
  // Longer: the rest of the line is a line of its own.
  ASSERT_EQ(0, parse("v:\nu:" + std::string(1021, 'b') + "e:tail\n"));
  EXPECT_EQ(std::string(1021, 'b'), str(list.head->url));
  EXPECT_EQ("tail", str(list.head->check_path));
  list.clear();
  // Exactly 1023: the line end alone is the next piece, an empty line that
  // ends the entry.
  EXPECT_EQ(-1, parse("v:\nu:" + std::string(1021, 'c') + "\nd:x\n"));
  EXPECT_EQ((std::vector<std::string>{"missing 'v' declaration"}), log.lines());
}

// 63 hexadecimal digits: one short of a SHA-256.
#define H63 "0123456789abcdefABCDEF0123456789abcdef0123456789abcdef012345678"

struct RefusedCase {
  const char* text;
  const char* log_line;  // null: refused without a line
  size_t entries_kept;
  int line;
  FilelistOutcome outcome;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << ::testing::PrintToString(std::string(c.text)); }

class FilelistRefusal : public FilelistTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(FilelistRefusal, StopsAtTheFirstBadLine) {
  const RefusedCase& c = GetParam();
  EXPECT_EQ(-1, parse(c.text));
  // Entries before the bad line stay; nothing after it was read.
  EXPECT_EQ(c.entries_kept, entries().size());
  auto lines = log.lines();
  if (c.log_line)
    EXPECT_EQ(std::vector<std::string>{c.log_line}, lines);
  else
    EXPECT_TRUE(lines.empty());
  EXPECT_EQ(c.line, last.line);
  EXPECT_EQ(c.outcome, last.outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, FilelistRefusal,
    ::testing::Values(
        RefusedCase{"v:t\n   \nv:m\n", "expected ':'", 1, 2, FILELIST_NO_COLON},
        RefusedCase{"v:t\n #indented\nv:m\n", "expected ':'", 1, 2, FILELIST_NO_COLON},
        RefusedCase{"v:t\nu\nv:m\n", "expected ':'", 1, 2, FILELIST_NO_COLON},
        RefusedCase{"u:http://h/a.zip\nv:t\n", "missing 'v' declaration", 0, 1, FILELIST_NO_ENTRY},
        RefusedCase{"v:t\nu:http://h/a.zip\n\nu:http://h/b.zip\nv:m\n", "missing 'v' declaration", 1, 4, FILELIST_NO_ENTRY},
        RefusedCase{"v:t\n# c\ne:x\nv:m\n", "missing 'v' declaration", 1, 3, FILELIST_NO_ENTRY},
        RefusedCase{"v:t\nv:T\nv:m\n", nullptr, 1, 2, FILELIST_UNKNOWN_VARIANT},
        RefusedCase{"v: t\nv:m\n", nullptr, 0, 1, FILELIST_UNKNOWN_VARIANT},
        RefusedCase{"v:x\n", nullptr, 0, 1, FILELIST_UNKNOWN_VARIANT},
        RefusedCase{"v:t\r\nx:y\r\nv:m\r\n", nullptr, 1, 2, FILELIST_UNKNOWN_KEY},
        RefusedCase{"v:t\nU:http://h/a.zip\n", nullptr, 1, 2, FILELIST_UNKNOWN_KEY},
        RefusedCase{"v:t\nh:\n", "filelist_parse: line 2: h: is not a SHA-256 (64 hexadecimal digits)", 1, 2, FILELIST_BAD_HASH},
        RefusedCase{"v:\nu:x/a\nh:" H63 "\n", "filelist_parse: line 3: h:" H63 " is not a SHA-256 (64 hexadecimal digits)", 1, 3, FILELIST_BAD_HASH},
        RefusedCase{"v:\nh:" H63 "00\n", "filelist_parse: line 2: h:" H63 "00 is not a SHA-256 (64 hexadecimal digits)", 1, 2, FILELIST_BAD_HASH},
        RefusedCase{"v:\nh:" H63 "g\n", "filelist_parse: line 2: h:" H63 "g is not a SHA-256 (64 hexadecimal digits)", 1, 2, FILELIST_BAD_HASH},
        RefusedCase{"v:\nh: " H63 "\n", "filelist_parse: line 2: h: " H63 " is not a SHA-256 (64 hexadecimal digits)", 1, 2, FILELIST_BAD_HASH},
        RefusedCase{"v:\ns:\n", "filelist_parse: line 2: s: is not a size in bytes", 1, 2, FILELIST_BAD_SIZE},
        RefusedCase{"v:\ns: 12\n", "filelist_parse: line 2: s: 12 is not a size in bytes", 1, 2, FILELIST_BAD_SIZE},
        RefusedCase{"v:\ns:-1\n", "filelist_parse: line 2: s:-1 is not a size in bytes", 1, 2, FILELIST_BAD_SIZE},
        RefusedCase{"v:\ns:0x10\n", "filelist_parse: line 2: s:0x10 is not a size in bytes", 1, 2, FILELIST_BAD_SIZE},
        RefusedCase{"v:\ns:1234567890123456789\n", "filelist_parse: line 2: s:1234567890123456789 is not a size in bytes", 1, 2, FILELIST_BAD_SIZE}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) {
      return "Case" + std::to_string(info.index);
    });

TEST_F(FilelistTest, ArchiveHashIsKeptInLowerCase) {
  ASSERT_EQ(0, parse("v:\nu:x/a.zip\nh:" H63 "F\nv:\nu:x/b.zip\n"));
  auto v = entries();
  ASSERT_EQ(2u, v.size());
  EXPECT_EQ("0123456789abcdefabcdef0123456789abcdef0123456789abcdef012345678f", str(v[0]->sha256));
  EXPECT_EQ(nullptr, v[1]->sha256);
}

TEST_F(FilelistTest, SuccessfulParseReportsNoError) {
  ASSERT_EQ(-1, parse("v:x\n"));
  ASSERT_EQ(0, parse("v:t\n"));
  EXPECT_EQ(0, last.line);
}

TEST_F(FilelistTest, MissingFileIsLogged) {
  std::string path = dir / "nope.txt";
  EXPECT_EQ(FILELIST_CANNOT_OPEN, filelist_read(path.c_str(), &list).outcome);
  EXPECT_EQ(std::vector<std::string>{"can't open " + path + " for reading"}, log.lines());
}

TEST_F(FilelistTest, FreeEmptiesTheListForAFreshRead) {
  ASSERT_EQ(0, parse("v:t\nu:http://h/a.zip\nd:d\ne:e\nv:m\n"));
  list.clear();
  EXPECT_EQ(nullptr, list.head);
  EXPECT_EQ(nullptr, list.tail);
  ASSERT_EQ(0, parse("v:w\n"));
  ASSERT_EQ(1u, entries().size());
  EXPECT_EQ(3, list.head->variant);
}

}  // namespace
