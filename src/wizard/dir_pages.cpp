// The download-directory and install-directory steps. Both use page 2; the step
// decides which variable the field edits and where Back and Next lead.
#include <string>

#include "display/flow.h"
#include "platform/platform.h"
#include "support/paths.h"
#include "wizard/browse.h"
#include "wizard/pages.h"

namespace {

// The field's text becomes the step's variable on Back, Next and Browse.
void store_field(ui_window dialog, char** variable) {
  *variable = get_item_text(dialog, IDC_DIR_EDIT, *variable);
}

// The chosen folder goes into the field only; the variable takes it when the
// step is next left or browsed again.
void browse_into_field(ui_window dialog, const char* current) {
  std::string chosen;
  if (browse_for_folder(dialog, &chosen, current) == 1)
    set_item_text(dialog, IDC_DIR_EDIT, chosen.c_str());
}

int refuse(const char* text) {
  error_box(text);
  return -1;
}

// Nothing is created here: the run makes the directories when it needs them.
// Any existing object passes, a plain file too.
int accept_missing(const char* directory) {
  if (plat_exists(directory)) return 0;
  int answer = ui_message_box(dialog_handle,
                              "The directory does not exist. Do you want it to be created?",
                              "No such directory", UI_BOX_QUESTION);
  return answer == UI_ANSWER_YES ? 0 : -1;
}

// The install step leaves Back as it is: the step before it has enabled it.
void show_directory_step(page_handler handler, const char* caption, bool enable_back,
                         const char* label, const char* value) {
  set_page_handler(handler);
  show_status(SetCaption, 0, caption);
  if (enable_back) enable_item(dialog_handle, IDC_BACK, 1);
  set_item_text(dialog_handle, IDC_DIR_LABEL, label);
  set_item_text(dialog_handle, IDC_DIR_EDIT, value);
  show_page(PageDirectory, UI_SW_SHOWNORMAL);
}

}  // namespace

void show_download_dir_page() {
  show_directory_step(download_dir_page_command, "Download to...", true,
                      "Select download &directory", download_directory);
}

void show_install_dir_page() {
  // DownloadOnly has no install step; the stored install directory stays untouched.
  if (install_mode == DownloadOnly) {
    flow_start_run();
    return;
  }
  show_directory_step(install_dir_page_command, "Install to...", false,
                      "Select install &directory", install_directory);
}

void show_last_directory_step() {
  if (install_mode == DownloadOnly)
    show_download_dir_page();
  else
    show_install_dir_page();
}

int check_download_dir() {
  if (!download_directory || !*download_directory) return refuse("No directory chosen");
  to_separator(download_directory, PATH_SEP);
  return accept_missing(download_directory);
}

int check_install_dir() {
  if (!install_directory || !*install_directory) return refuse("No directory chosen");
  to_separator(install_directory, PATH_SEP);
  for (const char* c = install_directory; *c; ++c)
    if (*c == ' ') return refuse("Please choose a directory without spaces");
  return accept_missing(install_directory);
}

int download_dir_page_command(ui_window dialog, int id, intptr_t, int) {
  switch (id) {
    case IDC_CANCEL: ui_post_quit(); break;
    case IDC_BACK:
      store_field(dialog, &download_directory);
      show_page(PageDirectory, UI_SW_HIDE);
      show_variant_page();
      break;
    case IDC_NEXT:
      store_field(dialog, &download_directory);
      if (check_download_dir() != 0) break;  // the step stays as it was
      show_page(PageDirectory, UI_SW_HIDE);
      show_install_dir_page();
      break;
    case IDC_BROWSE:
      store_field(dialog, &download_directory);
      browse_into_field(dialog, download_directory);
      break;
    default: break;
  }
  return 0;
}

int install_dir_page_command(ui_window dialog, int id, intptr_t, int) {
  switch (id) {
    case IDC_CANCEL: ui_post_quit(); break;
    case IDC_BACK:
      store_field(dialog, &install_directory);
      show_page(PageDirectory, UI_SW_HIDE);
      show_download_dir_page();
      break;
    case IDC_NEXT:
      store_field(dialog, &install_directory);
      if (check_install_dir() != 0) break;
      show_page(PageDirectory, UI_SW_HIDE);
      flow_start_run();
      break;
    case IDC_BROWSE:
      store_field(dialog, &install_directory);
      browse_into_field(dialog, install_directory);
      break;
    default: break;
  }
  return 0;
}
