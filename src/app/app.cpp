#include "app/app.h"

#include <vector>

#include "display/display.h"
#include "display/flow.h"
#include "install/run.h"
#include "net/socket.h"
#include "platform/platform.h"
#include "platform/ui.h"
#include "support/log.h"
#include "support/paths.h"
#include "wizard/pages.h"

namespace {
// The wizard's choices, as they stand when the last directory step is left.
void start_run_with_the_choices() {
  PlanInput choices;
  choices.mode = install_mode == DownloadOnly           ? RunMode::DownloadOnly
                 : install_mode == InstallFromDirectory ? RunMode::InstallFromDirectory
                                                        : RunMode::DownloadAndInstall;
  for (int i = 0; i < 4; ++i) choices.variant_flags[i] = variant_flags[i];
  // The window gives its texts in UTF-8, as every path is from here on.
  if (download_directory) choices.download_directory = download_directory;
  if (install_directory) choices.install_directory = install_directory;
  run_start(choices);
}
}  // namespace

void app_connect_flow() {
  flow_start_run = start_run_with_the_choices;
  flow_back_from_summary = show_last_directory_step;
  flow_exit_hook = exit_app;
}

void app_start() {
  std::string exe = plat_exe_path();
  std::vector<char> buf(exe.begin(), exe.end());
  buf.push_back('\0');
  program_directory = path_dir(nullptr, buf.data());
  log_open();
  app_connect_flow();
  ui_init_controls();
  dialog_handle = ui_create_dialog(wizard_dialog_proc);
  for (int page = 0; page < 5; ++page) show_page(page, UI_SW_HIDE);
  socket_init();
  show_options_page();
  ui_show_window(dialog_handle);
}

void program_main() {
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
