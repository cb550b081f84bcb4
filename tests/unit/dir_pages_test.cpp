// The two directory steps: their validation on Next, the DownloadOnly skip,
// the folder picker and the hand-over to the run.
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "support/log.h"
#include "support/paths.h"
#include "testkit/testkit.h"
#include "wizard_fixture.h"

namespace {
void expect_box(size_t index, const char* text, const char* caption, UiBoxKind kind) {
  ASSERT_GT(headless_boxes().size(), index);
  const HeadlessBox& box = headless_boxes()[index];
  EXPECT_EQ(box.text, text);
  EXPECT_EQ(box.caption, caption);
  EXPECT_EQ(box.kind, kind);
}

const char* const kMissing = "The directory does not exist. Do you want it to be created?";
}  // namespace

TEST_F(WizardTest, DirectoryStepsShowTheirCaptionLabelAndStoredValue) {
  ASSERT_NO_FATAL_FAILURE(to_download_step());
  EXPECT_TRUE(only_page_visible(PageDirectory));
  EXPECT_EQ(headless_text(IDC_DIR_LABEL), "Select download &directory");
  EXPECT_EQ(headless_text(IDC_DIR_EDIT), "");
  EXPECT_TRUE(headless_enabled(IDC_BACK));
  EXPECT_TRUE(headless_enabled(IDC_NEXT));

  TempDir t;
  headless_type(IDC_DIR_EDIT, t.path());
  click(IDC_NEXT);
  EXPECT_TRUE(only_page_visible(PageDirectory));
  EXPECT_EQ(headless_text(0), "Install to...");
  EXPECT_EQ(headless_text(IDC_DIR_LABEL), "Select install &directory");
  EXPECT_EQ(headless_text(IDC_DIR_EDIT), "");  // no default, not the download directory
  EXPECT_TRUE(headless_enabled(IDC_BACK));

  // Text left with Back stays stored and comes back with the step.
  headless_type(IDC_DIR_EDIT, "typed then left");
  click(IDC_BACK);
  EXPECT_STREQ(install_directory, "typed then left");
  EXPECT_EQ(headless_text(0), "Download to...");
  EXPECT_EQ(headless_text(IDC_DIR_LABEL), "Select download &directory");
  EXPECT_EQ(headless_text(IDC_DIR_EDIT), t.path());
  click(IDC_BACK);
  EXPECT_TRUE(only_page_visible(PageVariant));
  EXPECT_STREQ(download_directory, t.path().c_str());
  click(IDC_NEXT);
  click(IDC_NEXT);
  EXPECT_EQ(headless_text(IDC_DIR_EDIT), "typed then left");
  EXPECT_TRUE(headless_boxes().empty());
}

TEST_F(WizardTest, EmptyFieldIsRefusedOnBothSteps) {
  TempDir t;
  ASSERT_NO_FATAL_FAILURE(to_download_step());
  download_directory = static_cast<char*>(std::malloc(4));
  std::strcpy(download_directory, "old");  // an earlier value must go with the empty field
  click(IDC_NEXT);
  expect_box(0, "No directory chosen", "Error", UI_BOX_ERROR);
  EXPECT_EQ(download_directory, nullptr);
  EXPECT_EQ(headless_text(0), "Download to...");
  EXPECT_TRUE(only_page_visible(PageDirectory));
  EXPECT_EQ(current_page_handler, download_dir_page_command);

  headless_type(IDC_DIR_EDIT, t.path());
  click(IDC_NEXT);
  click(IDC_NEXT);
  expect_box(1, "No directory chosen", "Error", UI_BOX_ERROR);
  EXPECT_EQ(headless_boxes().size(), 2u);
  EXPECT_EQ(headless_text(0), "Install to...");
  EXPECT_EQ(current_page_handler, install_dir_page_command);
  EXPECT_TRUE(only_page_visible(PageDirectory));
}

TEST_F(WizardTest, SpaceIsRefusedForTheInstallDirectoryOnly) {
  TempDir t;
  std::string spaced = t / "with space";
  ASSERT_EQ(plat_mkdir(spaced.c_str()), 0);
  LogCapture log;
  ASSERT_NO_FATAL_FAILURE(to_install_step(spaced));
  EXPECT_TRUE(headless_boxes().empty());
  EXPECT_STREQ(download_directory, spaced.c_str());

  headless_type(IDC_DIR_EDIT, spaced);
  click(IDC_NEXT);
  ASSERT_EQ(headless_boxes().size(), 1u);  // refused before the existence question
  expect_box(0, "Please choose a directory without spaces", "Error", UI_BOX_ERROR);
  EXPECT_EQ(headless_text(0), "Install to...");
  EXPECT_TRUE(only_page_visible(PageDirectory));
  EXPECT_TRUE(log.lines().empty());  // the run did not start

  // Other white space is not tested for.
  std::string tabbed = t / "tab\there";
  ASSERT_EQ(plat_mkdir(tabbed.c_str()), 0);
  headless_type(IDC_DIR_EDIT, tabbed);
  click(IDC_NEXT);
  EXPECT_EQ(headless_boxes().size(), 1u);
  EXPECT_TRUE(only_page_visible(PageSummary));
}

TEST_F(WizardTest, MissingDirectoryNoStaysYesGoesOnAndCreatesNothing) {
  TempDir t;
  LogCapture log;
  std::string missing = t / "not/there";
  ASSERT_NO_FATAL_FAILURE(to_download_step());
  headless_type(IDC_DIR_EDIT, missing);
  click(IDC_NEXT);  // unscripted question: No
  expect_box(0, kMissing, "No such directory", UI_BOX_QUESTION);
  EXPECT_EQ(headless_text(0), "Download to...");
  EXPECT_EQ(current_page_handler, download_dir_page_command);

  headless_answer_box(UI_ANSWER_YES);
  click(IDC_NEXT);
  expect_box(1, kMissing, "No such directory", UI_BOX_QUESTION);
  EXPECT_EQ(headless_text(0), "Install to...");
  EXPECT_FALSE(plat_exists(missing.c_str()));

  std::string missing_install = t / "install";
  headless_type(IDC_DIR_EDIT, missing_install);
  headless_answer_box(UI_ANSWER_NO);
  click(IDC_NEXT);
  expect_box(2, kMissing, "No such directory", UI_BOX_QUESTION);
  EXPECT_EQ(headless_text(0), "Install to...");
  EXPECT_TRUE(only_page_visible(PageDirectory));
  headless_answer_box(UI_ANSWER_YES);
  click(IDC_NEXT);
  EXPECT_EQ(headless_boxes().size(), 4u);
  EXPECT_TRUE(only_page_visible(PageSummary));
  // Yes created nothing; the run itself makes the download directory only.
  EXPECT_FALSE(plat_exists(missing_install.c_str()));
  EXPECT_TRUE(plat_exists(missing.c_str()));
}

TEST_F(WizardTest, PlainFileOfThatNamePasses) {
  TempDir t;
  LogCapture log;
  write_file(t / "file", "x");
  ASSERT_NO_FATAL_FAILURE(to_install_step(t.path()));
  headless_type(IDC_DIR_EDIT, t / "file");
  click(IDC_NEXT);
  EXPECT_TRUE(headless_boxes().empty());
  EXPECT_TRUE(only_page_visible(PageSummary));
}

// Separators become the native one ('\\' on Windows) when Next accepts, and
// before the existence test, so a directory typed with the other one is found.
TEST_F(WizardTest, SeparatorsAreRewrittenInTheStoredValueOnNext) {
  TempDir t;
  ASSERT_EQ(plat_mkdir((t / "sub").c_str()), 0);
  std::string other = t.path() + (PATH_SEP == '/' ? "\\sub" : "/sub");
  std::string native = t.path() + PATH_SEP + "sub";
  ASSERT_NO_FATAL_FAILURE(to_download_step());
  headless_type(IDC_DIR_EDIT, other);
  click(IDC_NEXT);
  EXPECT_TRUE(headless_boxes().empty());
  EXPECT_STREQ(download_directory, native.c_str());
  click(IDC_BACK);
  EXPECT_EQ(headless_text(IDC_DIR_EDIT), native);

  // A refused Next rewrites the stored value too; the field keeps the typing
  // until the step is shown again.
  std::string missing = other + "x";
  headless_type(IDC_DIR_EDIT, missing);
  click(IDC_NEXT);
  EXPECT_STREQ(download_directory, (native + "x").c_str());
  EXPECT_EQ(headless_text(IDC_DIR_EDIT), missing);
  // Back stores the field as it is: no rewriting there.
  click(IDC_BACK);
  EXPECT_STREQ(download_directory, missing.c_str());
}

TEST_F(WizardTest, InstallStepHandsOverToTheRun) {
  TempDir t;
  LogCapture log;
  ASSERT_NO_FATAL_FAILURE(to_install_step(t.path()));
  headless_type(IDC_DIR_EDIT, t.path());
  click(IDC_NEXT);
  // The run has read the (empty) manifest and shows its summary.
  EXPECT_TRUE(only_page_visible(PageSummary));
  EXPECT_EQ(headless_text(0), "Info");
  EXPECT_EQ(current_page_handler, summary_command);
  std::vector<std::string> lines = log.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "download directory is \"" + t.path() + "\"");
  EXPECT_EQ(lines[1], "install directory is \"" + t.path() + "\"");
}

TEST_F(WizardTest, DownloadOnlySkipsTheInstallStepAndKeepsItsValue) {
  TempDir t;
  LogCapture log;
  ASSERT_NO_FATAL_FAILURE(to_install_step(t.path()));
  headless_type(IDC_DIR_EDIT, "Q:/no such/place");
  click(IDC_BACK);
  click(IDC_BACK);
  click(IDC_BACK);
  click(IDC_MODE_DOWNLOAD_ONLY);
  click(IDC_NEXT);
  click(IDC_NEXT);
  EXPECT_EQ(headless_text(IDC_DIR_EDIT), t.path());
  click(IDC_NEXT);
  // Straight to the run: the install directory is neither shown nor checked.
  EXPECT_TRUE(headless_boxes().empty());
  EXPECT_TRUE(only_page_visible(PageSummary));
  EXPECT_EQ(current_page_handler, summary_command);
  EXPECT_STREQ(install_directory, "Q:/no such/place");
  std::vector<std::string> lines = log.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "download directory is \"" + t.path() + "\"");
  EXPECT_EQ(lines[1], "install directory is \"Q:/no such/place\"");
}

TEST_F(WizardTest, DownloadOnlyWithNoInstallDirectoryLogsOneLine) {
  TempDir t;
  LogCapture log;
  click(IDC_MODE_DOWNLOAD_ONLY);
  ASSERT_NO_FATAL_FAILURE(click(IDC_NEXT));
  click(IDC_NEXT);
  headless_type(IDC_DIR_EDIT, t.path());
  click(IDC_NEXT);
  std::vector<std::string> lines = log.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "download directory is \"" + t.path() + "\"");
  EXPECT_EQ(lines[1].rfind("install directory is", 0), std::string::npos);
  EXPECT_EQ(install_directory, nullptr);
}

TEST_F(WizardTest, BrowseOpensOnTheFieldAndWritesOnlyTheField) {
  ASSERT_NO_FATAL_FAILURE(to_download_step());
  click(IDC_BROWSE);  // unscripted: cancelled
  ASSERT_EQ(headless_picks().size(), 1u);
  EXPECT_EQ(headless_picks()[0].title, "Select install directory");
  EXPECT_EQ(headless_picks()[0].initial, "");  // no preselection
  EXPECT_EQ(headless_text(IDC_DIR_EDIT), "");

  headless_type(IDC_DIR_EDIT, "/typed");
  headless_answer_pick(false);
  click(IDC_BROWSE);
  EXPECT_EQ(headless_picks()[1].initial, "/typed");
  EXPECT_EQ(headless_text(IDC_DIR_EDIT), "/typed");  // cancel leaves the field
  EXPECT_STREQ(download_directory, "/typed");        // Browse stored the field first

  headless_answer_pick(true, "/chosen/folder");
  click(IDC_BROWSE);
  EXPECT_EQ(headless_text(IDC_DIR_EDIT), "/chosen/folder");
  EXPECT_STREQ(download_directory, "/typed");  // the variable takes it later
  EXPECT_TRUE(headless_boxes().empty());
  EXPECT_EQ(headless_text(0), "Download to...");

  click(IDC_BROWSE);
  EXPECT_EQ(headless_picks()[3].initial, "/chosen/folder");
  EXPECT_STREQ(download_directory, "/chosen/folder");
}

TEST_F(WizardTest, BrowseOnTheInstallStepHasTheSameTitleAndEditsItsOwnVariable) {
  TempDir t;
  ASSERT_NO_FATAL_FAILURE(to_install_step(t.path()));
  headless_answer_pick(true, "/picked");
  click(IDC_BROWSE);
  ASSERT_EQ(headless_picks().size(), 1u);
  EXPECT_EQ(headless_picks()[0].title, "Select install directory");
  EXPECT_EQ(headless_picks()[0].initial, "");
  EXPECT_EQ(headless_text(IDC_DIR_EDIT), "/picked");
  click(IDC_BACK);
  EXPECT_STREQ(install_directory, "/picked");
  EXPECT_STREQ(download_directory, t.path().c_str());
}
