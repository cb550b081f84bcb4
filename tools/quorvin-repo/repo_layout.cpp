#include "repo_layout.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>

#include "platform/platform.h"
#include "repo_names.h"
#include "repo_report.h"
#include "support/paths.h"

const VariantGroup variant_groups[5] = {
    {"all", "", "Every variant"},
    {"tavelin", "t", "Tavelin"},
    {"mirrel", "m", "Mirrel"},
    {"pelquin", "p", "Pelquin"},
    {"wendrel", "w", "Wendrel"},
};

namespace {

// archive.ini, the settings file of an archive folder: "d = subfolder" and
// "e = marker path", each at most once, '#' or ';' comment lines. Never put
// into the archive.
const char* const ARCHIVE_SETTINGS = "archive.ini";

struct ArchiveSettings {
  std::string d, e;            // the values as given, empty when not given
  int d_line = 0, e_line = 0;  // where they were given, 0 for nowhere
};

std::string trim(const std::string& text) {
  size_t a = text.find_first_not_of(" \t\r\n");
  return a == std::string::npos ? "" : text.substr(a, text.find_last_not_of(" \t\r\n") - a + 1);
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
    return repo_error("%s:%d: expected 'd = subfolder' or 'e = path installed by this archive'%s",
                      where, number, hint);
  }
  std::string value = trim(text.substr(eq + 1));
  std::string& slot = key == "d" ? s.d : s.e;
  int& line = key == "d" ? s.d_line : s.e_line;
  if (line != 0)
    return repo_error("%s:%d: %s is given a second time (first on line %d); give it once", where,
                      number, key.c_str(), line);
  if (value.empty())
    return repo_error("%s:%d: %s has no value; leave the line out for %s", where, number,
                      key.c_str(), key == "d" ? "the install directory itself"
                                              : "the default marker (the archive's first file)");
  if (value.find_first_of("#;") != std::string::npos)
    return repo_error("%s:%d: text after the value of %s (%s): a comment goes on a line of its "
                      "own, starting with '#'", where, number, key.c_str(), value.c_str());
  if (value[0] == '"' || value[0] == '\'')
    return repo_error("%s:%d: the value of %s needs no quotes: write %s = %s", where, number,
                      key.c_str(), key.c_str(),
                      value.substr(1, value.find_last_not_of("\"'")).c_str());
  slot = value;
  line = number;
  return 0;
}

int settings_read(const std::string& path, ArchiveSettings& settings) {
  std::string text;
  if (int read = read_whole_file(path, &text))
    return read == -1 ? repo_error("%s: cannot open for reading: %s", path.c_str(),
                                   std::strerror(errno))
                      : repo_error("%s: reading failed", path.c_str());
  if (text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 2, "\xFE\xFF") == 0)
    return repo_error("%s: is UTF-16 text; save it as plain text (ASCII or UTF-8)", path.c_str());
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    repo_warning("%s:1: starts with a UTF-8 byte-order mark, which is ignored", path.c_str());
    text.erase(0, 3);
  }
  std::istringstream lines(text);
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    line = trim(line);
    ++number;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (read_line(path, number, line, settings) != 0) return -1;
  }
  return 0;
}

// Every component of a "d:" folder is created on Windows.
const char* subdir_refusal(const std::string& raw) {
  if (const char* why = relative_path_refusal(raw)) return why;
  std::istringstream parts(normal_rel_path(raw));
  for (std::string part; std::getline(parts, part, '/');)
    if (const char* why = source_name_refusal(part)) return why;
  return ascii_refusal(raw);
}

// The marker must be something the archive itself installs; Windows tests it
// without regard to case.
bool archive_installs(const std::vector<SourceItem>& items, const std::string& path) {
  return std::any_of(items.begin(), items.end(), [&](const SourceItem& item) {
    return fold_case(normal_rel_path(item.name)) == fold_case(path);
  });
}

// A settings file named in another case is found on Windows and missed
// elsewhere, and packed as a file either way.
int check_settings_name(const std::string& folder) {
  std::vector<std::string> names;
  if (tree_list_sorted(folder, names) != 0) return -1;
  for (const std::string& name : names)
    if (name != ARCHIVE_SETTINGS && fold_case(name) == ARCHIVE_SETTINGS)
      return repo_error("%s: the settings file must be named %s, in lower case; rename it",
                        path_join(folder, name).c_str(), ARCHIVE_SETTINGS);
  return 0;
}

int read_archive(const std::string& source, int group, const std::string& folder,
                 const std::string& folder_name, ArchivePlan& plan) {
  plan = ArchivePlan{group, folder, folder_name + ".zip", "", "", {}, ""};
  if (const char* why = published_name_refusal(plan.name))
    return repo_error("%s: refused archive name %s: %s", folder.c_str(), plan.name.c_str(), why);
  std::string settings = path_join(folder, ARCHIVE_SETTINGS);
  if (check_settings_name(folder) != 0) return -1;
  ArchiveSettings ini;
  int kind = plat_path_kind(settings.c_str());
  if (kind != PLAT_KIND_NONE && kind != PLAT_KIND_FILE)
    return repo_error("%s: must be a file", settings.c_str());
  if (kind == PLAT_KIND_FILE && settings_read(settings, ini) != 0) return -1;
  std::string d = ini.d, e = ini.e;
  if (const char* why = d.empty() ? nullptr : subdir_refusal(d))
    return repo_error("%s:%d: refused d = %s: %s", settings.c_str(), ini.d_line, d.c_str(), why);
  if (const char* why = e.empty() ? nullptr : path_value_refusal(e))
    return repo_error("%s:%d: refused e = %s: %s", settings.c_str(), ini.e_line, e.c_str(), why);
  d = normal_rel_path(d);
  e = normal_rel_path(e);
  if (tree_collect(folder, ARCHIVE_SETTINGS, source, plan.items) != 0) return -1;
  if (plan.items.empty())
    return repo_error("%s: empty folder; its archive would install nothing", folder.c_str());
  if (e.empty()) {
    // The first file in archive order, else the first folder.
    auto file = std::find_if(plan.items.begin(), plan.items.end(),
                             [](const SourceItem& item) { return !item.is_dir; });
    e = normal_rel_path((file != plan.items.end() ? *file : plan.items.front()).name);
  } else if (!archive_installs(plan.items, e)) {
    return repo_error("%s:%d: e = %s is not a file or folder in %s (e is relative to the archive "
                      "folder, without the d folder)", settings.c_str(), ini.e_line, e.c_str(),
                      folder.c_str());
  }
  plan.dest_subdir = d;
  plan.check_path = d.empty() ? e : d + "/" + e;
  return 0;
}

}  // namespace

int layout_read(const std::string& source, std::vector<ArchivePlan>& archives) {
  archives.clear();
  int kind = plat_path_kind(source.c_str());
  if (kind != PLAT_KIND_DIR)
    return repo_error("%s: %s", source.c_str(),
                      kind == PLAT_KIND_NONE ? "no such folder" : "not a folder");
  std::vector<std::string> names;
  if (tree_list_sorted(source, names) != 0) return -1;
  for (const std::string& name : names) {
    bool known = false;
    for (const VariantGroup& g : variant_groups) known = known || name == g.folder;
    std::string path = path_join(source, name);
    if (!known || plat_path_kind(path.c_str()) != PLAT_KIND_DIR)
      return repo_error("%s: unexpected; the source folder holds only the folders all, tavelin, "
                        "mirrel, pelquin and wendrel", path.c_str());
  }
  // Archive names and markers share one folder on Windows: compare them folded.
  std::map<std::string, std::string> names_seen, markers_seen;
  for (int g = 0; g < 5; ++g) {
    std::string group = path_join(source, variant_groups[g].folder);
    if (plat_path_kind(group.c_str()) == PLAT_KIND_NONE) continue;
    std::vector<std::string> folders;
    if (tree_list_sorted(group, folders) != 0) return -1;
    for (const std::string& folder_name : folders) {
      std::string folder = path_join(group, folder_name);
      if (plat_path_kind(folder.c_str()) != PLAT_KIND_DIR)
        return repo_error("%s: not a folder; %s holds one folder per archive", folder.c_str(),
                          group.c_str());
      if (!path_inside(folder, source)) warn_link_outside(folder, full_path(folder));
      ArchivePlan plan;
      if (read_archive(source, g, folder, folder_name, plan) != 0) return -1;
      auto name = names_seen.emplace(fold_case(plan.name), folder);
      if (!name.second)
        return repo_error("%s: archive name %s repeats %s", folder.c_str(), plan.name.c_str(),
                          name.first->second.c_str());
      auto marker = markers_seen.emplace(fold_case(plan.check_path), folder);
      if (!marker.second)
        return repo_error("%s: e: %s is also the marker of %s; installing one would mark the other "
                          "installed (set e in %s)", folder.c_str(), plan.check_path.c_str(),
                          marker.first->second.c_str(), ARCHIVE_SETTINGS);
      archives.push_back(std::move(plan));
    }
  }
  if (archives.empty())
    return repo_error("%s: no archive folders (expected e.g. %s)", source.c_str(),
                      path_join(path_join(source, "all"), "base").c_str());
  return 0;
}
