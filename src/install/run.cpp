// Stand-in for the run driver: it only records the directories and moves the
// wizard onto the progress page, where it stays until the real driver exists.
#include "install/run.h"

#include "support/log.h"
#include "wizard/frame.h"
#include "wizard/pages.h"

void run_start() {
  log_message("download directory is \"%s\"", download_directory ? download_directory : "");
  if (install_directory) log_message("install directory is \"%s\"", install_directory);
  show_status(SetCaption, 0, "Thinking...");
  show_progress_page();
}
