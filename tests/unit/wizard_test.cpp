// Options and variant pages, and what every page shares: one page at a time,
// Cancel and the close box, clicks that must change nothing.
#include "support/log.h"
#include "testkit/testkit.h"
#include "wizard_fixture.h"

TEST_F(WizardTest, FirstStartShowsTheOptionsPageWithDefaults) {
  EXPECT_TRUE(only_page_visible(PageOptions));
  EXPECT_EQ(headless_text(0), "Options");
  EXPECT_TRUE(headless_checked(IDC_MODE_DOWNLOAD_AND_INSTALL));
  EXPECT_FALSE(headless_checked(IDC_MODE_DOWNLOAD_ONLY));
  EXPECT_FALSE(headless_checked(IDC_MODE_INSTALL_FROM_DIRECTORY));
  EXPECT_FALSE(headless_enabled(IDC_BACK));
  EXPECT_TRUE(headless_enabled(IDC_NEXT));
  EXPECT_TRUE(headless_enabled(IDC_CANCEL));
  EXPECT_FALSE(headless_click(IDC_BACK));

  click(IDC_NEXT);
  EXPECT_TRUE(only_page_visible(PageVariant));
  EXPECT_EQ(headless_text(0), "Choose variant");
  EXPECT_TRUE(headless_enabled(IDC_BACK));
  EXPECT_TRUE(headless_enabled(IDC_NEXT));
  for (int id : {IDC_VARIANT_0, IDC_VARIANT_1, IDC_VARIANT_2, IDC_VARIANT_3})
    EXPECT_FALSE(headless_checked(id)) << id;
}

TEST_F(WizardTest, ModeIsStoredOnNextAndShownAgainAfterBack) {
  click(IDC_MODE_INSTALL_FROM_DIRECTORY);
  EXPECT_EQ(install_mode, DownloadAndInstall);  // a click alone stores nothing
  click(IDC_NEXT);
  EXPECT_EQ(install_mode, InstallFromDirectory);
  click(IDC_BACK);
  EXPECT_TRUE(only_page_visible(PageOptions));
  EXPECT_EQ(headless_text(0), "Options");
  EXPECT_FALSE(headless_enabled(IDC_BACK));
  EXPECT_TRUE(headless_checked(IDC_MODE_INSTALL_FROM_DIRECTORY));
  EXPECT_FALSE(headless_checked(IDC_MODE_DOWNLOAD_AND_INSTALL));

  // Back on the variant page does not store the mode: a click then Back from
  // further on shows the mode of the last Next.
  click(IDC_MODE_DOWNLOAD_ONLY);
  click(IDC_NEXT);
  click(IDC_NEXT);
  click(IDC_BACK);
  click(IDC_BACK);
  EXPECT_EQ(install_mode, DownloadOnly);
  EXPECT_TRUE(headless_checked(IDC_MODE_DOWNLOAD_ONLY));
  EXPECT_FALSE(headless_checked(IDC_MODE_INSTALL_FROM_DIRECTORY));
}

TEST_F(WizardTest, FlagsAreStoredOnBackAndOnNext) {
  click(IDC_NEXT);
  click(IDC_VARIANT_0);
  click(IDC_VARIANT_2);
  EXPECT_EQ(variant_flags[0], 0);
  click(IDC_BACK);
  EXPECT_EQ(std::vector<int>(variant_flags, variant_flags + 4), (std::vector<int>{1, 0, 1, 0}));

  // The checkboxes are set from the variables, not left from last time.
  ui_set_item_checked(dialog_handle, IDC_VARIANT_0, 0);
  ui_set_item_checked(dialog_handle, IDC_VARIANT_3, 1);
  click(IDC_NEXT);
  EXPECT_TRUE(headless_checked(IDC_VARIANT_0));
  EXPECT_FALSE(headless_checked(IDC_VARIANT_1));
  EXPECT_TRUE(headless_checked(IDC_VARIANT_2));
  EXPECT_FALSE(headless_checked(IDC_VARIANT_3));

  click(IDC_VARIANT_0);
  click(IDC_VARIANT_3);
  click(IDC_NEXT);
  EXPECT_EQ(std::vector<int>(variant_flags, variant_flags + 4), (std::vector<int>{0, 0, 1, 1}));
  click(IDC_BACK);  // from the download step
  EXPECT_TRUE(only_page_visible(PageVariant));
  EXPECT_FALSE(headless_checked(IDC_VARIANT_0));
  EXPECT_TRUE(headless_checked(IDC_VARIANT_3));
}

TEST_F(WizardTest, NextWithNoVariantTickedGoesOnWithoutABox) {
  click(IDC_NEXT);
  click(IDC_NEXT);
  EXPECT_TRUE(only_page_visible(PageDirectory));
  EXPECT_EQ(headless_text(0), "Download to...");
  EXPECT_TRUE(headless_boxes().empty());
}

TEST_F(WizardTest, OptionAndCheckboxClicksChangeOnlyTheirOwnState) {
  UiSnapshot before = UiSnapshot::take();
  WizardVars vars = WizardVars::take();
  click(IDC_MODE_DOWNLOAD_ONLY);
  UiSnapshot after = UiSnapshot::take();
  EXPECT_EQ(after.title, before.title);
  EXPECT_EQ(after.quits, before.quits);
  for (size_t i = 0; i < after.items.size(); ++i) {
    int id = after.items[i].id;
    if (id >= IDC_MODE_DOWNLOAD_AND_INSTALL && id <= IDC_MODE_INSTALL_FROM_DIRECTORY) continue;
    EXPECT_TRUE(after.items[i] == before.items[i]) << id;
  }
  EXPECT_TRUE(WizardVars::take() == vars);

  click(IDC_NEXT);
  before = UiSnapshot::take();
  vars = WizardVars::take();
  click(IDC_VARIANT_1);
  after = UiSnapshot::take();
  for (size_t i = 0; i < after.items.size(); ++i) {
    if (after.items[i].id == IDC_VARIANT_1) continue;
    EXPECT_TRUE(after.items[i] == before.items[i]) << after.items[i].id;
  }
  EXPECT_TRUE(headless_checked(IDC_VARIANT_1));
  EXPECT_EQ(after.title, before.title);
  EXPECT_TRUE(WizardVars::take() == vars);
  EXPECT_TRUE(headless_boxes().empty());
}

TEST(WizardFrame, CommandBeforeAnyPageIsShownIsIgnored) {
  wizard_reset_state();
  headless_reset();
  set_page_handler(nullptr);
  dialog_handle = ui_create_dialog(wizard_dialog_proc);
  for (int page = 0; page < 5; ++page) show_page(page, UI_SW_HIDE);
  UiSnapshot before = UiSnapshot::take();
  EXPECT_TRUE(headless_click(IDC_NEXT));
  EXPECT_TRUE(headless_click(IDC_CANCEL));
  UiSnapshot after = UiSnapshot::take();
  EXPECT_TRUE(after.items == before.items);
  EXPECT_EQ(after.title, "Quorvin");
  EXPECT_EQ(after.quits, 0);
  EXPECT_TRUE(only_page_visible(-1));
  EXPECT_EQ(current_page_handler, nullptr);
}

// Walks to each step in turn; Cancel there posts one quit request and leaves
// the window and the choices as they were.
TEST_F(WizardTest, CancelOnEveryPagePostsOneQuitRequestAndNothingElse) {
  TempDir t;
  LogCapture log;
  auto cancel_changes_nothing = [](const char* step) {
    UiSnapshot before = UiSnapshot::take();
    WizardVars vars = WizardVars::take();
    page_handler handler = current_page_handler;
    size_t boxes = headless_boxes().size();
    ASSERT_TRUE(headless_click(IDC_CANCEL)) << step;
    UiSnapshot after = UiSnapshot::take();
    EXPECT_EQ(after.quits, before.quits + 1) << step;
    EXPECT_TRUE(after.items == before.items) << step;
    EXPECT_EQ(after.title, before.title) << step;
    EXPECT_TRUE(WizardVars::take() == vars) << step;
    EXPECT_EQ(current_page_handler, handler) << step;
    EXPECT_EQ(headless_boxes().size(), boxes) << step;
  };
  cancel_changes_nothing("options");
  click(IDC_MODE_INSTALL_FROM_DIRECTORY);
  click(IDC_NEXT);
  click(IDC_VARIANT_1);
  cancel_changes_nothing("variant");
  click(IDC_NEXT);
  headless_type(IDC_DIR_EDIT, t.path());
  cancel_changes_nothing("download directory");
  click(IDC_NEXT);
  headless_type(IDC_DIR_EDIT, t.path());
  cancel_changes_nothing("install directory");
  write_file(t / "filelist.txt", "");
  click(IDC_NEXT);
  ASSERT_TRUE(only_page_visible(PageSummary));
  cancel_changes_nothing("summary");
  EXPECT_EQ(headless_quit_requests(), 5);
}

TEST_F(WizardTest, CloseBoxPostsAQuitRequest) {
  UiSnapshot before = UiSnapshot::take();
  headless_close_box();
  EXPECT_EQ(headless_quit_requests(), 1);
  EXPECT_TRUE(UiSnapshot::take().items == before.items);
  click(IDC_NEXT);
  headless_close_box();
  EXPECT_EQ(headless_quit_requests(), 2);
  EXPECT_TRUE(only_page_visible(PageVariant));
}
