#include "install/plan.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "install/publisher.h"
#include "rules/filelist.h"
#include "testkit/testkit.h"

namespace {

using Lines = std::vector<std::string>;

class PlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dl = dir / "down load";
    inst = dir / "inst";
    mkdir(dl.c_str(), 0755);
    mkdir(inst.c_str(), 0755);
    in.download_directory = dl;
    in.install_directory = inst;
  }
  void manifest(const std::string& text) {
    write_file(dir / "filelist.txt", text);
    list.clear();
    ASSERT_EQ(FILELIST_OK, filelist_read((dir / "filelist.txt").c_str(), &list).outcome);
  }
  int plan() { return plan_build(in, list, &planned); }

  TempDir dir;
  std::string dl, inst;
  PlanInput in;
  LogCapture log;
  FileList list;
  std::vector<PlannedEntry> planned;
};

struct Row {
  RunMode mode;
  bool check_exists;
  bool archive_exists;
  int download;
  int extract;
  int installed;
  const char* lines;  // expected log, with DL / INST / URL standing for the paths
};

void PrintTo(const Row& r, std::ostream* os) {
  *os << "mode " << static_cast<int>(r.mode) << " check " << r.check_exists << " archive " << r.archive_exists;
}

class DecisionTable : public PlanTest, public ::testing::WithParamInterface<Row> {};

std::string expand(std::string text, const std::string& dl_path, const std::string& inst) {
  for (auto [key, value] : {std::pair<std::string, std::string>{"DL", dl_path}, {"INST", inst},
                            {"URL", "http://host/pkg/tav.zip"}}) {
    for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
  }
  return text;
}

TEST_P(DecisionTable, Row) {
  const Row& r = GetParam();
  in.mode = r.mode;
  in.variant_flags[0] = 1;
  manifest("v:t\nu:http://host/pkg/tav.zip\nd:sub\ne:bin/tav.exe\n");
  if (r.check_exists) {
    mkdir((inst + "/bin").c_str(), 0755);
    write_file(inst + "/bin/tav.exe", "x");
  }
  std::string local = dl + "/tav.zip";
  if (r.archive_exists) write_file(local, "zip");

  ASSERT_EQ(0, plan());
  ASSERT_EQ(1u, planned.size());
  const PlannedEntry& e = planned[0];
  EXPECT_EQ(list.head, e.entry);
  EXPECT_EQ(local, e.local_path);
  EXPECT_EQ(r.archive_exists ? 1 : 0, e.archive_exists);
  EXPECT_EQ(r.installed, e.installed);
  EXPECT_EQ(r.download, e.download);
  EXPECT_EQ(r.extract, e.extract);
  EXPECT_EQ(split_lines(expand(r.lines, local, inst)), log.lines());
  // The plan changes nothing on disk.
  EXPECT_EQ(r.archive_exists, read_file(local) == "zip");
}

const char* kSkip = "skipping tav.zip (already installed)";
const char* kExists = "no download tav.zip (exists)";
#define DOWNLOAD "download:\n   URL\n   DL"
#define EXTRACT "extract:\n   DL\n   INST"

INSTANTIATE_TEST_SUITE_P(
    Plan, DecisionTable,
    ::testing::Values(
        Row{RunMode::DownloadAndInstall, true, true, 0, 0, 1, kSkip},
        Row{RunMode::DownloadAndInstall, true, false, 0, 0, 1, kSkip},
        Row{RunMode::DownloadAndInstall, false, true, 0, 1, 0, "no download tav.zip (exists)\n" EXTRACT},
        Row{RunMode::DownloadAndInstall, false, false, 1, 1, 0, DOWNLOAD "\n" EXTRACT},
        // The install directory is not looked at: an installed check path does not matter.
        Row{RunMode::DownloadOnly, true, true, 0, 0, 0, kExists},
        Row{RunMode::DownloadOnly, true, false, 1, 0, 0, DOWNLOAD},
        Row{RunMode::DownloadOnly, false, false, 1, 0, 0, DOWNLOAD},
        Row{RunMode::InstallFromDirectory, true, true, 0, 0, 1, kSkip},
        Row{RunMode::InstallFromDirectory, true, false, 0, 0, 1, kSkip},
        Row{RunMode::InstallFromDirectory, false, true, 0, 1, 0, "no download tav.zip (exists)\n" EXTRACT},
        Row{RunMode::InstallFromDirectory, false, false, 0, 1, 0, EXTRACT}),
    [](const ::testing::TestParamInfo<Row>& info) { return "Row" + std::to_string(info.index); });

TEST_F(PlanTest, UnselectedVariantsAreSkippedInEveryMode) {
  size_t seen = 0;
  for (RunMode mode : {RunMode::DownloadAndInstall, RunMode::DownloadOnly, RunMode::InstallFromDirectory}) {
    in.mode = mode;
    // The unselected entries need no check path.
    manifest("v:m\nu:http://h/mir.zip\n\nv:\nu:http://h/all.zip\ne:all\n\nv:w\nu:http://h/wen.zip\n");
    ASSERT_EQ(0, plan());
    ASSERT_EQ(3u, planned.size());
    for (const PlannedEntry* e : {&planned[0], &planned[2]}) {
      EXPECT_EQ("", e->local_path);
      EXPECT_EQ(0, e->installed + e->archive_exists + e->download + e->extract);
    }
    EXPECT_EQ(mode != RunMode::InstallFromDirectory, planned[1].download == 1);
    EXPECT_EQ(mode != RunMode::DownloadOnly, planned[1].extract == 1);
    Lines lines = log.lines();
    lines.erase(lines.begin(), lines.begin() + seen);
    seen += lines.size();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ("skipping mir.zip (wrong variant)", lines.front());
    EXPECT_EQ("skipping wen.zip (wrong variant)", lines.back());
  }
}

TEST_F(PlanTest, CheckPathMayBeADirectoryWrittenWithEitherSeparator) {
  mkdir((inst + "/share").c_str(), 0755);
  mkdir((inst + "/share/doc").c_str(), 0755);
  manifest("v:\nu:http://h/a.zip\ne:share\\doc\n\nv:\nu:http://h/b.zip\ne:share/doc/\n");
  ASSERT_EQ(0, plan());
  EXPECT_EQ(1, planned[0].installed);
  EXPECT_EQ(1, planned[1].installed);
}

TEST_F(PlanTest, DownloadDirectoryWithTrailingSeparatorIsJoinedOnce) {
  in.download_directory = dl + "/";
  manifest("v:\nu:http://h/x/y/a.zip\ne:a\n");
  ASSERT_EQ(0, plan());
  EXPECT_EQ(dl + "/a.zip", planned[0].local_path);
}

struct Refusal {
  RunMode mode;
  const char* text;
  const char* line;
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.text; }

class PlanRefusal : public PlanTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(PlanRefusal, EntryLackingWhatTheRunNeedsFailsThePlan) {
  in.mode = GetParam().mode;
  in.variant_flags[0] = 1;
  manifest(std::string("v:t\nu:http://h/good.zip\ne:g\n\n") + GetParam().text);
  planned.resize(1);  // from an earlier plan
  EXPECT_EQ(-1, plan());
  // Refused before anything is planned.
  EXPECT_EQ(Lines{GetParam().line}, log.lines());
  EXPECT_TRUE(planned.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Plan, PlanRefusal,
    ::testing::Values(
        Refusal{RunMode::DownloadAndInstall, "v:m\ne:x\n", "plan_build: entry 2 has no URL (\"u:\")"},
        Refusal{RunMode::DownloadOnly, "v:\nu:archive.zip\n", "plan_build: URL archive.zip of entry 2 has no '/'"},
        Refusal{RunMode::DownloadOnly, "v:\nu:http://h/\n", "plan_build: URL http://h/ of entry 2 names no archive"},
        Refusal{RunMode::DownloadAndInstall, "v:t\nu:http://h/a.zip\n", "plan_build: a.zip (entry 2) has no check path (\"e:\")"},
        Refusal{RunMode::InstallFromDirectory, "v:\nu:http://h/a.zip\n", "plan_build: a.zip (entry 2) has no check path (\"e:\")"},
        // Windows takes both for one file of the download directory.
        Refusal{RunMode::DownloadOnly, "v:\nu:http://h/m/GOOD.ZIP\n", "plan_build: entry 2 names the archive GOOD.ZIP of entry 1 again"},
        Refusal{RunMode::DownloadOnly, "v:\nu:http://h/\xe9t\xe9.zip\n\nv:\nu:http://h/\xc9T\xc9.zip\n",
                "plan_build: entry 3 names the archive \xc9T\xc9.zip of entry 2 again"},
        Refusal{RunMode::DownloadOnly, "v:\nu:http://h/a\rb.zip\n",
                "plan_build: entry 2: URL http://h/a\\x0Db.zip refused: space or control character in the URL"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return "Case" + std::to_string(info.index); });

// With a key, the signature covers an archive only through its h: and s:, so
// an entry without either is refused; an archive already there of another
// size than s: is fetched again without being read.
TEST_F(PlanTest, SignedListsNeedSizesAndAWrongSizeIsFetchedAgain) {
  const std::string h = "h:" + std::string(64, 'a') + "\n";
  const char* before = publisher_key;
  publisher_key = "RWkey";
  in.mode = RunMode::DownloadOnly;
  in.variant_flags[0] = 1;
  manifest("v:t\nu:http://h/a.zip\n" + h);
  EXPECT_EQ(-1, plan());
  manifest("v:t\nu:http://h/a.zip\ns:3\n");
  EXPECT_EQ(-1, plan());
  manifest("v:t\nu:http://h/a.zip\n" + h + "s:3\n");
  write_file(dl + "/a.zip", "four");
  EXPECT_EQ(0, plan());
  publisher_key = before;
  ASSERT_EQ(1u, planned.size());
  EXPECT_TRUE(planned[0].download);
  Lines lines = log.lines();
  lines.resize(3);
  EXPECT_EQ((Lines{"plan_build: a.zip (entry 1) has no size (\"s:\"), which a signed list must give",
                   "plan_build: a.zip (entry 1) has no SHA-256 (\"h:\"), which a signed list must give",
                   "plan_build: a.zip has 4 bytes, the list says 3"}),
            lines);
}

// A run killed while it extracted a.zip left a.zip's marker and the note that
// it was under way: a.zip is extracted again, b.zip (finished) is not; the note
// does not matter where nothing is extracted.
TEST_F(PlanTest, ArchiveWhoseExtractionDidNotFinishIsExtractedAgain) {
  write_file(inst + "/a.txt", "half");
  write_file(inst + "/b.txt", "whole");
  write_file(dl + "/a.zip", "zip");
  write_file(dl + "/a.zip.installing", "");
  manifest("v:\nu:http://h/a.zip\ne:a.txt\n\nv:\nu:http://h/b.zip\ne:b.txt\n");
  ASSERT_EQ(0, plan());
  EXPECT_EQ(0, planned[0].installed);
  EXPECT_EQ(0, planned[0].download);
  EXPECT_EQ(1, planned[0].extract);
  EXPECT_EQ(1, planned[1].installed);
  EXPECT_EQ(0, planned[1].extract);
  Lines lines = log.lines();
  EXPECT_EQ(1, std::count(lines.begin(), lines.end(),
                          "plan_build: the extraction of a.zip did not finish, extracting it again"));
}

TEST_F(PlanTest, CheckPathIsNotNeededWhereNothingIsExtracted) {
  in.mode = RunMode::DownloadOnly;
  in.install_directory.clear();
  in.variant_flags[0] = 1;
  manifest("v:t\nu:http://h/a.zip\n\nv:m\nu:http://h/b.zip\n");
  ASSERT_EQ(0, plan());
  EXPECT_EQ(1, planned[0].download);
}

}  // namespace
