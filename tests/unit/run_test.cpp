// The run from the last directory step to its end: manifest, plan, summary
// page, downloads and extraction, against the loopback test server.
#include "app/app.h"
#include "display/flow.h"
#include "install/run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "display/display.h"
#include "rules/filelist.h"
#include "net/download.h"
#include "net/socket.h"
#include "platform/headless/headless.h"
#include "resources/dialog_ids.h"
#include "support/log.h"
#include "support/sha256.h"
#include "test_server.h"
#include "testkit/testkit.h"
#include "testkit/zipkit.h"
#include "wizard/pages.h"

namespace {

char* dup(const std::string& s) { return strdup(s.c_str()); }

// Boxes shown in a death test's child reach the parent through stderr.
void box_to_stderr(const HeadlessBox& box) {
  std::fprintf(stderr, "BOX %s|%s\n", box.caption.c_str(), box.text.c_str());
}

// The progress clock, but the first reading after a chunk of slow.zip has come
// posts the quit request.
uint32_t quit_during_slow_zip() {
  static bool posted = false;
  if (!posted && headless_text(IDC_STATUS).rfind("Downloading slow.zip", 0) == 0) {
    posted = true;
    headless_post_quit();
  }
  return plat_tick_ms();
}

const char* const kSummaryHead = "These files will be downloaded:\r\n";
const char* const kSummaryMid = "\r\nThese files will be installed:\r\n";

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wizard_reset_state();
    app_connect_flow();
    headless_reset();
    entry_list.clear();
    set_page_handler(nullptr);
    dialog_handle = ui_create_dialog(wizard_dialog_proc);
    for (int page = 0; page < 5; ++page) show_page(page, UI_SW_HIDE);
    socket_init();
    plat_mkdir((www / "quorvin").c_str());
    manifest(
        "# every variant\n"
        "v:\nu:" + base() + "all.zip\ne:all/readme.txt\n\n"
        "v:t\nu:" + base() + "tavelin.zip\nd:games/tav\ne:games/tav/tav.txt\n\n"
        "v:m\nu:" + base() + "mirrel.zip\ne:mirrel.txt\n\n"
        "v:p\nu:" + base() + "pelquin.zip\ne:pelquin.txt\n");
    ZipBuilder(www / "quorvin/all.zip").add("all/", "").add("all/readme.txt", "shared\n", dos_all).close();
    ZipBuilder(www / "quorvin/tavelin.zip").add("tav.txt", "tavelin\n").close();
    ZipBuilder(www / "quorvin/mirrel.zip").add("mirrel.txt", "mirrel\n", 0, 0).close();
    ZipBuilder(www / "quorvin/pelquin.zip").add("pelquin.txt", "pelquin\n").close();
    url = "ftp://127.0.0.1:" + std::to_string(server.port()) + "/quorvin/filelist.txt";
    run_filelist_url = url.c_str();
    download_directory = dup(dl.path());
    install_directory = dup(inst.path() + "/target");
    variant_flags[0] = variant_flags[1] = 1;
  }
  void TearDown() override {
    entry_list.clear();
    wizard_reset_state();
    socket_done();
  }

  std::string base() { return "http://127.0.0.1:" + std::to_string(server.port()) + "/quorvin/"; }
  void manifest(const std::string& text) { write_file(www / "quorvin/filelist.txt", text); }
  int manifest_requests() {
    int n = 0;
    for (const std::string& l : split_lines(read_file(requests)))
      n += l.rfind("GET /quorvin/filelist.txt", 0) == 0;
    return n;
  }
  static std::string summary(const std::vector<std::string>& down, const std::vector<std::string>& in) {
    std::string s = kSummaryHead;
    for (const std::string& n : down) s += "    " + n + "\r\n";
    s += kSummaryMid;
    for (const std::string& n : in) s += "    " + n + "\r\n";
    return s;
  }
  bool exists(const std::string& p) { return access(p.c_str(), F_OK) == 0; }

  const uint32_t dos_all = dos_date_time(2021, 6, 5, 14, 30, 10);
  TempDir www, dl, inst, logs;
  std::string requests = logs / "requests.log";
  QvServer server{www.path(), requests};
  std::string url;
  LogCapture log;
};

TEST_F(RunTest, SummaryListsTheSelectedArchivesThroughTheCaret) {
  flow_start_run();
  EXPECT_EQ(headless_text(0), "Info");
  EXPECT_TRUE(headless_visible(IDC_SUMMARY));
  EXPECT_FALSE(headless_visible(IDC_STATUS));
  EXPECT_TRUE(headless_enabled(IDC_BACK));
  EXPECT_TRUE(headless_enabled(IDC_NEXT));
  EXPECT_EQ(current_page_handler, summary_command);
  EXPECT_EQ(headless_text(IDC_SUMMARY), summary({"all.zip", "tavelin.zip", "mirrel.zip"},
                                                {"all.zip", "tavelin.zip", "mirrel.zip"}));
  std::vector<std::string> lines = lines_from(log.lines(), "socket_init");
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[1], "download directory is \"" + dl.path() + "\"");
  EXPECT_EQ(lines[2], "install directory is \"" + inst.path() + "/target\"");
  EXPECT_TRUE(has_line(lines, "skipping pelquin.zip (wrong variant)"));
  EXPECT_TRUE(headless_boxes().empty());
}

TEST_F(RunTest, NextDownloadsAndInstallsThenQuits) {
  flow_start_run();
  ASSERT_TRUE(headless_click(IDC_NEXT));
  ASSERT_EQ(headless_boxes().size(), 1u);
  EXPECT_EQ(headless_boxes()[0].caption, "Finished!");
  EXPECT_EQ(headless_boxes()[0].text, "Installation complete");
  EXPECT_EQ(headless_boxes()[0].kind, UI_BOX_INFO);
  EXPECT_EQ(headless_quit_requests(), 1);
  EXPECT_FALSE(headless_enabled(IDC_BACK));
  EXPECT_FALSE(headless_enabled(IDC_NEXT));
  // Archives in the download directory, members in the install directory and
  // the entry's subdirectory, with the archive's time.
  for (const char* a : {"all.zip", "tavelin.zip", "mirrel.zip", "filelist.txt"}) EXPECT_TRUE(exists(dl / a)) << a;
  EXPECT_FALSE(exists(dl / "pelquin.zip"));
  std::string target = inst / "target";
  EXPECT_EQ(read_file(target + "/all/readme.txt"), "shared\n");
  EXPECT_EQ(read_file(target + "/games/tav/tav.txt"), "tavelin\n");
  EXPECT_EQ(read_file(target + "/mirrel.txt"), "mirrel\n");
  EXPECT_FALSE(exists(target + "/pelquin.txt"));
  struct stat st;
  ASSERT_EQ(stat((target + "/all/readme.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, dos_to_local(dos_all));
  std::vector<std::string> lines = log.lines();
  EXPECT_TRUE(has_line(lines, "install \"" + dl.path() + "/tavelin.zip\""));
  EXPECT_TRUE(has_line(lines, "mkdir " + target));
  EXPECT_TRUE(has_line(lines, "signature_check: no publisher key is built in: the list of files is not verified"));
  for (const char* a : {"all.zip", "tavelin.zip", "mirrel.zip"})  // every extraction finished
    EXPECT_FALSE(exists(dl / (std::string(a) + ".installing"))) << a;
}

// A log that cannot be created is silent: the run installs all the same.
TEST_F(RunTest, UncreatableLogIsSilentAndTheRunStillInstalls) {
  log_close();
  log_open_at("/nonexistent-dir/for/sure/install.log");
  flow_start_run();
  ASSERT_TRUE(headless_click(IDC_NEXT));
  ASSERT_EQ(headless_boxes().size(), 1u);
  EXPECT_EQ(headless_boxes()[0].caption, "Finished!");
  EXPECT_EQ(read_file(inst / "target/all/readme.txt"), "shared\n");
  EXPECT_EQ(read_file(inst / "target/games/tav/tav.txt"), "tavelin\n");
  EXPECT_EQ(read_file(inst / "target/mirrel.txt"), "mirrel\n");
}

TEST_F(RunTest, EverythingInstalledEndsWithDownloadComplete) {
  flow_start_run();
  ASSERT_TRUE(headless_click(IDC_NEXT));
  headless_reset();
  dialog_handle = ui_create_dialog(wizard_dialog_proc);
  entry_list.clear();
  remove((dl / "all.zip").c_str());  // even a missing archive is not fetched again
  flow_start_run();
  EXPECT_EQ(headless_text(IDC_SUMMARY), summary({}, {}));
  ASSERT_TRUE(headless_click(IDC_NEXT));
  ASSERT_EQ(headless_boxes().size(), 1u);
  EXPECT_EQ(headless_boxes()[0].caption, "Download complete");
  EXPECT_EQ(headless_boxes()[0].text, "If you want to install later, make sure you keep filelist.txt");
  EXPECT_FALSE(exists(dl / "all.zip"));
  EXPECT_EQ(headless_quit_requests(), 1);
}

TEST_F(RunTest, DownloadOnlyFetchesArchivesAndNeverTouchesTheInstallDirectory) {
  install_mode = DownloadOnly;
  flow_start_run();
  EXPECT_EQ(headless_text(IDC_SUMMARY), summary({"all.zip", "tavelin.zip", "mirrel.zip"}, {}));
  ASSERT_TRUE(headless_click(IDC_NEXT));
  ASSERT_EQ(headless_boxes().size(), 1u);
  EXPECT_EQ(headless_boxes()[0].caption, "Download complete");
  EXPECT_TRUE(exists(dl / "mirrel.zip"));
  EXPECT_FALSE(exists(inst / "target"));
}

TEST_F(RunTest, InstallFromDirectoryUsesWhatIsThereWithoutTheNetwork) {
  install_mode = DownloadOnly;
  flow_start_run();
  ASSERT_TRUE(headless_click(IDC_NEXT));
  int before = manifest_requests();
  std::string served = read_file(requests);
  headless_reset();
  dialog_handle = ui_create_dialog(wizard_dialog_proc);
  entry_list.clear();
  install_mode = InstallFromDirectory;
  flow_start_run();
  EXPECT_EQ(headless_text(IDC_SUMMARY), summary({}, {"all.zip", "tavelin.zip", "mirrel.zip"}));
  ASSERT_TRUE(headless_click(IDC_NEXT));
  ASSERT_EQ(headless_boxes().size(), 1u);
  EXPECT_EQ(headless_boxes()[0].caption, "Finished!");
  EXPECT_EQ(read_file(inst / "target/mirrel.txt"), "mirrel\n");
  EXPECT_EQ(manifest_requests(), before);
  EXPECT_EQ(read_file(requests), served);  // the server saw no request at all
}

TEST_F(RunTest, BackDiscardsTheListAndReturnsToTheRightStep) {
  for (int round = 0; round < 5; ++round) {
    flow_start_run();
    int n = 0;
    for (FileListEntry* e = entry_list.head; e; e = e->next) ++n;
    EXPECT_EQ(n, 4);  // one list, from the latest manifest
    ASSERT_TRUE(headless_click(IDC_BACK));
    EXPECT_EQ(entry_list.head, nullptr);
    EXPECT_EQ(headless_text(0), "Install to...");
    EXPECT_EQ(headless_text(IDC_DIR_EDIT), inst.path() + "/target");
    EXPECT_FALSE(headless_visible(IDC_SUMMARY));
  }
  EXPECT_EQ(manifest_requests(), 5);  // fetched anew every time
  install_mode = DownloadOnly;
  flow_start_run();
  ASSERT_TRUE(headless_click(IDC_BACK));
  EXPECT_EQ(headless_text(0), "Download to...");
  EXPECT_EQ(headless_quit_requests(), 0);
}

TEST_F(RunTest, CancelOnTheSummaryDownloadsNothing) {
  flow_start_run();
  ASSERT_TRUE(headless_click(IDC_CANCEL));
  EXPECT_EQ(headless_quit_requests(), 1);
  EXPECT_TRUE(headless_visible(IDC_SUMMARY));
  EXPECT_FALSE(exists(dl / "all.zip"));
}

// ---- updates: a first run installs core.zip, the repository then gets another
// core.zip, and a second run brings it (or, without h:, does not) ----------------

using Members = std::vector<std::pair<std::string, std::string>>;  // name (a folder ends in '/'), bytes

struct UpdateRow {
  const char* name;
  bool hashed;
  Members old_members, new_members;
  void (*before)(const std::string& target);  // what the user, or a killed run, did to the install directory
  bool killed;  // a run was killed while it extracted the new core.zip: its note and the old receipt are there
  std::vector<std::pair<std::string, const char*>> after;  // below the install directory: bytes, null for gone
  std::vector<std::string> lines;  // in install.log; {T} stands for the install directory
};

void PrintTo(const UpdateRow& r, std::ostream* os) { *os << r.name; }

void nothing(const std::string&) {}

class UpdateTable : public RunTest, public ::testing::WithParamInterface<UpdateRow> {
 protected:
  void serve(const Members& members, bool hashed) {
    std::string zip = www / "quorvin/core.zip", h;
    ZipBuilder archive(zip);
    for (const auto& m : members) archive.add(m.first, m.second);
    ASSERT_TRUE(archive.close());
    ASSERT_EQ(0, sha256_file(zip, &h));
    manifest("v:\nu:" + base() + "core.zip\n" + (hashed ? "h:" + h + "\n" : "") + "d:app\ne:app/marker.txt\n");
    sha = h;
  }
  void start_again() {
    headless_reset();
    dialog_handle = ui_create_dialog(wizard_dialog_proc);
    entry_list.clear();
    flow_start_run();
  }
  std::string sha;
};

TEST_P(UpdateTable, Row) {
  const UpdateRow& r = GetParam();
  const std::string target = inst / "target";
  serve(r.old_members, r.hashed);
  flow_start_run();
  ASSERT_TRUE(headless_click(IDC_NEXT));
  ASSERT_EQ(read_file(target + "/app/marker.txt"), "1");
  serve(r.new_members, r.hashed);
  if (r.killed) {
    write_file(dl / "core.zip", read_file(www / "quorvin/core.zip"));
    write_file(dl / "core.zip.installing", "");
  }
  r.before(target);
  log.lines();  // only the second run's lines below

  start_again();
  std::vector<std::string> down, in;
  if (r.hashed && !r.killed) down.push_back("core.zip");
  if (r.hashed) in.push_back("core.zip (update)");
  EXPECT_EQ(headless_text(IDC_SUMMARY), summary(down, in));
  ASSERT_TRUE(headless_click(IDC_NEXT));
  ASSERT_FALSE(headless_boxes().empty());
  EXPECT_EQ(headless_boxes().back().caption, r.hashed ? "Finished!" : "Download complete");
  for (const auto& [path, bytes] : r.after) {
    if (bytes) {
      EXPECT_EQ(read_file(target + "/" + path), bytes) << path;
    } else {
      EXPECT_FALSE(exists(target + "/" + path)) << path;
    }
  }
  std::vector<std::string> lines = log.lines();
  for (std::string want : r.lines) {
    for (size_t at; (at = want.find("{T}")) != std::string::npos;) want.replace(at, 3, target);
    EXPECT_TRUE(has_line(lines, want)) << want;
  }
  EXPECT_FALSE(exists(dl / "core.zip.installing"));
  std::string receipt = read_file(target + "/quorvin-receipt.txt");
  EXPECT_EQ(r.hashed, receipt.find("\nsha256 " + sha + "\n") != std::string::npos) << receipt;

  // What the receipt now records is what is there: nothing more to do.
  start_again();
  EXPECT_EQ(headless_text(IDC_SUMMARY), summary({}, {}));
}

INSTANTIATE_TEST_SUITE_P(
    Run, UpdateTable,
    ::testing::Values(
        UpdateRow{"ChangedFile", true, {{"marker.txt", "1"}, {"a.txt", "one"}}, {{"marker.txt", "2"}, {"a.txt", "two"}},
                  nothing, false, {{"app/a.txt", "two"}}, {}},
        UpdateRow{"AddedFile", true, {{"marker.txt", "1"}}, {{"marker.txt", "2"}, {"sub/b.txt", "bee"}}, nothing,
                  false, {{"app/sub/b.txt", "bee"}, {"app/marker.txt", "2"}}, {}},
        UpdateRow{"RemovedFile", true, {{"marker.txt", "1"}, {"a.txt", "one"}, {"gone.txt", "old"}},
                  {{"marker.txt", "2"}, {"a.txt", "one"}}, nothing, false, {{"app/gone.txt", nullptr}},
                  {"update: removed {T}/app/gone.txt (core.zip no longer has it)"}},
        UpdateRow{"FilesTheUserChanged", true, {{"marker.txt", "1"}, {"a.txt", "one"}, {"gone.txt", "old"}},
                  {{"marker.txt", "2"}, {"a.txt", "two"}},
                  [](const std::string& t) {
                    write_file(t + "/app/a.txt", "mine");
                    write_file(t + "/app/gone.txt", "mine too");
                  },
                  false, {{"app/a.txt", "two"}, {"app/gone.txt", "mine too"}},
                  {"update: replaced {T}/app/a.txt, which was changed since it was installed",
                   "update: kept {T}/app/gone.txt: core.zip no longer has it, but it was changed since it was "
                   "installed"}},
        UpdateRow{"UsersOwnFiles", true, {{"marker.txt", "1"}, {"docs/guide.txt", "g"}}, {{"marker.txt", "2"}},
                  [](const std::string& t) {
                    write_file(t + "/app/docs/mine.txt", "mine");
                    write_file(t + "/notes.txt", "n");
                  },
                  false, {{"app/docs/guide.txt", nullptr}, {"app/docs/mine.txt", "mine"}, {"notes.txt", "n"}},
                  {"update: removed {T}/app/docs/guide.txt (core.zip no longer has it)"}},
        UpdateRow{"FoldersEmptied", true,
                  {{"marker.txt", "1"}, {"docs/", ""}, {"docs/x/guide.txt", "g"}, {"docs/empty/", ""}},
                  {{"marker.txt", "2"}}, nothing, false, {{"app/docs", nullptr}},
                  {"update: removed the empty folder {T}/app/docs/x",
                   "update: removed the empty folder {T}/app/docs/empty",
                   "update: removed the empty folder {T}/app/docs"}},
        UpdateRow{"ArchiveWithoutHash", false, {{"marker.txt", "1"}, {"a.txt", "one"}},
                  {{"marker.txt", "2"}, {"a.txt", "two"}, {"new.txt", "n"}}, nothing, false,
                  {{"app/a.txt", "one"}, {"app/new.txt", nullptr}}, {"skipping core.zip (already installed)"}},
        UpdateRow{"KilledDuringTheUpdate", true, {{"marker.txt", "1"}, {"a.txt", "one"}, {"gone.txt", "old"}},
                  {{"marker.txt", "2"}, {"a.txt", "two"}},
                  [](const std::string& t) { write_file(t + "/app/a.txt", "two"); }, true,
                  {{"app/a.txt", "two"}, {"app/gone.txt", nullptr}, {"app/marker.txt", "2"}},
                  {"plan_build: the extraction of core.zip did not finish, extracting it again",
                   "update: removed {T}/app/gone.txt (core.zip no longer has it)"}},
        // A receipt that names a path out of the install directory is no receipt: nothing is removed.
        UpdateRow{"DamagedReceipt", true, {{"marker.txt", "1"}, {"gone.txt", "old"}}, {{"marker.txt", "2"}},
                  [](const std::string& t) {
                    write_file(t + "/quorvin-receipt.txt", "quorvin-receipt 1\narchive core.zip\nfile 3 "
                                                           "00000000 app/../../outside.txt\nend\n");
                  },
                  false, {{"app/gone.txt", "old"}, {"app/marker.txt", "2"}},
                  {"receipt: {T}/quorvin-receipt.txt is damaged (line 3: a misplaced file or a bad size, CRC-32 "
                   "or path); taken as no record of what is installed"}}),
    [](const ::testing::TestParamInfo<UpdateRow>& info) { return std::string(info.param.name); });

using RunDeathTest = RunTest;

TEST_F(RunDeathTest, MissingManifestInInstallFromDirectoryShowsTwoBoxes) {
  install_mode = InstallFromDirectory;
  headless_on_box(box_to_stderr);
  EXPECT_EXIT(flow_start_run(), ::testing::ExitedWithCode(1),
              "BOX Error\\|The list of files to install can't be found\\.\n"
              "BOX Error\\|See install.log for details");
}

TEST_F(RunDeathTest, ManifestThatDoesNotParseFailsTheRun) {
  manifest("v:t\nu:x/a.zip\nq:what\n");
  headless_on_box(box_to_stderr);
  EXPECT_EXIT(flow_start_run(), ::testing::ExitedWithCode(1), "^BOX Error\\|See install.log for details\n$");
}

TEST_F(RunDeathTest, MissingArchiveFailsWithNothingLeftBehind) {
  remove((www / "quorvin/mirrel.zip").c_str());
  flow_start_run();
  EXPECT_EXIT(download_all(), ::testing::ExitedWithCode(1), "");
  EXPECT_TRUE(exists(dl / "tavelin.zip"));  // fetched before the failure: kept
  EXPECT_FALSE(exists(dl / "mirrel.zip"));
  EXPECT_FALSE(exists(inst / "target"));  // nothing extracted
}

TEST_F(RunDeathTest, ArchiveThatEscapesItsDestinationFailsTheRun) {
  ZipBuilder(www / "quorvin/mirrel.zip").add("../../escaped.txt", "bad\n").close();
  flow_start_run();
  EXPECT_EXIT(download_all(), ::testing::ExitedWithCode(1), "");
  EXPECT_FALSE(exists(inst / "escaped.txt"));
  EXPECT_FALSE(exists(inst.path() + "/../escaped.txt"));
  // The next run must not take the failed archive for installed.
  EXPECT_TRUE(exists(dl / "mirrel.zip.installing"));
  EXPECT_FALSE(exists(inst / "target/mirrel.zip.installing"));
}

TEST_F(RunDeathTest, CancelDuringADownloadFailsTheRunAndRemovesThePart) {
  // The second archive stalls after its first part: the quit request arrives
  // once its body is on the way, and nothing but the quit can end it.
  manifest("v:\nu:" + base() + "all.zip\ne:all/readme.txt\n\nv:\nu:" + base() +
           "slow.zip?size=200000&stall=8192&as=/slow.zip\ne:x\n");
  flow_start_run();
  EXPECT_EXIT(
      {
        progress_tick = quit_during_slow_zip;
        download_all();
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_TRUE(exists(dl / "all.zip"));
  std::string slow = dl / "slow.zip";
  EXPECT_FALSE(exists(slow));
  EXPECT_FALSE(exists(slow + ".part"));
}

}  // namespace
