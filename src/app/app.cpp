#include "app/app.h"

#include <vector>

#include "net/socket.h"
#include "platform/platform.h"
#include "platform/ui.h"
#include "support/log.h"
#include "support/paths.h"
#include "wizard/frame.h"
#include "wizard/pages.h"

void app_start() {
  std::string exe = plat_exe_path();
  std::vector<char> buf(exe.begin(), exe.end());
  buf.push_back('\0');
  program_directory = path_dir(nullptr, buf.data());
  log_open();
  ui_init_controls();
  dialog_handle = ui_create_dialog(wizard_dialog_proc);
  for (int page = 0; page < 5; ++page) show_page(page, UI_SW_HIDE);
  socket_init();
  show_options_page();
  ui_show_window(dialog_handle);
}

void app_main() {
  app_start();
  ui_run_message_loop();
  exit_app(0);
}

void exit_app(int code) {
  log_message("exit_app: code is %d", code);
  if (code != 0) error_box("See install.log for details");
  socket_done();
  log_close();
  plat_exit(code);
}
