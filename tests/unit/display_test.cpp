#include <gtest/gtest.h>

#include <cstdlib>

#include "display/display.h"
#include "platform/headless/headless.h"
#include "resources/dialog_ids.h"

namespace {

class Display : public ::testing::Test {
 protected:
  void SetUp() override {
    headless_reset();
    current_page_handler = nullptr;
    dialog_handle = ui_create_dialog(wizard_dialog_proc);
  }
};

int last_id = 0, calls = 0;
int recording_handler(ui_window, int id, intptr_t, int) {
  last_id = id;
  ++calls;
  return 0;
}

const int kPages[5][4] = {
    {1051, 1052, 1053, 0}, {1101, 1102, 1103, 1104}, {1201, 1202, 1203, 0}, {1302, 1301, 1303, 0}, {1401, 0, 0, 0}};

}  // namespace

TEST_F(Display, ShowPageTouchesOnlyThatPagesControls) {
  for (int page = 0; page < 5; ++page) {
    SetUp();
    show_page(page, UI_SW_HIDE);
    for (int id : headless_control_ids()) {
      bool in_page = false;
      for (int k : kPages[page]) in_page |= (k == id && k != 0);
      EXPECT_EQ(headless_visible(id), !in_page) << "page " << page << " id " << id;
    }
    show_page(page, UI_SW_SHOWNORMAL);
    for (int id : headless_control_ids()) EXPECT_TRUE(headless_visible(id));
  }
  show_page(7, UI_SW_HIDE);  // no such page: nothing happens
  for (int id : headless_control_ids()) EXPECT_TRUE(headless_visible(id));
}

TEST_F(Display, CommandsReachTheInstalledHandlerOnly) {
  calls = 0;
  wizard_dialog_proc(dialog_handle, UI_WM_COMMAND, 1002, 0);
  EXPECT_EQ(calls, 0);  // no handler yet: ignored
  set_page_handler(recording_handler);
  // The notification code sits in the high 16 bits and is not part of the id.
  EXPECT_EQ(wizard_dialog_proc(dialog_handle, UI_WM_COMMAND, (0x0300u << 16) | 1001u, 0), 0);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(last_id, 1001);
  EXPECT_EQ(headless_quit_requests(), 0);
  EXPECT_EQ(wizard_dialog_proc(dialog_handle, UI_WM_CLOSE, 0, 0), 0);
  EXPECT_EQ(headless_quit_requests(), 1);
  EXPECT_EQ(calls, 1);
}

TEST_F(Display, ShowStatusCodes) {
  show_status(SetCaption, 0, "Thinking...");
  EXPECT_EQ(headless_text(0), "Thinking...");
  show_status(SetStatus, 0, "Connecting...");
  EXPECT_EQ(headless_text(IDC_STATUS), "Connecting...");
  show_status(SetRateText, 0, "");
  EXPECT_EQ(headless_text(IDC_RATE), "");
  show_status(SetProgressRange, 100, nullptr);
  show_status(SetProgressPos, 50, nullptr);
  EXPECT_EQ(headless_progress_range(IDC_PROGRESS), 100u);
  EXPECT_EQ(headless_progress_pos(IDC_PROGRESS), 50);
  show_status(SetProgressRange, 65536 + 7, nullptr);  // only the low 16 bits count
  EXPECT_EQ(headless_progress_range(IDC_PROGRESS), 7u);
  show_status(5, 1, "ignored");
  show_status(-1, 1, "ignored");
  EXPECT_EQ(headless_text(0), "Thinking...");
  EXPECT_EQ(headless_text(IDC_STATUS), "Connecting...");
}

TEST_F(Display, ShowProgressPageDisablesBackAndNextOnly) {
  ui_enable_item(dialog_handle, IDC_BACK, 1);
  show_page(PageProgress, UI_SW_HIDE);
  set_page_handler(recording_handler);
  show_progress_page();
  EXPECT_FALSE(headless_enabled(IDC_BACK));
  EXPECT_FALSE(headless_enabled(IDC_NEXT));
  EXPECT_TRUE(headless_enabled(IDC_CANCEL));
  EXPECT_TRUE(headless_visible(IDC_STATUS));
  EXPECT_EQ(current_page_handler, &recording_handler);
}

TEST_F(Display, ItemTextIsCutAt1023AndEmptyGivesNull) {
  char* v = static_cast<char*>(std::malloc(4));
  headless_type(IDC_DIR_EDIT, "");
  v = get_item_text(dialog_handle, IDC_DIR_EDIT, v);  // the old string is freed
  EXPECT_EQ(v, nullptr);
  headless_type(IDC_DIR_EDIT, std::string(2000, 'x'));
  v = get_item_text(dialog_handle, IDC_DIR_EDIT, v);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(std::string(v), std::string(1023, 'x'));
  set_item_text(dialog_handle, IDC_DIR_EDIT, nullptr);
  EXPECT_EQ(headless_text(IDC_DIR_EDIT), "");
  std::free(v);
}

TEST_F(Display, RadioGroupAndChecks) {
  const int list[] = {1051, 1052, 1053, 0};
  const int empty[] = {0};
  EXPECT_EQ(get_radio_group(dialog_handle, list), 0);
  EXPECT_EQ(get_radio_group(dialog_handle, empty), 0);
  set_radio_group(dialog_handle, list, 1052);
  EXPECT_FALSE(headless_checked(1051));
  EXPECT_TRUE(headless_checked(1052));
  EXPECT_FALSE(headless_checked(1053));
  EXPECT_EQ(get_radio_group(dialog_handle, list), 1052);
  set_radio_group(dialog_handle, list, 4242);
  EXPECT_EQ(get_radio_group(dialog_handle, list), 0);
  set_item_check(dialog_handle, 1101, 7);
  EXPECT_EQ(get_item_check(dialog_handle, 1101), 1);
  set_item_check(dialog_handle, 1101, 0);
  EXPECT_EQ(get_item_check(dialog_handle, 1101), 0);
}
