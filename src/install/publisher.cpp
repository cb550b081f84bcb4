#include "install/publisher.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "quorvin_config.h"

#include "rules/filelist.h"
#include "rules/signature.h"
#include "net/download.h"
#include "platform/platform.h"
#include "support/log.h"
#include "rules/names.h"
#include "support/paths.h"
#include "support/sha256.h"

namespace {
const char SIGNATURE_SUFFIX[] = ".minisig";
}

bool publisher_key_built_in() { return publisher_key && *publisher_key; }

namespace {
int64_t system_clock() { return static_cast<int64_t>(std::time(nullptr)); }

const int64_t DAY_SECONDS = 24 * 60 * 60;
const char ACCEPTED_SUFFIX[] = ".timestamp";

// The newest signed timestamp accepted for this list before; 0 when none was.
int64_t accepted_timestamp(const std::string& manifest) {
  std::string text;
  if (read_whole_file(manifest + ACCEPTED_SUFFIX, &text, 64) != 0) return 0;
  return std::strtoll(text.c_str(), nullptr, 10);
}

// Written under a temporary name, then renamed: a kill leaves the old value or the new.
int record_timestamp(const std::string& manifest, int64_t timestamp) {
  std::string path = manifest + ACCEPTED_SUFFIX, temp = path + DOWNLOAD_TEMP_SUFFIX;
  std::FILE* f = plat_fopen(temp.c_str(), "wb");
  bool written = f && std::fprintf(f, "%lld\n", static_cast<long long>(timestamp)) > 0;
  if (f && std::fclose(f) != 0) written = false;
  if (written && plat_rename_replace(temp.c_str(), path.c_str()) == 0) return 0;
  plat_remove(temp.c_str());
  log_message("signature_check: can't write %s", path.c_str());
  return -1;
}

// Whether the dates the trusted comment gives allow the list: 0 with its
// timestamp in *signed_at, or -1 after a line.
int check_dates(const std::string& comment, const std::string& manifest, int64_t installed, int64_t* signed_at) {
  SignedDates dates;
  std::string why;
  if (signed_dates(comment, &dates, &why) != 0) {
    log_message("signature_check: %s", why.c_str());
    return -1;
  }
  if (!dates.has_timestamp) {
    log_message("signature_check: the trusted comment gives no timestamp, so the list's age is unknown");
    return -1;
  }
  int64_t now = publisher_clock();
  if (dates.has_expires && dates.expires < now) {
    log_message("signature_check: the list expired at %s", utc_text(dates.expires).c_str());
    return -1;
  }
  const int64_t max_age = static_cast<int64_t>(QUORVIN_MANIFEST_MAX_AGE_DAYS) * DAY_SECONDS;
  if (!dates.has_expires && dates.timestamp < now - max_age) {
    log_message("signature_check: the list was signed at %s, more than %d days ago, and gives no expiry",
                utc_text(dates.timestamp).c_str(), QUORVIN_MANIFEST_MAX_AGE_DAYS);
    return -1;
  }
  int64_t accepted = accepted_timestamp(manifest);
  if (dates.timestamp < accepted) {
    log_message("signature_check: the list was signed at %s, before the one accepted here (signed at %s): "
                "an older list is not taken again",
                utc_text(dates.timestamp).c_str(), utc_text(accepted).c_str());
    return -1;
  }
  // Whatever download directory the run uses, the install directory's own mark holds.
  if (dates.timestamp < installed) {
    log_message("signature_check: the list was signed at %s, before the newest one installed in the install "
                "directory (signed at %s): an older list is not installed again",
                utc_text(dates.timestamp).c_str(), utc_text(installed).c_str());
    return -1;
  }
  *signed_at = dates.timestamp;
  return 0;
}

int check_signed(const char* url, const std::string& fetched, const std::string& manifest, int64_t installed) {
  // One key, or several separated by ';': a signature by any of them is good.
  std::vector<PublisherKey> keys;
  std::string text, lines = publisher_key;
  for (size_t start = 0; start <= lines.size();) {
    size_t end = std::min(lines.find(';', start), lines.size());
    keys.emplace_back();
    if (publisher_key_parse(lines.substr(start, end - start), &keys.back(), &text) != 0) {
      log_message("signature_check: the built-in publisher key is %s", text.c_str());
      return -1;
    }
    start = end + 1;
  }
  std::string signature = fetched + SIGNATURE_SUFFIX;
  if (url) {
    // A body past the limit fails the download before it fills the disk; a
    // failed download is never made up for by a signature an earlier run left.
    DownloadCheck check;
    check.max_size = SIGNATURE_FILE_MAX;
    std::string signature_url = std::string(url) + SIGNATURE_SUFFIX;
    if (net_get(signature_url.c_str(), signature.c_str(), 0, &check) < 0) {
      log_message("signature_check: can't download %s", signature_url.c_str());
      return -1;
    }
  }
  std::string comment;
  SignatureVerdict verdict = signature_check(fetched, signature, keys, &text, &comment);
  log_message("signature_check: %s", text.c_str());
  int64_t signed_at = 0;
  if (verdict != SIGNATURE_GOOD || check_dates(comment, manifest, installed, &signed_at) != 0) return -1;
  if (fetched != manifest) {
    std::string final_signature = manifest + SIGNATURE_SUFFIX;
    if (plat_rename_replace(signature.c_str(), final_signature.c_str()) != 0 ||
        plat_rename_replace(fetched.c_str(), manifest.c_str()) != 0) {
      log_message("signature_check: can't rename %s to %s", fetched.c_str(), manifest.c_str());
      return -1;
    }
  }
  // Only a list that took its place raises the mark an older one must reach.
  if (signed_at > accepted_timestamp(manifest) && record_timestamp(manifest, signed_at) != 0) return -1;
  publisher_signed_at = signed_at;
  return 0;
}
}  // namespace

int64_t (*publisher_clock)() = system_clock;
int64_t publisher_signed_at = 0;

int publisher_check_manifest(const char* url, const std::string& fetched, const std::string& manifest,
                             int64_t installed) {
  publisher_signed_at = 0;
  if (!publisher_key_built_in()) {
    log_message("signature_check: no publisher key is built in: the list of files is not verified");
    return 0;
  }
  if (check_signed(url, fetched, manifest, installed) == 0) return 0;
  if (fetched != manifest) {
    plat_remove(fetched.c_str());
    plat_remove((fetched + SIGNATURE_SUFFIX).c_str());
  }
  return -1;
}

int publisher_require_hash(const FileListEntry* e, const char* name, int number) {
  if (!publisher_key_built_in() || (e->sha256 && e->has_size)) return 0;
  log_message(e->sha256 ? "plan_build: %s (entry %d) has no size (\"s:\"), which a signed list must give"
                        : "plan_build: %s (entry %d) has no SHA-256 (\"h:\"), which a signed list must give",
              name, number);
  return -1;
}

bool archive_matches(const FileListEntry* e, const std::string& local_path, const char* name) {
  uint64_t size = 0;
  // The size first: a file of another size need not be read to be refused.
  if (e->has_size && plat_file_size(local_path.c_str(), &size) == 0 && size != static_cast<uint64_t>(e->size)) {
    log_message("plan_build: %s has %llu bytes, the list says %lld", name, static_cast<unsigned long long>(size),
                e->size);
    return false;
  }
  if (!e->sha256) return true;
  std::string hex;
  if (sha256_file(local_path, &hex) != 0) return false;
  if (hex == e->sha256) return true;
  log_message("plan_build: %s has SHA-256 %s, the list says %s", name, hex.c_str(), e->sha256);
  return false;
}
