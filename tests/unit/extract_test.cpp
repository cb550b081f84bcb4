#include "install/extract.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "display/display.h"
#include "install/run.h"
#include "net/download.h"
#include "platform/headless/headless.h"
#include "repo_check.h"
#include "repo_report.h"
#include "resources/dialog_ids.h"
#include "support/paths.h"
#include "testkit/testkit.h"
#include "testkit/zipkit.h"

namespace {

using Lines = std::vector<std::string>;

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

time_t mtime_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

// Data that deflates to several 8192-byte pieces and does not repeat simply.
std::string sample(size_t size) {
  std::string s(size, '\0');
  uint32_t x = 12345;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>('a' + (x >> 16) % 7);
  }
  return s;
}

class ExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    headless_reset();
    dialog_handle = ui_create_dialog(wizard_dialog_proc);
    run_attach_views();  // the progress page, as in a run
    zip = dir / "pkg.zip";
    dest = dir / "inst";
    mkdir(dest.c_str(), 0755);
  }
  void TearDown() override {
    extract_view = ProgressView();
    download_view = ProgressView();
    dialog_handle = nullptr;
    headless_reset();
  }
  int run() { return install_archive(zip.c_str(), dest.c_str()); }
  // The log after the "install" line.
  Lines after_install() {
    Lines lines = log.lines();
    EXPECT_FALSE(lines.empty());
    if (!lines.empty()) {
      EXPECT_EQ("install \"" + zip + "\"", lines[0]);
      lines.erase(lines.begin());
    }
    return lines;
  }

  TempDir dir;
  LogCapture log;
  std::string zip, dest;
};

// Info-ZIP's Unicode Path field for a member stored under another name.
std::string unicode_path(const std::string& stored, const std::string& utf8) {
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(stored.data()), static_cast<uInt>(stored.size()));
  size_t size = 5 + utf8.size();
  std::string field = {'\x75', '\x70', static_cast<char>(size & 0xFF), static_cast<char>(size >> 8), '\x01'};
  for (int i = 0; i < 4; ++i) field += static_cast<char>((crc >> (8 * i)) & 0xFF);
  return field + utf8;
}

TEST_F(ExtractTest, ExtractsEveryEntryWithItsTimeAndLogsEachStep) {
  const uint32_t summer = dos_date_time(2019, 7, 14, 16, 30, 58);
  const uint32_t winter = dos_date_time(2001, 12, 31, 23, 59, 0);
  const std::string big = sample(100000);
  {
    ZipBuilder z(zip);
    z.add("top.txt", "stored text", summer, 0)
        .add("docs/readme.txt", "read me", winter)
        .add("empty/", "")
        .add("docs/more/deep.bin", big, summer)
        .add("zero.txt", "", winter)
        .add_as("marked", "", 0x10, 0)  // a folder by its MS-DOS attribute alone
        .add_as("moded", "", 040755u << 16, 3 << 8)  // a folder by its Unix mode alone
        .add_as("caf\xc3\xa9.txt", "utf", 0, 0, 1 << 11)
        // Unflagged: UTF-8 from Unix when it is UTF-8; a matching Unicode Path field; else code page 437.
        .add_as("\xc3\xa9t\xc3\xa9.txt", "unix", 0, 3 << 8)
        .add_as("\x81" "ber.txt", "unix 437", 0, 3 << 8)
        .add_as("??.txt", "path field", 0, 0, 0, unicode_path("??.txt", "\xe4\xb8\x96.txt"))
        .add_as("\x94.txt", "stale field", 0, 0, 0, unicode_path("other.txt", "x.txt"))
        .add("\x84.txt", "cp437");
    ASSERT_TRUE(z.close());
  }
  // Missing parts of the destination are created as entries need them.
  dest = dir / "inst/sub";
  ASSERT_EQ(0, run());

  EXPECT_EQ("stored text", read_file(dest + "/top.txt"));
  EXPECT_EQ("read me", read_file(dest + "/docs/readme.txt"));
  EXPECT_EQ(big, read_file(dest + "/docs/more/deep.bin"));
  EXPECT_TRUE(exists(dest + "/zero.txt"));
  EXPECT_EQ("utf", read_file(dest + "/caf\xc3\xa9.txt"));
  EXPECT_EQ("cp437", read_file(dest + "/\xc3\xa4.txt"));
  for (auto [name, text] : {std::pair<const char*, const char*>{"\xc3\xa9t\xc3\xa9.txt", "unix"},
                            {"\xc3\xbc" "ber.txt", "unix 437"}, {"\xe4\xb8\x96.txt", "path field"},
                            {"\xc3\xb6.txt", "stale field"}})
    EXPECT_EQ(text, read_file(dest + "/" + name)) << name;
  EXPECT_EQ(dos_to_local(summer), mtime_of(dest + "/top.txt"));
  EXPECT_EQ(dos_to_local(winter), mtime_of(dest + "/docs/readme.txt"));
  EXPECT_EQ(dos_to_local(summer), mtime_of(dest + "/docs/more/deep.bin"));
  EXPECT_EQ(dos_to_local(winter), mtime_of(dest + "/zero.txt"));

  EXPECT_EQ((Lines{"mkdir " + dest, "opened " + dest + "/top.txt for writing",
                   "mkdir " + dest + "/docs", "opened " + dest + "/docs/readme.txt for writing",
                   "mkdir " + dest + "/empty", "mkdir " + dest + "/docs/more",
                   "opened " + dest + "/docs/more/deep.bin for writing",
                   "opened " + dest + "/zero.txt for writing", "mkdir " + dest + "/marked", "mkdir " + dest + "/moded",
                   "opened " + dest + "/caf\xc3\xa9.txt for writing",
                   "opened " + dest + "/\xc3\xa9t\xc3\xa9.txt for writing", "opened " + dest + "/\xc3\xbc" "ber.txt for writing",
                   "opened " + dest + "/\xe4\xb8\x96.txt for writing", "opened " + dest + "/\xc3\xb6.txt for writing",
                   "opened " + dest + "/\xc3\xa4.txt for writing"}),
            after_install());
  EXPECT_EQ("Installing pkg.zip...", headless_text(0));
  EXPECT_EQ("\xc3\xa4.txt", headless_text(IDC_STATUS));
  EXPECT_EQ("", headless_text(IDC_RATE));
  EXPECT_EQ(13u, headless_progress_range(IDC_PROGRESS));
  EXPECT_EQ(13, headless_progress_pos(IDC_PROGRESS));
}

// Entries are copied in large pieces: sizes around a piece and past it, stored and
// deflated, come out whole, and damage after the first piece is still caught.
TEST_F(ExtractTest, LargeEntriesAcrossCopyPieces) {
  const size_t piece = 256 * 1024;
  const std::vector<size_t> sizes = {piece - 1, piece, piece + 1, 3 * piece + 4321};
  {
    ZipBuilder z(zip);
    for (size_t i = 0; i < sizes.size(); ++i) {
      z.add("s" + std::to_string(i), sample(sizes[i] + i), ZipBuilder::kDefaultDos, 0);
      z.add("d" + std::to_string(i), sample(sizes[i] + i));
    }
    ASSERT_TRUE(z.close());
  }
  ASSERT_EQ(0, run());
  for (size_t i = 0; i < sizes.size(); ++i) {
    EXPECT_EQ(sample(sizes[i] + i), read_file(dest + "/s" + std::to_string(i))) << i;
    EXPECT_EQ(sample(sizes[i] + i), read_file(dest + "/d" + std::to_string(i))) << i;
  }

  const std::string data = sample(3 * piece);
  {
    ZipBuilder z(zip);
    z.add("big.bin", data, ZipBuilder::kDefaultDos, 0);
    ASSERT_TRUE(z.close());
  }
  std::string bytes = read_file(zip);
  size_t at = bytes.find(data.substr(0, 64));
  ASSERT_NE(at, std::string::npos);
  bytes[at + 2 * piece + 17] ^= 1;  // in the third piece
  write_file(zip, bytes);
  EXPECT_EQ(-1, run());
  Lines lines = log.lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "install_archive: CRC error in big.bin"),
            lines.end());
  EXPECT_FALSE(exists(dest + "/big.bin"));
}

TEST_F(ExtractTest, StatusLineShowsTheNameAsStored) {
  {
    ZipBuilder z(zip);
    z.add("dir\\win.txt", "w");
    ASSERT_TRUE(z.close());
  }
  ASSERT_EQ(0, run());
  EXPECT_EQ("dir\\win.txt", headless_text(IDC_STATUS));
  EXPECT_EQ("w", read_file(dest + "/dir/win.txt"));
}

// Up to the longest paths Windows makes (longer ones are refused; see below).
TEST_F(ExtractTest, LongCaptionAndDestinationAreNotCut) {
  std::string base(240, 'z');
  zip = dir / (base + ".zip");
  dest = dir / (std::string(100, 'p') + "/" + std::string(100, 'q'));
  std::string longest = "d/" + std::string(259 - dest.size() - 3, 'n');  // 259 characters in all
  {
    ZipBuilder z(zip);
    z.add(std::string(246 - dest.size() - 1, 'r') + "/f.txt", "deep").add(longest, "ok");
    ASSERT_TRUE(z.close());
  }
  ASSERT_EQ(0, run());
  EXPECT_EQ("Installing " + base + ".zip...", headless_text(0));
  EXPECT_EQ("deep", read_file(dest + "/" + std::string(246 - dest.size() - 1, 'r') + "/f.txt"));
  EXPECT_EQ("ok", read_file(dest + "/" + longest));
}

TEST_F(ExtractTest, EmptyArchiveCreatesNothing) {
  {
    ZipBuilder z(zip);
    ASSERT_TRUE(z.close());
  }
  dest = dir / "never";
  ASSERT_EQ(0, run());
  EXPECT_FALSE(exists(dest));
  EXPECT_EQ(0u, headless_progress_range(IDC_PROGRESS));
  EXPECT_EQ(0, headless_progress_pos(IDC_PROGRESS));
  EXPECT_TRUE(after_install().empty());
}

TEST_F(ExtractTest, ReplacesFilesAndReusesDirectories) {
  mkdir((dest + "/d").c_str(), 0755);
  write_file(dest + "/d/f.txt", "an older and longer content");
  {
    ZipBuilder z(zip);
    z.add("d/", "").add("d/f.txt", "new");
    ASSERT_TRUE(z.close());
  }
  ASSERT_EQ(0, run());
  EXPECT_EQ("new", read_file(dest + "/d/f.txt"));
  EXPECT_EQ(Lines{"opened " + dest + "/d/f.txt for writing"}, after_install());
}

TEST_F(ExtractTest, MoreThan65535EntriesAreScaledIntoTheBarsRange) {
  const unsigned long count = 65537;
  {
    // One folder named again and again is far cheaper than making 65537
    // directories or files (two files of one name are refused).
    ZipBuilder z(zip);
    for (unsigned long i = 0; i + 1 < count; ++i) z.add("same/", "", 0, 0);
    z.add("last.txt", "end", ZipBuilder::kDefaultDos, 0);
    ASSERT_TRUE(z.close());
  }
  ASSERT_EQ(0, run());
  EXPECT_EQ(65535u, headless_progress_range(IDC_PROGRESS));
  EXPECT_EQ(65535, headless_progress_pos(IDC_PROGRESS));
  EXPECT_EQ("end", read_file(dest + "/last.txt"));
  EXPECT_EQ((Lines{"mkdir " + dest + "/same", "opened " + dest + "/last.txt for writing"}), after_install());
}

TEST_F(ExtractTest, MissingOrTruncatedArchiveCannotBeOpened) {
  zip = dir / "missing.zip";
  EXPECT_EQ(-1, run());
  EXPECT_EQ(Lines{"can't open " + zip + " for reading"}, after_install());

  zip = dir / "truncated.zip";
  {
    ZipBuilder z(zip);
    z.add("a.txt", sample(5000));
    ASSERT_TRUE(z.close());
  }
  std::string whole = read_file(zip);
  write_file(zip, whole.substr(0, whole.size() / 2));
  EXPECT_EQ(-1, run());
  EXPECT_EQ("can't open " + zip + " for reading", log.lines().back());
}

struct BadMember {
  const char* what;
  int method;
  std::string bytes;   // as stored: deflated ones raw
  int crc_delta;       // added to the CRC of `bytes`
  int size_delta;      // added to the size of `bytes`
  const char* line;    // expected last log line, %s = the member's path
  bool file_stays;     // the partly written file remains
};

class BadMemberTest : public ExtractTest, public ::testing::WithParamInterface<BadMember> {};

TEST_P(BadMemberTest, FailsAtTheMemberAndKeepsWhatCameBefore) {
  const BadMember& b = GetParam();
  std::string bytes = b.bytes;
  {
    ZipBuilder z(zip);
    z.add("good.txt", "fine").add_raw("bad.txt", bytes, b.method, crc_of(bytes) + b.crc_delta,
                                      bytes.size() + b.size_delta);
    z.add("after.txt", "never");
    ASSERT_TRUE(z.close());
  }
  EXPECT_EQ(-1, run());
  std::string line = b.line;
  size_t at = line.find("%s");
  if (at != std::string::npos) line.replace(at, 2, dest + "/bad.txt");
  EXPECT_EQ(line, log.lines().back());
  EXPECT_EQ("fine", read_file(dest + "/good.txt"));
  EXPECT_EQ(b.file_stays, exists(dest + "/bad.txt"));
  EXPECT_FALSE(exists(dest + "/after.txt"));
  EXPECT_EQ(1, headless_progress_pos(IDC_PROGRESS));
}

void PrintTo(const BadMember& b, std::ostream* os) { *os << b.what; }

INSTANTIATE_TEST_SUITE_P(
    Extract, BadMemberTest,
    ::testing::Values(
        BadMember{"damaged deflate stream", 8, "\xff\xff\xff\xff\xff\xff", 0, 0,
                  "unzReadCurrentFile() failed", true},
        BadMember{"bad CRC", 0, "stored data", 1, 0, "install_archive: CRC error in bad.txt", false},
        // A stored one is refused before anything is written; a deflate stream
        // tells its end only while it is inflated.
        BadMember{"short of its size", 8, std::string("\x2b\xce\xc8\x2f\x2a\x01\x00", 7), 0, 10,
                  "install_archive: size error in bad.txt", false}),
    [](const ::testing::TestParamInfo<BadMember>& info) { return "Case" + std::to_string(info.index); });

// What the opening pass refuses (the name rules themselves are tested with
// names.h): each archive holds "first.txt" and then the hostile part; the line
// names the archive and the entry, and nothing is written. quorvin-repo check
// refuses each alike, in the same words: it takes the shortest install
// directory a user can pick, C:\, here below a d: that makes it as long as dest.
struct Hostile {
  const char* what;
  std::function<void(ZipBuilder&)> members;  // after first.txt
  std::function<bool(std::string&)> patch;   // of the closed archive's bytes, or null
  // After "install_archive: ARCHIVE: "; a trailing '(' matches any reason.
  std::string line;
};

TEST_F(ExtractTest, HostileArchivesAreRefusedBeforeAnythingIsWritten) {
  auto member = [](const std::string& name, const std::string& data = "evil") {
    return [=](ZipBuilder& z) { z.add(name, data); };
  };
  auto two = [](const std::string& a, const std::string& b) {
    return [=](ZipBuilder& z) { z.add(a, "").add(b, ""); };
  };
  auto raw = [](int method, const std::string& bytes) {
    return [=](ZipBuilder& z) { z.add_raw("bad.bin", bytes, method, crc_of(bytes), bytes.size()); };
  };
  const std::string only = "; only stored (0) and deflated (8) can be extracted";
  auto unsafe = [](const std::string& name) { return "unsafe entry name " + name + " ("; };
  // 260 characters with the destination, and a folder of 248 in which the file's path is 252.
  const std::string long_file(259 - dest.size(), 'f'), long_folder(247 - dest.size(), 'd');
  auto too_long = [&](const std::string& name, size_t length) {
    return "entry " + name + " would make a path of " + std::to_string(dest.size() + 1 + length) +
           " characters below " + dest + ", longer than Windows allows";
  };
  const std::vector<Hostile> cases = {
      {"climbs", member("../evil.txt"), nullptr, unsafe("../evil.txt")},
      {"device", member("sub/Nul.txt"), nullptr, unsafe("sub/Nul.txt")},
      {"trailing dot", member("a."), nullptr, unsafe("a.")},
      {"control byte, shown escaped", member("x\nexit_app: code is 0"), nullptr,
       unsafe("x\\x0Aexit_app: code is 0")},
      {"empty name", member(""), nullptr, "entry 2 has no name"},
      {"name too long", member("d/" + std::string(254, 'n')), nullptr,
       "name of entry 2 is too long (256 bytes)"},
      {"symbolic link", [](ZipBuilder& z) { z.add_as("link", "/etc/passwd", 0120777u << 16, 3 << 8 | 30); },
       nullptr, "entry link is a symbolic link; links are not installed, as Windows may not allow making them"},
      {"encrypted", member("secret.txt"), [](std::string& d) { return zip_set_flags(d, "secret.txt", 1); },
       "entry secret.txt is encrypted; encrypted entries are not installed"},
      {"bzip2", raw(12, "BZh91AY&SY"), nullptr, "entry bad.bin uses compression method 12" + only},
      {"lzma", raw(14, "\x09\x14\x05\x00"), nullptr, "entry bad.bin uses compression method 14" + only},
      {"entries sharing one member's data", member("bomb.bin", std::string(100000, 'b')),
       [](std::string& d) { return zip_repeat_entry(d, "bomb.bin", 3); },
       "entries bomb.bin and bomb.bin share bytes of the archive"},
      {"local header names another file", member("right.txt"),
       [](std::string& d) { return zip_rename_local(d, "right.txt", "wrong.txt"); },
       "the local header of entry right.txt holds another name"},
      {"data past the end", member("long.txt"),
       [](std::string& d) { return zip_grow_compressed(d, "long.txt", 1 << 20); },
       "entry long.txt runs past the end of the archive"},
      {"file, then a folder of its name", two("a", "a/"), nullptr,
       "entry a/ and entry a need the same path as a file and as a folder"},
      {"file, then a file below it, in another case", two("A", "./a/b"), nullptr,
       "entry ./a/b and entry A need the same path as a file and as a folder"},
      {"file below a path, then a file of it", two("d/e/f", "d\\e"), nullptr,
       "entry d\\e and entry d/e/f need the same path as a file and as a folder"},
      {"one file twice", two("b.txt", "./b.txt"), nullptr, "entry ./b.txt and entry b.txt name the same file"},
      {"files that differ in case", two("Docs/b.txt", "docs\\B.TXT"), nullptr,
       "entry docs\\B.TXT and entry Docs/b.txt name the same file"},
      // Names are read in code page 437 unless flagged as UTF-8, and compared so.
      {"files that differ in a code-page letter's case", two("\x84.txt", "\x8e.txt"), nullptr,
       "entry \xc3\x84.txt and entry \xc3\xa4.txt name the same file"},
      {"one file in UTF-8 and in the code page",
       [](ZipBuilder& z) { z.add_as("caf\xc3\xa9.txt", "", 0, 0, 1 << 11).add("CAF\x90.TXT", ""); }, nullptr,
       "entry CAF\xc3\x89.TXT and entry caf\xc3\xa9.txt name the same file"},
      {"device name once decoded", member("COM\xfd"), nullptr, unsafe("COM\xc2\xb2")},
      {"flagged as UTF-8 but not", [](ZipBuilder& z) { z.add_as("bad\xc3(.txt", "", 0, 0, 1 << 11); }, nullptr,
       "the name of entry 2 is marked as UTF-8 but is not valid UTF-8"},
      {"stored entry with less data than its size",
       [](ZipBuilder& z) { z.add_raw("bad.bin", "short", 0, crc_of("short"), 15); }, nullptr,
       "stored entry bad.bin gives 5 bytes of data for a size of 15"},
      {"end record that counts one entry less", member("hidden.txt"),
       [](std::string& d) { return zip_lower_count(d, 1); },
       "the archive's directory holds more entries than its end record counts"},
      {"file path Windows cannot make", member(long_file), nullptr, too_long(long_file, long_file.size())},
      {"folder path Windows cannot make", member(long_folder + "/x"), nullptr,
       too_long(long_folder + "/x", long_folder.size())},
  };
  const std::string repo = dir / "repo", d(dest.size() - 3, 'p');
  mkdir(repo.c_str(), 0755);
  write_file(repo + "/filelist.txt", "v:\nu:http://h/q/pkg.zip\nd:" + d + "\ne:" + d + "/first.txt\n");
  repo_quiet = true;
  for (const Hostile& h : cases) {
    SCOPED_TRACE(h.what);
    write_file(dest + "/first.txt", "installed before");
    {
      ZipBuilder z(zip);
      z.add("first.txt", "must not replace it");
      h.members(z);
      ASSERT_TRUE(z.close());
    }
    if (h.patch) {
      std::string bytes = read_file(zip);
      ASSERT_TRUE(h.patch(bytes));
      write_file(zip, bytes);
    }
    EXPECT_EQ(-1, run());
    std::string said = h.line;
    for (size_t at = said.find(dest); at != std::string::npos; at = said.find(dest, at + 1))
      said.replace(at, dest.size(), "C:\\" + d);
    write_file(repo + "/pkg.zip", read_file(zip));
    repo_report_reset();
    EXPECT_EQ(-1, repo_check(repo));
    auto expect_line = [](const std::string& want, const std::string& got) {
      EXPECT_EQ(want, want.back() == '(' ? got.substr(0, want.size()) : got);
    };
    expect_line("install_archive: " + zip + ": " + h.line, log.lines().back());
    expect_line("entry 1 (pkg.zip, line 1): " + said, repo_last_error);
    EXPECT_EQ(1, repo_error_count) << repo_error_text;
    EXPECT_EQ("installed before", read_file(dest + "/first.txt"));
    EXPECT_FALSE(exists(dir / "evil.txt"));
    EXPECT_EQ(0, headless_progress_pos(IDC_PROGRESS));
  }
}

// zip64 records throughout: members that start past 4 GiB (the archive is a
// sparse file), 64-bit sizes in their local headers, data before the archive,
// and a declared size no disk has, which the free-space check refuses before writing.
TEST_F(ExtractTest, Zip64ArchivesInstallByteExactly) {
  const uint64_t past_4_gib = (uint64_t{1} << 32) + 12345;
  const std::string big = sample(300000);
  {
    ZipBuilder z(zip, past_4_gib);
    z.add("far/deflated.bin", big, ZipBuilder::kDefaultDos, 8, true)
        .add("far/stored.txt", "stored", ZipBuilder::kDefaultDos, 0, true)
        .add("far/sub/", "")
        .add("plain.txt", "no 64-bit sizes");
    ASSERT_TRUE(z.close());
  }
  ASSERT_EQ(0, run()) << log.lines().back();
  EXPECT_EQ(big, read_file(dest + "/far/deflated.bin"));
  EXPECT_EQ("stored", read_file(dest + "/far/stored.txt"));
  EXPECT_EQ("no 64-bit sizes", read_file(dest + "/plain.txt"));
  EXPECT_TRUE(exists(dest + "/far/sub"));
  EXPECT_EQ(dos_to_local(ZipBuilder::kDefaultDos), mtime_of(dest + "/far/deflated.bin"));

  // A program in front of an archive with zip64 records, its offsets left as
  // they were: read from where the records say the archive starts.
  {
    ZipBuilder z(zip);
    z.add("stub/a.txt", "after a stub").add("stub/b.txt", "and another");
    ASSERT_TRUE(z.close());
  }
  std::string bytes = read_file(zip);
  ASSERT_TRUE(zip_add_zip64_end(bytes));
  write_file(zip, "MZ" + std::string(5000, 's') + bytes);
  ASSERT_EQ(0, run()) << log.lines().back();
  EXPECT_EQ("after a stub", read_file(dest + "/stub/a.txt"));
  EXPECT_EQ("and another", read_file(dest + "/stub/b.txt"));

  const uint64_t huge = uint64_t{1} << 50;
  {
    ZipBuilder z(zip);
    z.add("first.txt", "must not be written").add_raw("huge.bin", std::string("\xab\x00\x00", 3), 8, crc_of("x"), huge);
    ASSERT_TRUE(z.close());
  }
  std::string inst = dest + "/later";
  EXPECT_EQ(-1, install_archive(zip.c_str(), inst.c_str()));
  std::string want = "not enough free space in " + inst + ": " +
                     std::to_string(huge + size_in_units(19, allocation_unit(inst))) + " bytes needed, ";
  EXPECT_EQ(want, log.lines().back().substr(0, want.size()));
  EXPECT_FALSE(exists(inst));
}

TEST_F(ExtractTest, TargetThatCannotBeWrittenFails) {
  mkdir((dest + "/taken").c_str(), 0755);  // a directory where the file should go
  {
    ZipBuilder z(zip);
    z.add("taken", "x").add("after.txt", "y").add_raw("bad.txt", "\x03\x00", 8, 1, 0);
    ASSERT_TRUE(z.close());
  }
  // Files are written behind the reading: the first failure still ends the run,
  // the log names it last, and nothing after it is written.
  EXPECT_EQ(-1, run());
  EXPECT_EQ("can't open " + dest + "/taken for writing", log.lines().back());
  EXPECT_FALSE(exists(dest + "/after.txt"));

  if (geteuid() == 0) GTEST_SKIP() << "read-only files are writable for root";
  write_file(dest + "/ro.txt", "old");
  chmod((dest + "/ro.txt").c_str(), 0444);
  {
    ZipBuilder z(zip);
    z.add("ro.txt", "new");
    ASSERT_TRUE(z.close());
  }
  EXPECT_EQ(-1, run());
  EXPECT_EQ("can't open " + dest + "/ro.txt for writing", log.lines().back());
  EXPECT_EQ("old", read_file(dest + "/ro.txt"));
}

TEST_F(ExtractTest, FileInTheWayOfADirectoryFails) {
  write_file(dest + "/plain", "file");
  {
    ZipBuilder z(zip);
    z.add("plain/inner.txt", "x");
    ASSERT_TRUE(z.close());
  }
  // The file counts as the existing parent; opening below it fails.
  EXPECT_EQ(-1, run());
  EXPECT_EQ("can't open " + dest + "/plain/inner.txt for writing", log.lines().back());

  {
    ZipBuilder z(zip);
    z.add("plain/sub/", "");
    ASSERT_TRUE(z.close());
  }
  EXPECT_EQ(-1, run());
  EXPECT_EQ("mkdir " + dest + "/plain/sub failed", log.lines().back());
}

}  // namespace
