#include "display/display.h"

#include <cstdlib>
#include <cstring>
#include <string>


ui_window dialog_handle = nullptr;
page_handler current_page_handler = nullptr;

namespace {
// Each row lists a page's controls and ends at the first 0.
const int page_table[5][20] = {
    {IDC_MODE_DOWNLOAD_AND_INSTALL, IDC_MODE_DOWNLOAD_ONLY, IDC_MODE_INSTALL_FROM_DIRECTORY, 0},
    {IDC_VARIANT_0, IDC_VARIANT_1, IDC_VARIANT_2, IDC_VARIANT_3, 0},
    {IDC_DIR_LABEL, IDC_DIR_EDIT, IDC_BROWSE, 0},
    {IDC_STATUS, IDC_PROGRESS, IDC_RATE, 0},
    {IDC_SUMMARY, 0},
};
}  // namespace

void show_page(int page, int show_cmd) {
  if (page < 0 || page > 4) return;
  for (const int* id = page_table[page]; *id; ++id) ui_show_item(dialog_handle, *id, show_cmd);
}

intptr_t wizard_dialog_proc(ui_window dialog, unsigned message, uintptr_t wparam, intptr_t lparam) {
  if (message == UI_WM_CLOSE) {
    ui_post_quit();
  } else if (message == UI_WM_COMMAND) {
    if (current_page_handler)
      current_page_handler(dialog, static_cast<int>(wparam & 0xFFFF), lparam,
                           static_cast<int>((wparam >> 16) & 0xFFFF));
  }
  return 0;
}

void set_page_handler(page_handler handler) { current_page_handler = handler; }

void show_status(int code, int value, const char* text) {
  switch (code) {
    case SetCaption: ui_set_window_text(dialog_handle, text); break;
    case SetStatus: ui_set_item_text(dialog_handle, IDC_STATUS, text); break;
    case SetProgressPos: ui_progress_set_pos(dialog_handle, IDC_PROGRESS, value); break;
    case SetProgressRange:
      ui_progress_set_range(dialog_handle, IDC_PROGRESS, static_cast<unsigned>(value) & 0xFFFF);
      break;
    case SetRateText: ui_set_item_text(dialog_handle, IDC_RATE, text); break;
    default: break;
  }
}

void show_progress_page() {
  ui_enable_item(dialog_handle, IDC_BACK, 0);
  ui_enable_item(dialog_handle, IDC_NEXT, 0);
  show_page(PageProgress, UI_SW_SHOWNORMAL);
}

char* get_item_text(ui_window dialog, int id, char* old) {
  std::free(old);
  std::string text;
  // A field is read as into a 1024-character buffer: 1023 characters at most.
  if (ui_get_item_text(dialog, id, &text, 1023) <= 0) return nullptr;
  text.resize(std::strlen(text.c_str()));
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

void set_item_text(ui_window dialog, int id, const char* text) {
  ui_set_item_text(dialog, id, text ? text : "");
}

int get_item_check(ui_window dialog, int id) { return ui_get_item_checked(dialog, id) ? 1 : 0; }

void set_item_check(ui_window dialog, int id, int flag) { ui_set_item_checked(dialog, id, flag != 0); }

int get_radio_group(ui_window dialog, const int* list) {
  for (; *list; ++list)
    if (ui_get_item_checked(dialog, *list)) return *list;
  return 0;
}

void set_radio_group(ui_window dialog, const int* list, int key) {
  for (; *list; ++list) ui_set_item_checked(dialog, *list, *list == key);
}

void enable_item(ui_window dialog, int id, int enable) { ui_enable_item(dialog, id, enable); }

void set_summary_text(const char* text) { ui_set_item_text(dialog_handle, IDC_SUMMARY, text); }

void append_summary_text(const char* text) {
  // Positions past the end put the caret at the end; the insertion appends.
  ui_edit_set_sel(dialog_handle, IDC_SUMMARY, 1000, 1000);
  ui_edit_replace_sel(dialog_handle, IDC_SUMMARY, text);
}

void error_box(const char* text) { ui_message_box(dialog_handle, text, "Error", UI_BOX_ERROR); }

void info_box(const char* text, const char* caption) {
  ui_message_box(dialog_handle, text, caption, UI_BOX_INFO);
}

void request_quit() { ui_post_quit(); }

int wait_thread_or_events(plat_thread t) { return ui_wait_thread_or_messages(t); }

int take_event() { return ui_take_message(); }
