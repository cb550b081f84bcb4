#include "install/plan.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "install/filelist.h"
#include "install/pending.h"
#include "install/publisher.h"
#include "platform/platform.h"
#include "support/log.h"
#include "support/paths.h"
#include "wizard/pages.h"

namespace {

bool variant_selected(const FileListEntry* e) {
  return e->variant < 0 || (e->variant < 4 && variant_flags[e->variant]);
}

// The part of the URL after its last '/'; null when there is none.
const char* archive_name(const FileListEntry* e) {
  const char* slash = e->url ? std::strrchr(e->url, '/') : nullptr;
  return slash ? slash + 1 : nullptr;
}

// Every entry needs an archive name (even a skipped one is logged by it), and
// an entry that may be extracted needs the path that tells it is installed.
int check_entries(bool extract_wanted) {
  int number = 0;
  for (const FileListEntry* e = entry_list_head; e; e = e->next) {
    ++number;
    if (!e->url) {
      log_message("plan_build: entry %d has no URL (\"u:\")", number);
      return -1;
    }
    const char* name = archive_name(e);
    if (!name) {
      log_message("plan_build: URL %s of entry %d has no '/'", e->url, number);
      return -1;
    }
    if (!*name) {
      log_message("plan_build: URL %s of entry %d names no archive", e->url, number);
      return -1;
    }
    if (variant_selected(e) && publisher_require_hash(e, name, number) != 0) return -1;
    if (extract_wanted && variant_selected(e) && !e->check_path) {
      log_message("plan_build: %s (entry %d) has no check path (\"e:\")", name, number);
      return -1;
    }
  }
  return 0;
}

char* dup_text(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

}  // namespace

int plan_build() {
  bool download_wanted = install_mode != InstallFromDirectory;
  bool extract_wanted = install_mode != DownloadOnly;
  if (!download_directory || (extract_wanted && !install_directory)) {
    log_message("plan_build: directory not set");
    return -1;
  }
  if (check_entries(extract_wanted) != 0) return -1;

  // An archive whose extraction an earlier run did not finish counts as not
  // installed, whatever of it (its marker included) is already there.
  std::string unfinished = extract_wanted ? pending_archive(install_directory) : std::string();
  std::string path;
  for (FileListEntry* e = entry_list_head; e; e = e->next) {
    const char* name = archive_name(e);
    if (!variant_selected(e)) {
      log_message("skipping %s (wrong variant)", name);
      continue;
    }
    if (extract_wanted) {
      path_join(path, install_directory, e->check_path);
      e->installed = plat_exists(path.c_str()) ? 1 : 0;
      if (e->installed && unfinished == name) {
        log_message("plan_build: the extraction of %s did not finish, extracting it again", name);
        e->installed = 0;
      }
    }
    path_join(path, download_directory, name);
    std::free(e->local_path);
    e->local_path = dup_text(path);
    if (!e->local_path) {
      log_message("malloc() failed");
      return -1;
    }
    e->archive_exists = plat_exists(e->local_path) ? 1 : 0;
    if (e->installed) {
      log_message("skipping %s (already installed)", name);
      continue;
    }
    // An archive whose SHA-256 differs from "h:" is fetched anew where the mode
    // downloads, and fails the run where it does not.
    bool usable = e->archive_exists && archive_matches(e, name);
    if (e->archive_exists && !usable && !download_wanted) return -1;
    if (usable) {
      log_message("no download %s (exists)", name);
    } else if (download_wanted) {
      log_message("download:\n   %s\n   %s", e->url, e->local_path);
      e->download = 1;
    }
    if (extract_wanted) {
      log_message("extract:\n   %s\n   %s", e->local_path, install_directory);
      e->extract = 1;
    }
  }
  return 0;
}
