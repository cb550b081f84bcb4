#include "repo_manifest.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "rules/filelist.h"
#include "platform/platform.h"
#include "repo_names.h"
#include "repo_report.h"
#include "support/paths.h"

const char* const MANIFEST_NAME = "filelist.txt";
const char* const SIGNATURE_NAME = "filelist.txt.minisig";
const char* const MANIFEST_HEADER = "# Quorvin download repository, written by quorvin-repo.\n";

namespace {

// Why the parser refused a line, said in full.
const char* plain_reason(FilelistOutcome outcome) {
  switch (outcome) {
    case FILELIST_NO_COLON:
      return "a line must be empty, a comment with '#' in the first column, or a key letter "
             "directly followed by ':'";
    case FILELIST_NO_ENTRY:
      return "a key line must follow a 'v:' line of its entry; an empty line or a comment ends "
             "the entry";
    case FILELIST_UNKNOWN_VARIANT:
      return "'v:' may be followed only by nothing (every variant) or by t, m, p or w in lower case";
    case FILELIST_UNKNOWN_KEY: return "the only keys are v:, u:, d:, e:, h: and s:";
    case FILELIST_BAD_HASH:
      return "h: must be followed by the archive's SHA-256 as 64 hexadecimal digits";
    case FILELIST_BAD_SIZE: return "s: must be followed by the archive's size in bytes, in decimal digits";
    case FILELIST_NO_MEMORY: return "out of memory";
    default: return "refused";
  }
}

// Physical line number of the manifest, for showing it with the refusal.
std::string line_text(const std::string& path, int number) {
  std::string text, line;
  read_whole_file(path, &text);
  int at = 1;
  for (size_t i = 0; i < text.size() && at <= number; ++i) {
    if (text[i] == '\n')
      ++at;
    else if (at == number && line.size() < 80 && text[i] != '\r')
      line += text[i];
  }
  return line;
}

}  // namespace

int manifest_load(const std::string& dir, FileList* list, bool missing_ok) {
  list->clear();
  std::string manifest = path_join(dir, MANIFEST_NAME);
  if (missing_ok && plat_path_kind(manifest.c_str()) == PLAT_KIND_NONE) return 1;
  FILE* in = plat_fopen(manifest.c_str(), "rt");
  if (!in) {
    repo_error("%s: cannot open for reading: %s", manifest.c_str(), std::strerror(errno));
    return -1;
  }
  FilelistResult parsed = filelist_parse(in, list);
  std::fclose(in);
  if (parsed.outcome == FILELIST_OK) return 0;
  repo_error("%s:%d: the installer refuses this line: %s", manifest.c_str(), parsed.line,
             plain_reason(parsed.outcome));
  std::string text = line_text(manifest, parsed.line);
  if (!repo_quiet) std::fprintf(stderr, "    %d | %s\n", parsed.line, text.c_str());
  list->clear();
  return -1;
}

int entry_rules(const std::string& label, const std::string& url, const char* d, const char* e,
                EntrySeen& seen, std::string& marker, const char* name_fix) {
  marker.clear();
  int result = 0;
  std::string fix = name_fix ? std::string("; ") + name_fix : std::string();
  if (const char* why = fetchable_url_refusal(url)) {
    repo_error("%s: u:%s: %s%s", label.c_str(), url.c_str(), why, fix.c_str());
    result = -1;
  }
  std::string name = url_file_name(url.c_str());
  if (const char* why = published_name_refusal(name)) {
    repo_error("%s: archive name: %s%s", label.c_str(), why, fix.c_str());
    return -1;
  }
  auto first = seen.names.emplace(fold_case(name), label);
  if (!first.second) {
    repo_error("%s: the archive name repeats %s", label.c_str(), first.first->second.c_str());
    result = -1;
  }
  if (d && *d)
    if (const char* why = path_value_refusal(d)) {
      repo_error("%s: d:%s: %s", label.c_str(), d, why);
      result = -1;
    }
  if (!e || normal_rel_path(e).empty()) {
    repo_error("%s: has no e: path, so the installer cannot tell whether it is installed",
               label.c_str());
    result = -1;
  } else if (const char* why = path_value_refusal(e)) {
    repo_error("%s: e:%s: %s", label.c_str(), e, why);
    result = -1;
  } else {
    std::string folded = fold_case(normal_rel_path(e));
    auto other = seen.markers.emplace(folded, label);
    if (!other.second) {
      repo_error("%s: e:%s is also the marker of %s; installing one marks the other installed",
                 label.c_str(), e, other.first->second.c_str());
      result = -1;
    } else {
      marker = folded;
    }
  }
  const struct { const char* key; size_t size; } lines[] = {
      {"u", url.size()}, {"d", d ? std::strlen(d) : 0}, {"e", e ? std::strlen(e) : 0}};
  for (const auto& line : lines)
    if (2 + line.size > MANIFEST_MAX_LINE) {
      repo_error("%s: its %s: line would exceed %u characters, more than the installer reads as "
                 "one line", label.c_str(), line.key, static_cast<unsigned>(MANIFEST_MAX_LINE));
      result = -1;
    }
  return result;
}
