// The run: manifest, plan, summary page, then the downloads and the extraction.
#include "install/run.h"

#include <string>
#include <vector>

#include "display/display.h"
#include "display/flow.h"
#include "install/extract.h"
#include "install/installed.h"
#include "rules/filelist.h"
#include "install/pending.h"
#include "install/plan.h"
#include "install/publisher.h"
#include "net/download.h"
#include "platform/platform.h"
#include "quorvin_config.h"
#include "support/log.h"
#include "support/paths.h"

const char* run_filelist_url = QUORVIN_FILELIST_URL;
FileList entry_list;
std::vector<PlannedEntry> entry_plan;

namespace {

// Far above any real manifest (100,000 entries take about 10 MiB); a body
// that never ends must not fill the disk.
const int64_t MANIFEST_MAX_SIZE = 64ll << 20;

// The choices of the run under way, as the wizard handed them over.
PlanInput choices;

std::string archive_name(const PlannedEntry& p) { return url_file_name(p.entry->url ? p.entry->url : ""); }

void show_caption(const char* text) { show_status(SetCaption, 0, text); }
void show_status_text(const char* text) { show_status(SetStatus, 0, text); }
void show_bar_pos(int pos) { show_status(SetProgressPos, pos, nullptr); }
void show_bar_range(int max) { show_status(SetProgressRange, max, nullptr); }
void show_rate(const char* text) { show_status(SetRateText, 0, text); }
}  // namespace

void run_attach_views() {
  ProgressView page;
  page.caption = show_caption;
  page.status = show_status_text;
  page.bar_pos = show_bar_pos;
  page.bar_range = show_bar_range;
  page.rate = show_rate;
  page.wait = wait_thread_or_events;
  page.take_event = take_event;
  download_view = page;
  extract_view = page;
}

void run_start(const PlanInput& input) {
  choices = input;
  run_attach_views();
  const std::string& download_directory = choices.download_directory;
  log_message("download directory is \"%s\"", download_directory.c_str());
  if (!choices.install_directory.empty())
    log_message("install directory is \"%s\"", choices.install_directory.c_str());
  show_status(SetCaption, 0, "Thinking...");
  show_progress_page();
  std::string manifest = path_join(download_directory, "filelist.txt");
  bool fetch_list = choices.mode != RunMode::InstallFromDirectory;
  // A signed list waits under another name until it passed every check.
  std::string fetched = fetch_list && publisher_key_built_in() ? manifest + PUBLISHER_FETCH_SUFFIX : manifest;
  if (fetch_list) {
    make_dirs(download_directory);
    DownloadCheck check;
    check.max_size = MANIFEST_MAX_SIZE;
    if (net_get(run_filelist_url, fetched.c_str(), 0, &check) < 0) flow_exit(1);
  } else if (!plat_exists(manifest.c_str())) {
    error_box("The list of files to install can't be found.");
    flow_exit(1);
  }
  // The install directory's receipt holds the newest list installed from there.
  installed_load(choices.mode != RunMode::DownloadOnly ? choices.install_directory : std::string());
  if (publisher_check_manifest(fetch_list ? run_filelist_url : nullptr, fetched, manifest, installed_newest()) < 0) {
    error_box("The list of files to install is not signed by its publisher.");
    flow_exit(1);
  }
  entry_list.clear();
  if (filelist_read(manifest.c_str(), &entry_list).outcome != FILELIST_OK) flow_exit(1);
  if (plan_build(choices, entry_list, &entry_plan) < 0) flow_exit(1);
  show_page(PageProgress, UI_SW_HIDE);
  summary_show();
}

void summary_show() {
  set_page_handler(summary_command);
  show_status(SetCaption, 0, "Info");
  enable_item(dialog_handle, IDC_BACK, 1);
  enable_item(dialog_handle, IDC_NEXT, 1);
  set_summary_text("These files will be downloaded:\r\n");
  // One insertion of all the lines: the field copies its whole text on each,
  // which for thousands of entries would hold the window for minutes.
  std::string lines;
  for (const PlannedEntry& p : entry_plan)
    if (p.download) lines += "    " + archive_name(p) + "\r\n";
  lines += "\r\nThese files will be installed:\r\n";
  for (const PlannedEntry& p : entry_plan)
    if (p.extract) lines += "    " + archive_name(p) + (p.update ? " (update)" : "") + "\r\n";
  append_summary_text(lines.c_str());
  show_page(PageSummary, UI_SW_SHOWNORMAL);
}

int summary_command(ui_window, int id, intptr_t, int) {
  switch (id) {
    case IDC_CANCEL:
      request_quit();
      return 1;
    case IDC_BACK:
      entry_plan.clear();
      entry_list.clear();
      show_page(PageSummary, UI_SW_HIDE);
      flow_back_from_summary();
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
  for (const PlannedEntry& p : entry_plan) {
    archive.sha256 = p.entry->sha256;
    archive.exact_size = p.entry->has_size ? p.entry->size : -1;
    if (p.download && net_get(p.entry->url, p.local_path.c_str(), 0, &archive) < 0) flow_exit(1);
    to_extract += p.extract;
  }
  if (to_extract) {
    install_all();
    return;
  }
  // Everything of this list is in place: an older one must not come back.
  if (choices.mode != RunMode::DownloadOnly) installed_raise(publisher_signed_at);
  info_box("If you want to install later, make sure you keep filelist.txt", "Download complete");
  request_quit();
}

void install_all() {
  show_status(SetCaption, 0, "Installing...");
  const std::string& install_directory = choices.install_directory;
  make_dirs(install_directory);
  bool note_failed = false;
  for (const PlannedEntry& p : entry_plan) {
    if (!p.extract) continue;
    const char* d = p.entry->dest_subdir;
    std::string dest = d ? path_join(install_directory, d) : install_directory;
    // Without the note (a read-only download directory) the run goes on; only a
    // killed run's redo is lost.
    if (pending_mark(p.local_path) != 0 && !note_failed) {
      log_message("install_all: can't write %s%s, an interrupted extraction would not be redone",
                  p.local_path.c_str(), PENDING_SUFFIX);
      note_failed = true;
    }
    std::string name = archive_name(p);
    installed_check(name);
    std::vector<ExtractedMember> members;
    if (install_archive(p.local_path.c_str(), dest.c_str(), &members) < 0) flow_exit(1);
    // Then what the archive no longer has goes, and the receipt takes its new
    // record; only then the note. A kill before leaves both to redo.
    installed_update(name, p.entry, publisher_signed_at, members);
    pending_clear(p.local_path);
  }
  info_box("Installation complete", "Finished!");
  request_quit();
}
