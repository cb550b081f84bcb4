// qvrun: one whole DownloadAndInstall run of the real run driver on the
// headless window system, without a user. For the crash-safety test (which
// kills it at random moments) and the benchmark.
//
//   qvrun MANIFEST_URL DOWNLOAD_DIR INSTALL_DIR LOG_FILE [VARIANTS]
//
// VARIANTS: letters of t, m, p, w (default: all four). Exit code as the
// program's: 0 after a completed run, 1 after a failed one.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/app.h"
#include "app/app.h"
#include "display/display.h"
#include "display/flow.h"
#include "install/run.h"
#include "net/socket.h"
#include "platform/headless/headless.h"
#include "platform/ui.h"
#include "support/log.h"
#include "wizard/pages.h"

namespace {
char* dup(const char* s) {
  char* d = static_cast<char*>(std::malloc(std::strlen(s) + 1));
  std::strcpy(d, s);
  return d;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || argc > 6) {
    std::fprintf(stderr, "usage: qvrun MANIFEST_URL DOWNLOAD_DIR INSTALL_DIR LOG_FILE [VARIANTS]\n");
    return 2;
  }
  log_open_at(argv[4]);
  app_connect_flow();
  ui_init_controls();
  dialog_handle = ui_create_dialog(wizard_dialog_proc);
  for (int page = 0; page < 5; ++page) show_page(page, UI_SW_HIDE);
  socket_init();

  // What the wizard's pages would have left behind.
  run_filelist_url = argv[1];
  install_mode = DownloadAndInstall;
  const char* variants = argc > 5 ? argv[5] : "tmpw";
  const char letters[] = "tmpw";
  for (int i = 0; i < 4; ++i) variant_flags[i] = std::strchr(variants, letters[i]) ? 1 : 0;
  download_directory = dup(argv[2]);
  install_directory = dup(argv[3]);

  flow_start_run();  // up to the summary page; a failure ends the process
  download_all();  // the summary page's Next: downloads, then the extraction
  exit_app(headless_quit_requests() > 0 ? 0 : 1);
}
