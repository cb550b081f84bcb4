#include "repo_tree.h"

#include <algorithm>
#include <map>

#include "platform/platform.h"
#include "repo_names.h"
#include "repo_report.h"
#include "support/paths.h"

namespace {

// Deeper than any real tree; stops a symbolic link loop.
const int MAX_DEPTH = 64;

// The history of a checked-out tree, never part of what is installed.
bool version_control(const std::string& name) {
  return name == ".git" || name == ".hg" || name == ".svn";
}

int collect(const std::string& folder, const std::string& prefix, const std::string& skip,
            int depth, std::vector<SourceItem>& items) {
  if (depth > MAX_DEPTH) {
    repo_error("%s: folders nested more than %d deep (a link loop?)", folder.c_str(), MAX_DEPTH);
    return -1;
  }
  std::vector<std::string> names;
  if (tree_list_sorted(folder, names) != 0) return -1;
  // Windows folds case: two names that differ only in case would overwrite each other.
  std::map<std::string, std::string> folded;
  for (const std::string& name : names) {
    if (depth == 0 && name == skip) continue;
    std::string path = path_join(folder, name);
    if (version_control(name)) {
      repo_warning("%s: left out of the archive (a version-control folder)", path.c_str());
      continue;
    }
    if (const char* why = source_name_refusal(name)) {
      repo_error("%s: refused name: %s", path.c_str(), why);
      return -1;
    }
    auto seen = folded.emplace(fold_case(name), name);
    if (!seen.second) {
      repo_error("%s: differs from %s only in case; Windows would keep one of them",
                 path.c_str(), seen.first->second.c_str());
      return -1;
    }
    std::string member = prefix + name;
    int kind = plat_path_kind(path.c_str());
    if (kind == PLAT_KIND_DIR) {
      member += '/';
      if (const char* why = member_name_refusal(member)) {
        repo_error("%s: refused name %s: %s", path.c_str(), member.c_str(), why);
        return -1;
      }
      items.push_back({member, path, true, FOLDER_DOS_TIME});
      if (collect(path, member, skip, depth + 1, items) != 0) return -1;
    } else if (kind == PLAT_KIND_FILE) {
      if (const char* why = member_name_refusal(member)) {
        repo_error("%s: refused name %s: %s", path.c_str(), member.c_str(), why);
        return -1;
      }
      uint32_t dos = 0;
      if (plat_file_time_dos(path.c_str(), &dos) != 0) {
        repo_error("%s: cannot read its modification time", path.c_str());
        return -1;
      }
      items.push_back({member, path, false, dos});
    } else {
      repo_error("%s: neither a file nor a folder", path.c_str());
      return -1;
    }
  }
  return 0;
}

}  // namespace

int tree_list_sorted(const std::string& folder, std::vector<std::string>& names) {
  if (plat_list_dir(folder.c_str(), names) != 0) {
    repo_error("%s: cannot read this folder", folder.c_str());
    return -1;
  }
  std::sort(names.begin(), names.end());
  return 0;
}

int tree_collect(const std::string& folder, const std::string& skip_name,
                 std::vector<SourceItem>& items) {
  items.clear();
  return collect(folder, "", skip_name, 0, items);
}

int tree_remove(const std::string& path) {
  int kind = plat_path_kind(path.c_str());
  if (kind == PLAT_KIND_NONE) return 0;
  if (kind != PLAT_KIND_DIR) return plat_remove(path.c_str());
  std::vector<std::string> names;
  if (plat_list_dir(path.c_str(), names) != 0) return -1;
  int result = 0;
  for (const std::string& name : names)
    if (tree_remove(path_join(path, name)) != 0) result = -1;
  if (plat_rmdir(path.c_str()) != 0) result = -1;
  return result;
}
