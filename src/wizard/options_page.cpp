#include <cstdlib>

#include "wizard/pages.h"

int install_mode = DownloadAndInstall;
int variant_flags[4] = {0, 0, 0, 0};
char* download_directory = nullptr;
char* install_directory = nullptr;

namespace {
const int mode_radio_list[] = {IDC_MODE_DOWNLOAD_AND_INSTALL, IDC_MODE_DOWNLOAD_ONLY,
                               IDC_MODE_INSTALL_FROM_DIRECTORY, 0};
}  // namespace

void show_options_page() {
  set_page_handler(options_page_command);
  set_radio_group(dialog_handle, mode_radio_list, install_mode);
  show_status(SetCaption, 0, "Options");
  enable_item(dialog_handle, IDC_BACK, 0);
  show_page(PageOptions, UI_SW_SHOWNORMAL);
}

int options_page_command(ui_window dialog, int id, intptr_t, int) {
  switch (id) {
    case IDC_CANCEL: ui_post_quit(); break;
    case IDC_NEXT:
      install_mode = get_radio_group(dialog, mode_radio_list);
      show_page(PageOptions, UI_SW_HIDE);
      show_variant_page();
      break;
    default: break;  // Back is disabled here; option clicks need no action
  }
  return 0;
}

void wizard_reset_state() {
  install_mode = DownloadAndInstall;
  for (int& flag : variant_flags) flag = 0;
  std::free(download_directory);
  std::free(install_directory);
  download_directory = install_directory = nullptr;
}
