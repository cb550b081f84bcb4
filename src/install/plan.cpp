#include "install/plan.h"

#include <cstring>
#include <map>
#include <string>

#include "rules/filelist.h"
#include "rules/names.h"
#include "rules/urls.h"
#include "install/installed.h"
#include "install/pending.h"
#include "install/publisher.h"
#include "platform/platform.h"
#include "support/log.h"
#include "support/paths.h"

namespace {

bool variant_selected(const PlanInput& in, const FileListEntry* e) {
  return e->variant < 0 || (e->variant < 4 && in.variant_flags[e->variant]);
}

// Every entry needs an archive name that stays a plain file of the download
// directory (even a skipped one is logged by it), paths that stay below the
// install directory, and, where it may be extracted, the path that tells it is
// installed. Nothing has been fetched or written when one is refused. Values
// are logged through shown_name: a CR in one must not start a line of its own.
int check_entry(const PlanInput& in, const FileListEntry* e, int number, bool extract_wanted) {
  if (!e->url) {
    log_message("plan_build: entry %d has no URL (\"u:\")", number);
    return -1;
  }
  std::string url = shown_name(e->url);
  if (!std::strchr(e->url, '/')) {
    log_message("plan_build: URL %s of entry %d has no '/'", url.c_str(), number);
    return -1;
  }
  std::string name = url_file_name(e->url);
  if (name.empty()) {
    log_message("plan_build: URL %s of entry %d names no archive", url.c_str(), number);
    return -1;
  }
  if (const char* why = url_refusal(e->url)) {
    log_message("plan_build: entry %d: URL %s refused: %s", number, url.c_str(), why);
    return -1;
  }
  if (const char* why = archive_name_refusal(name)) {
    log_message("plan_build: entry %d: archive name \"%s\" refused: %s", number,
                shown_name(name).c_str(), why);
    return -1;
  }
  for (auto [key, value] : {std::pair<char, const char*>{'d', e->dest_subdir}, {'e', e->check_path}}) {
    if (!value) continue;
    if (const char* why = relative_path_refusal(value)) {
      log_message("plan_build: entry %d (%s): %c:%s refused: %s", number, name.c_str(), key,
                  shown_name(value).c_str(), why);
      return -1;
    }
  }
  if (extract_wanted && variant_selected(in, e) && !e->check_path) {
    log_message("plan_build: %s (entry %d) has no check path (\"e:\")", name.c_str(), number);
    return -1;
  }
  return 0;
}

int check_entries(const PlanInput& in, const FileList& list, bool extract_wanted) {
  // Two entries acted on with one archive name would share one file of the
  // download directory; Windows does not tell names apart by case (fold_name).
  std::map<std::string, int> seen;
  int number = 0;
  for (const FileListEntry* e = list.head; e; e = e->next) {
    if (check_entry(in, e, ++number, extract_wanted) != 0) return -1;
    if (!variant_selected(in, e)) continue;
    std::string name = url_file_name(e->url);
    if (publisher_require_hash(e, name.c_str(), number) != 0) return -1;
    auto first = seen.emplace(fold_name(name), number);
    if (!first.second) {
      log_message("plan_build: entry %d names the archive %s of entry %d again", number, name.c_str(),
                  first.first->second);
      return -1;
    }
  }
  return 0;
}

}  // namespace

int plan_build(const PlanInput& in, const FileList& list, std::vector<PlannedEntry>* plan) {
  plan->clear();
  bool download_wanted = in.mode != RunMode::InstallFromDirectory;
  bool extract_wanted = in.mode != RunMode::DownloadOnly;
  const std::string& download_directory = in.download_directory;
  const std::string& install_directory = in.install_directory;
  if (download_directory.empty() || (extract_wanted && install_directory.empty())) {
    log_message("plan_build: directory not set");
    return -1;
  }
  if (check_entries(in, list, extract_wanted) != 0) return -1;

  std::string path;
  for (const FileListEntry* e = list.head; e; e = e->next) {
    plan->push_back(PlannedEntry{e, std::string()});
    PlannedEntry& p = plan->back();
    std::string name = url_file_name(e->url);
    if (!variant_selected(in, e)) {
      log_message("skipping %s (wrong variant)", name.c_str());
      continue;
    }
    path_join(p.local_path, download_directory, name);
    if (extract_wanted) {
      path_join(path, install_directory, e->check_path);
      p.installed = plat_exists(path.c_str()) ? 1 : 0;
      // An archive whose extraction an earlier run did not finish counts as
      // not installed, whatever of it (its marker included) is already there.
      bool marker = p.installed;
      if (p.installed && pending_exists(p.local_path)) {
        log_message("plan_build: the extraction of %s did not finish, extracting it again", name.c_str());
        p.installed = 0;
      }
      // With "h:", the marker alone does not tell which version is there: the
      // receipt does. None recorded (installed before receipts, or by hand)
      // counts as another.
      const ReceiptArchive* had = e->sha256 ? installed_record(name) : nullptr;
      if (e->sha256 && (marker || had) && (!had || had->sha256 != e->sha256)) {
        if (had && !had->sha256.empty())
          log_message("plan_build: update %s: the installed one has SHA-256 %s, the list says %s", name.c_str(),
                      had->sha256.c_str(), e->sha256);
        else
          log_message("plan_build: update %s: no SHA-256 is on record for the installed one, the list says %s",
                      name.c_str(), e->sha256);
        p.update = 1;
        p.installed = 0;
      }
    }
    p.archive_exists = plat_exists(p.local_path.c_str()) ? 1 : 0;
    if (p.installed) {
      log_message("skipping %s (already installed)", name.c_str());
      continue;
    }
    // An archive whose SHA-256 differs from "h:" is fetched anew where the mode
    // downloads, and fails the run where it does not.
    bool usable = p.archive_exists && archive_matches(e, p.local_path, name.c_str());
    if (p.archive_exists && !usable && !download_wanted) {
      plan->clear();
      return -1;
    }
    if (usable) {
      log_message("no download %s (exists)", name.c_str());
    } else if (download_wanted) {
      log_message("download:\n   %s\n   %s", e->url, p.local_path.c_str());
      p.download = 1;
    }
    if (extract_wanted) {
      log_message("extract:\n   %s\n   %s", p.local_path.c_str(), install_directory.c_str());
      p.extract = 1;
    }
  }
  return 0;
}
