// The run: manifest, plan, summary page, then the downloads and the extraction.
#include "install/run.h"

#include <string>

#include "app/app.h"
#include "install/extract.h"
#include "install/filelist.h"
#include "install/pending.h"
#include "install/plan.h"
#include "install/publisher.h"
#include "net/download.h"
#include "platform/platform.h"
#include "quorvin_config.h"
#include "support/log.h"
#include "support/paths.h"
#include "wizard/controls.h"
#include "wizard/frame.h"
#include "wizard/pages.h"

const char* run_filelist_url = QUORVIN_FILELIST_URL;

namespace {

// Far above any real manifest (100,000 entries take about 10 MiB); a body
// that never ends must not fill the disk.
const int64_t MANIFEST_MAX_SIZE = 64ll << 20;

std::string archive_name(const FileListEntry* e) { return url_file_name(e->url ? e->url : ""); }

void info_box(const char* text, const char* caption) {
  ui_message_box(dialog_handle, text, caption, UI_BOX_INFO);
}

void summary_append(const std::string& text) {
  ui_edit_replace_sel(dialog_handle, IDC_SUMMARY, text.c_str());
}
}  // namespace

void run_start() {
  log_message("download directory is \"%s\"", download_directory ? download_directory : "");
  if (install_directory) log_message("install directory is \"%s\"", install_directory);
  show_status(SetCaption, 0, "Thinking...");
  show_progress_page();
  std::string manifest = path_join(download_directory ? download_directory : "", "filelist.txt");
  if (install_mode != InstallFromDirectory) {
    make_dirs(download_directory ? download_directory : "");
    DownloadCheck check;
    check.max_size = MANIFEST_MAX_SIZE;
    if (net_get(run_filelist_url, manifest.c_str(), 0, &check) < 0) exit_app(1);
  } else if (!plat_exists(manifest.c_str())) {
    error_box("The list of files to install can't be found.");
    exit_app(1);
  }
  if (publisher_check_manifest(install_mode != InstallFromDirectory ? run_filelist_url : nullptr,
                               manifest) < 0) {
    error_box("The list of files to install is not signed by its publisher.");
    exit_app(1);
  }
  if (filelist_read(manifest.c_str()) < 0) exit_app(1);
  if (plan_build() < 0) exit_app(1);
  show_page(PageProgress, UI_SW_HIDE);
  summary_show();
}

void summary_show() {
  set_page_handler(summary_command);
  show_status(SetCaption, 0, "Info");
  enable_item(dialog_handle, IDC_BACK, 1);
  enable_item(dialog_handle, IDC_NEXT, 1);
  ui_set_item_text(dialog_handle, IDC_SUMMARY, "These files will be downloaded:\r\n");
  // Positions past the end put the caret at the end; later insertions append.
  ui_edit_set_sel(dialog_handle, IDC_SUMMARY, 1000, 1000);
  for (FileListEntry* e = entry_list_head; e; e = e->next)
    if (e->download) summary_append("    " + archive_name(e) + "\r\n");
  summary_append("\r\nThese files will be installed:\r\n");
  for (FileListEntry* e = entry_list_head; e; e = e->next)
    if (e->extract) summary_append("    " + archive_name(e) + "\r\n");
  show_page(PageSummary, UI_SW_SHOWNORMAL);
}

int summary_command(ui_window, int id, intptr_t, int) {
  switch (id) {
    case IDC_CANCEL:
      ui_post_quit();
      return 1;
    case IDC_BACK:
      entry_list_free();
      show_page(PageSummary, UI_SW_HIDE);
      if (install_mode == DownloadOnly)
        show_download_dir_page();
      else
        show_install_dir_page();
      return 1;
    case IDC_NEXT:
      show_page(PageSummary, UI_SW_HIDE);
      download_all();
      return 1;
    default:
      return 0;
  }
}

void download_all() {
  show_status(SetCaption, 0, "Downloading...");
  enable_item(dialog_handle, IDC_BACK, 0);
  enable_item(dialog_handle, IDC_NEXT, 0);
  show_page(PageProgress, UI_SW_SHOWNORMAL);
  int to_extract = 0;
  DownloadCheck archive;
  archive.refuse_empty = true;  // never a zip, and a kept empty file would pass as "exists"
  for (FileListEntry* e = entry_list_head; e; e = e->next) {
    archive.sha256 = e->sha256;
    if (e->download && net_get(e->url, e->local_path, 0, &archive) < 0) exit_app(1);
    to_extract += e->extract;
  }
  if (to_extract) {
    install_all();
    return;
  }
  info_box("If you want to install later, make sure you keep filelist.txt", "Download complete");
  ui_post_quit();
}

void install_all() {
  show_status(SetCaption, 0, "Installing...");
  make_dirs(install_directory ? install_directory : "");
  bool note_failed = false;
  for (FileListEntry* e = entry_list_head; e; e = e->next) {
    if (!e->extract) continue;
    std::string dest = e->dest_subdir ? path_join(install_directory, e->dest_subdir) : install_directory;
    // Without the note (a read-only download directory) the run goes on; only a
    // killed run's redo is lost.
    if (pending_mark(e->local_path) != 0 && !note_failed) {
      log_message("install_all: can't write %s%s, an interrupted extraction would not be redone",
                  e->local_path, PENDING_SUFFIX);
      note_failed = true;
    }
    if (install_archive(e->local_path, dest.c_str()) < 0) exit_app(1);
    pending_clear(e->local_path);
  }
  info_box("Installation complete", "Finished!");
  ui_post_quit();
}
