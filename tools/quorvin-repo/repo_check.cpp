#include "repo_check.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "install/filelist.h"
#include "install/signature.h"
#include "platform/platform.h"
#include "repo_names.h"
#include "repo_report.h"
#include "support/paths.h"
#include "support/sha256.h"
#include "zip_check.h"

namespace {

// The parser's short reasons, said in full.
const char* plain_reason(const char* reason) {
  static const struct { const char* from; const char* to; } words[] = {
      {"expected ':'", "a line must be empty, a comment with '#' in the first column, or a key "
                       "letter directly followed by ':'"},
      {"missing 'v' declaration", "a key line must follow a 'v:' line of its entry; an empty "
                                  "line or a comment ends the entry"},
      {"unknown variant letter", "'v:' may be followed only by nothing (every variant) or by "
                                 "t, m, p or w in lower case"},
      {"unknown key", "the only keys are v:, u:, d:, e: and h:"},
      {"h: is not 64 hexadecimal digits", "h: must be followed by the archive's SHA-256 as 64 "
                                          "hexadecimal digits"},
  };
  for (const auto& w : words)
    if (std::strcmp(reason, w.from) == 0) return w.to;
  return reason;
}

// Physical line number of the manifest, for showing it with the refusal.
std::string line_text(const std::string& path, int number) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) return std::string();
  std::string line;
  int at = 1, c;
  while ((c = std::fgetc(in)) != EOF && at <= number) {
    if (c == '\n')
      ++at;
    else if (at == number && line.size() < 80 && c != '\r')
      line += static_cast<char>(c);
  }
  std::fclose(in);
  return line;
}

const char* const VARIANT_NAMES[] = {"every variant", "Tavelin", "Mirrel", "Pelquin", "Wendrel"};

struct Seen {
  std::map<std::string, std::string> names, markers;
};

// What the installer compares with h:, and what one built with a key demands.
int check_hash(const std::string& archive, const FileListEntry* e, const std::string& label,
               bool signed_list) {
  if (!e->sha256) {
    if (!signed_list) return 0;
    repo_error("%s: has no h: line, which an installer with a publisher key refuses",
               label.c_str());
    return -1;
  }
  std::string hex;
  if (sha256_file(archive, &hex) != 0) {
    repo_error("%s: %s cannot be read for its SHA-256", label.c_str(), archive.c_str());
    return -1;
  }
  if (hex == e->sha256) return 0;
  repo_error("%s: h:%s, but the SHA-256 of %s is %s", label.c_str(), e->sha256, archive.c_str(),
             hex.c_str());
  return -1;
}

int check_entry(const std::string& dir, const FileListEntry* e, int index, Seen& seen,
                bool signed_list) {
  char label_buf[64];
  std::snprintf(label_buf, sizeof label_buf, "entry %d (v: %s)", index,
                VARIANT_NAMES[e->variant + 1]);
  std::string label = label_buf;
  if (!e->url) {
    repo_error("%s: has no u: line", label.c_str());
    return -1;
  }
  std::string url = e->url;
  if (url.find('/') == std::string::npos) {
    repo_error("%s: u:%s holds no '/' and so names no archive", label.c_str(), url.c_str());
    return -1;
  }
  std::string name = url_file_name(url.c_str());
  label = "entry " + std::to_string(index) + " (" + name + ")";
  int result = 0;
  if (const char* why = publish_url_refusal(url)) {
    repo_error("%s: u:%s: %s", label.c_str(), url.c_str(), why);
    result = -1;
  }
  if (const char* why = archive_name_refusal(name)) {
    repo_error("%s: archive name: %s", label.c_str(), why);
    return -1;
  }
  // The download directory is shared: a second entry of the same name would
  // take the first one's file for its own.
  auto first = seen.names.emplace(fold_case(name), label);
  if (!first.second) {
    repo_error("%s: the archive name repeats %s", label.c_str(), first.first->second.c_str());
    result = -1;
  }
  std::string d = e->dest_subdir ? e->dest_subdir : "";
  if (!d.empty())
    if (const char* why = relative_path_refusal(d)) {
      repo_error("%s: d:%s: %s", label.c_str(), d.c_str(), why);
      result = -1;
    }
  std::string marker;
  if (!e->check_path || normal_rel_path(e->check_path).empty()) {
    repo_error("%s: has no e: path, so the installer cannot tell whether it is installed",
               label.c_str());
    result = -1;
  } else if (const char* why = relative_path_refusal(e->check_path)) {
    repo_error("%s: e:%s: %s", label.c_str(), e->check_path, why);
    result = -1;
  } else {
    marker = fold_case(normal_rel_path(e->check_path));
    auto other = seen.markers.emplace(marker, label);
    if (!other.second) {
      repo_error("%s: e:%s is also the marker of %s; installing one marks the other installed",
                 label.c_str(), e->check_path, other.first->second.c_str());
      result = -1;
    }
  }

  std::string archive = path_join(dir, name);
  int kind = plat_path_kind(archive.c_str());
  if (kind != PLAT_KIND_FILE) {
    repo_error("%s: %s %s", label.c_str(), archive.c_str(),
               kind == PLAT_KIND_NONE ? "is missing" : "is not a file");
    return -1;
  }
  if (check_hash(archive, e, label, signed_list) != 0) result = -1;
  std::set<std::string> installed;
  if (zip_check(archive, label, installed) != 0) return -1;
  if (!marker.empty()) {
    std::string prefix = fold_case(normal_rel_path(d));
    std::string rel;
    if (prefix.empty())
      rel = marker;
    else if (marker.compare(0, prefix.size() + 1, prefix + "/") == 0)
      rel = marker.substr(prefix.size() + 1);
    if (rel.empty() || !installed.count(rel)) {
      repo_error("%s: e:%s is not installed by the archive (it installs into %s)", label.c_str(),
                 e->check_path, d.empty() ? "the install directory" : ("d:" + d).c_str());
      result = -1;
    }
  }
  return result;
}

// The signature beside the manifest, checked as the installer checks it.
int check_signature(const std::string& manifest, const std::string& key_path) {
  PublisherKey key;
  std::string text;
  if (publisher_key_read(key_path, &key, &text) != 0) {
    repo_error("--key %s", text.c_str());
    return -1;
  }
  if (signature_check(manifest, manifest + ".minisig", key, &text) != SIGNATURE_GOOD) {
    repo_error("%s (sign it with: minisign -Sm %s)", text.c_str(), manifest.c_str());
    return -1;
  }
  repo_note("%s", text.c_str());
  return 0;
}

}  // namespace

int repo_check(const std::string& dir, const std::string& key_path) {
  std::string manifest = path_join(dir, "filelist.txt");
  bool signed_list = !key_path.empty();
  int result = signed_list ? check_signature(manifest, key_path) : 0;
  FILE* in = std::fopen(manifest.c_str(), "rt");
  if (!in) {
    repo_error("%s: cannot open for reading: %s", manifest.c_str(), std::strerror(errno));
    return -1;
  }
  entry_list_free();
  FilelistError err;
  int parsed = filelist_parse_ex(in, &err);
  std::fclose(in);
  if (parsed != 0) {
    repo_error("%s:%d: the installer refuses this line: %s", manifest.c_str(), err.line,
               plain_reason(err.reason ? err.reason : "refused"));
    std::string text = line_text(manifest, err.line);
    if (!repo_quiet) std::fprintf(stderr, "    %d | %s\n", err.line, text.c_str());
    entry_list_free();
    return -1;
  }
  if (!entry_list_head) {
    repo_error("%s: lists no archives", manifest.c_str());
    return -1;
  }
  Seen seen;
  int index = 0;
  for (const FileListEntry* e = entry_list_head; e; e = e->next)
    if (check_entry(dir, e, ++index, seen, signed_list) != 0) result = -1;
  entry_list_free();
  if (result == 0) repo_note("%s: %d entries, all archives good", manifest.c_str(), index);
  return result;
}
