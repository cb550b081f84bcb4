#include "repo_layout.h"

#include <cstdio>
#include <cstring>
#include <map>

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

const char* const ARCHIVE_SETTINGS = "archive.ini";

namespace {

std::string trim(const std::string& text) {
  size_t a = text.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return std::string();
  size_t b = text.find_last_not_of(" \t\r\n");
  return text.substr(a, b - a + 1);
}

// "d = sub/dir" and "e = path/in/this/folder", '#' comments.
int read_settings(const std::string& path, std::string& d, std::string& e) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) {
    repo_error("%s: cannot open for reading: %s", path.c_str(), std::strerror(errno));
    return -1;
  }
  char line[1024];
  int number = 0, result = 0;
  while (result == 0 && std::fgets(line, sizeof line, in)) {
    ++number;
    std::string text = trim(line);
    if (text.empty() || text[0] == '#') continue;
    size_t eq = text.find('=');
    std::string key = eq == std::string::npos ? text : trim(text.substr(0, eq));
    if (eq == std::string::npos || (key != "d" && key != "e")) {
      repo_error("%s:%d: expected 'd = subfolder' or 'e = path installed by this archive'",
                 path.c_str(), number);
      result = -1;
      break;
    }
    (key == "d" ? d : e) = trim(text.substr(eq + 1));
  }
  std::fclose(in);
  return result;
}

// Every component of a "d:" folder is created on Windows.
const char* subdir_refusal(const std::string& raw) {
  if (const char* why = relative_path_refusal(raw)) return why;
  std::string d = normal_rel_path(raw);
  size_t start = 0;
  while (start <= d.size()) {
    size_t end = d.find('/', start);
    if (end == std::string::npos) end = d.size();
    if (const char* why = source_name_refusal(d.substr(start, end - start))) return why;
    start = end + 1;
  }
  return nullptr;
}

// The marker must be something the archive itself installs.
bool archive_installs(const std::vector<SourceItem>& items, const std::string& path) {
  for (const SourceItem& item : items) {
    std::string name = item.is_dir ? item.name.substr(0, item.name.size() - 1) : item.name;
    if (name == path) return true;
  }
  return false;
}

int read_archive(int group, const std::string& folder, const std::string& folder_name,
                 ArchivePlan& plan) {
  plan.group = group;
  plan.folder = folder;
  plan.name = folder_name + ".zip";
  if (const char* why = archive_folder_refusal(plan.name)) {
    repo_error("%s: refused archive name %s: %s", folder.c_str(), plan.name.c_str(), why);
    return -1;
  }
  std::string settings = path_join(folder, ARCHIVE_SETTINGS);
  std::string d, e;
  int kind = plat_path_kind(settings.c_str());
  if (kind != PLAT_KIND_NONE && kind != PLAT_KIND_FILE) {
    repo_error("%s: must be a file", settings.c_str());
    return -1;
  }
  if (kind == PLAT_KIND_FILE && read_settings(settings, d, e) != 0) return -1;
  if (!d.empty()) {
    if (const char* why = subdir_refusal(d)) {
      repo_error("%s: refused d = %s: %s", settings.c_str(), d.c_str(), why);
      return -1;
    }
    d = normal_rel_path(d);
  }
  if (!e.empty()) {
    if (const char* why = relative_path_refusal(e)) {
      repo_error("%s: refused e = %s: %s", settings.c_str(), e.c_str(), why);
      return -1;
    }
    e = normal_rel_path(e);
  }
  if (tree_collect(folder, ARCHIVE_SETTINGS, plan.items) != 0) return -1;
  if (plan.items.empty()) {
    repo_error("%s: empty folder; its archive would install nothing", folder.c_str());
    return -1;
  }
  if (e.empty()) {
    // The first file in archive order, else the first folder.
    for (const SourceItem& item : plan.items)
      if (!item.is_dir) {
        e = item.name;
        break;
      }
    if (e.empty()) e = normal_rel_path(plan.items.front().name);
  } else if (!archive_installs(plan.items, e)) {
    repo_error("%s: e = %s is not a file or folder in %s", settings.c_str(), e.c_str(),
               folder.c_str());
    return -1;
  }
  plan.dest_subdir = d;
  plan.check_path = d.empty() ? e : d + "/" + e;
  return 0;
}

}  // namespace

int layout_read(const std::string& source, std::vector<ArchivePlan>& archives) {
  archives.clear();
  int kind = plat_path_kind(source.c_str());
  if (kind != PLAT_KIND_DIR) {
    repo_error("%s: %s", source.c_str(),
               kind == PLAT_KIND_NONE ? "no such folder" : "not a folder");
    return -1;
  }
  std::vector<std::string> names;
  if (tree_list_sorted(source, names) != 0) return -1;
  for (const std::string& name : names) {
    bool known = false;
    for (const VariantGroup& g : variant_groups) known = known || name == g.folder;
    std::string path = path_join(source, name);
    if (!known || plat_path_kind(path.c_str()) != PLAT_KIND_DIR) {
      repo_error("%s: unexpected; the source folder holds only the folders all, tavelin, "
                 "mirrel, pelquin and wendrel", path.c_str());
      return -1;
    }
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
      if (plat_path_kind(folder.c_str()) != PLAT_KIND_DIR) {
        repo_error("%s: not a folder; %s holds one folder per archive", folder.c_str(),
                   group.c_str());
        return -1;
      }
      ArchivePlan plan;
      if (read_archive(g, folder, folder_name, plan) != 0) return -1;
      auto name = names_seen.emplace(fold_case(plan.name), folder);
      if (!name.second) {
        repo_error("%s: archive name %s repeats %s", folder.c_str(), plan.name.c_str(),
                   name.first->second.c_str());
        return -1;
      }
      auto marker = markers_seen.emplace(fold_case(plan.check_path), folder);
      if (!marker.second) {
        repo_error("%s: e: %s is also the marker of %s; installing one would mark the other "
                   "installed (set e in %s)", folder.c_str(), plan.check_path.c_str(),
                   marker.first->second.c_str(), ARCHIVE_SETTINGS);
        return -1;
      }
      archives.push_back(std::move(plan));
    }
  }
  if (archives.empty()) {
    repo_error("%s: no archive folders (expected e.g. %s)", source.c_str(),
               path_join(path_join(source, "all"), "base").c_str());
    return -1;
  }
  return 0;
}
