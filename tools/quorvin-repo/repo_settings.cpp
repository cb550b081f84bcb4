#include "repo_settings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "repo_report.h"

const char* const ARCHIVE_SETTINGS = "archive.ini";

namespace {

std::string trim(const std::string& text) {
  size_t a = text.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return std::string();
  size_t b = text.find_last_not_of(" \t\r\n");
  return text.substr(a, b - a + 1);
}

int read_whole(const std::string& path, std::string& text) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) {
    repo_error("%s: cannot open for reading: %s", path.c_str(), std::strerror(errno));
    return -1;
  }
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) text.append(buf, n);
  bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed) repo_error("%s: reading failed", path.c_str());
  return failed ? -1 : 0;
}

// One "key = value" line; 0, or -1 after a message.
int read_line(const std::string& path, int number, const std::string& text, ArchiveSettings& s) {
  const char* where = path.c_str();
  size_t eq = text.find('=');
  std::string key = eq == std::string::npos ? text : trim(text.substr(0, eq));
  if (eq == std::string::npos || (key != "d" && key != "e")) {
    // The manifest's "d:" form and upper-case keys are the likeliest slips.
    size_t colon = text.find(':');
    std::string said =
        eq == std::string::npos && colon != std::string::npos ? trim(text.substr(0, colon)) : key;
    const char* hint = said == "d" || said == "e" ? " (with '=', not the manifest's ':')"
                       : said == "D" || said == "E" ? " (keys are in lower case)"
                                                    : "";
    repo_error("%s:%d: expected 'd = subfolder' or 'e = path installed by this archive'%s", where,
               number, hint);
    return -1;
  }
  std::string value = trim(text.substr(eq + 1));
  std::string& slot = key == "d" ? s.d : s.e;
  int& line = key == "d" ? s.d_line : s.e_line;
  if (line != 0) {
    repo_error("%s:%d: %s is given a second time (first on line %d); give it once", where, number,
               key.c_str(), line);
    return -1;
  }
  if (value.empty()) {
    repo_error("%s:%d: %s has no value; leave the line out for %s", where, number, key.c_str(),
               key == "d" ? "the install directory itself"
                          : "the default marker (the archive's first file)");
    return -1;
  }
  if (value.find_first_of("#;") != std::string::npos) {
    repo_error("%s:%d: text after the value of %s (%s): a comment goes on a line of its own, "
               "starting with '#'", where, number, key.c_str(), value.c_str());
    return -1;
  }
  if (value[0] == '"' || value[0] == '\'') {
    repo_error("%s:%d: the value of %s needs no quotes: write %s = %s", where, number, key.c_str(),
               key.c_str(), value.substr(1, value.find_last_not_of("\"'")).c_str());
    return -1;
  }
  slot = value;
  line = number;
  return 0;
}

}  // namespace

int settings_read(const std::string& path, ArchiveSettings& settings) {
  settings = ArchiveSettings();
  std::string text;
  if (read_whole(path, text) != 0) return -1;
  if (text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 2, "\xFE\xFF") == 0) {
    repo_error("%s: is UTF-16 text; save it as plain text (ASCII or UTF-8)", path.c_str());
    return -1;
  }
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    repo_warning("%s:1: starts with a UTF-8 byte-order mark, which is ignored", path.c_str());
    text.erase(0, 3);
  }
  int number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = trim(text.substr(start, end - start));
    start = end + 1;
    ++number;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (read_line(path, number, line, settings) != 0) return -1;
  }
  return 0;
}
