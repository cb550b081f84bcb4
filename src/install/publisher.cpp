#include "install/publisher.h"

#include <algorithm>
#include <vector>

#include "rules/filelist.h"
#include "rules/signature.h"
#include "net/download.h"
#include "support/log.h"
#include "support/sha256.h"

namespace {
const char SIGNATURE_SUFFIX[] = ".minisig";
}

bool publisher_key_built_in() { return publisher_key && *publisher_key; }

int publisher_check_manifest(const char* url, const std::string& manifest) {
  if (!publisher_key_built_in()) return 0;
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
  std::string signature = manifest + SIGNATURE_SUFFIX;
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
  SignatureVerdict verdict = signature_check(manifest, signature, keys, &text);
  log_message("signature_check: %s", text.c_str());
  return verdict == SIGNATURE_GOOD ? 0 : -1;
}

int publisher_require_hash(const FileListEntry* e, const char* name, int number) {
  if (!publisher_key_built_in() || e->sha256) return 0;
  log_message("plan_build: %s (entry %d) has no SHA-256 (\"h:\"), which a signed list must give",
              name, number);
  return -1;
}

bool archive_matches(const FileListEntry* e, const std::string& local_path, const char* name) {
  if (!e->sha256) return true;
  std::string hex;
  if (sha256_file(local_path, &hex) != 0) return false;
  if (hex == e->sha256) return true;
  log_message("plan_build: %s has SHA-256 %s, the list says %s", name, hex.c_str(), e->sha256);
  return false;
}
