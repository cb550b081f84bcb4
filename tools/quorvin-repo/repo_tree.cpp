#include "repo_tree.h"

#include <algorithm>
#include <map>

#include "platform/platform.h"
#include "repo_names.h"
#include "repo_report.h"
#include "support/paths.h"

namespace {

// Windows compares names without regard to case.
std::string comparable(const std::string& path) {
  return PATH_SEP == '\\' ? fold_case(path) : path;
}

// Deeper than any real tree; stops a symbolic link loop.
const int MAX_DEPTH = 64;

struct Walk {
  std::string skip;  // the top-level name left out
  std::string top;   // the source folder, resolved: links out of it are worth a word
  std::vector<SourceItem>* items;
};

// real: folder resolved, so that each entry's own path tells whether it is a link.
int collect(const Walk& walk, const std::string& folder, const std::string& real,
            const std::string& prefix, int depth) {
  if (depth > MAX_DEPTH)
    return repo_error("%s: folders nested more than %d deep; move some of it up", folder.c_str(),
                      MAX_DEPTH);
  std::vector<std::string> names;
  if (tree_list_sorted(folder, names) != 0) return -1;
  // Windows folds case: two names that differ only in case would overwrite each other.
  std::map<std::string, std::string> folded;
  for (const std::string& name : names) {
    if (depth == 0 && name == walk.skip) continue;
    std::string path = path_join(folder, name);
    // The history of a checked-out tree, never part of what is installed.
    if (name == ".git" || name == ".hg" || name == ".svn") {
      repo_warning("%s: left out of the archive (a version-control folder)", path.c_str());
      continue;
    }
    if (const char* why = source_name_refusal(name))
      return repo_error("%s: refused name: %s", path.c_str(), why);
    auto seen = folded.emplace(fold_case(name), name);
    if (!seen.second)
      return repo_error("%s: differs from %s only in case; Windows would keep one of them",
                        path.c_str(), seen.first->second.c_str());
    int kind = plat_path_kind(path.c_str());
    std::string real_path = path_join(real, name);
    if (kind == PLAT_KIND_NONE)
      return repo_error("%s: a symbolic link to something that does not exist; remove it or "
                        "restore what it points to", path.c_str());
    std::string resolved;
    // A symbolic link is packed as what it points to, but never one to a folder
    // that holds it (the archive would never end), nor one to nothing; one that
    // leads out of the source folder is packed with a warning, as its target may
    // not be meant for publishing.
    if (plat_full_path(path.c_str(), resolved) == 0 &&
        comparable(resolved) != comparable(real_path)) {
      if (kind == PLAT_KIND_DIR && path_inside(real, resolved))
        return repo_error("%s: a symbolic link to %s, a folder that holds it, so the archive "
                          "would never end; remove the link", path.c_str(), resolved.c_str());
      if (!walk.top.empty() && !path_inside(resolved, walk.top)) warn_link_outside(path, resolved);
      real_path = resolved;
    }
    if (kind != PLAT_KIND_DIR && kind != PLAT_KIND_FILE)
      return repo_error("%s: neither a file nor a folder (a device, pipe or socket); move it out "
                        "of the archive folder", path.c_str());
    bool dir = kind == PLAT_KIND_DIR;
    std::string member = prefix + name + (dir ? "/" : "");
    if (const char* why = member_name_refusal(member))
      return repo_error("%s: refused name %s: %s", path.c_str(), member.c_str(), why);
    uint32_t dos = FOLDER_DOS_TIME;
    if (!dir && plat_file_time_dos(path.c_str(), &dos) != 0)
      return repo_error("%s: cannot read its modification time", path.c_str());
    walk.items->push_back({member, path, dir, dos});
    if (dir && collect(walk, path, real_path, member, depth + 1) != 0) return -1;
  }
  return 0;
}

}  // namespace

int tree_list_sorted(const std::string& folder, std::vector<std::string>& names) {
  if (plat_list_dir(folder.c_str(), names) != 0)
    return repo_error("%s: cannot read this folder; let the tool read it", folder.c_str());
  std::sort(names.begin(), names.end());
  return 0;
}

int tree_collect(const std::string& folder, const std::string& skip_name, const std::string& top,
                 std::vector<SourceItem>& items) {
  items.clear();
  Walk walk{skip_name, top.empty() ? std::string() : full_path(top), &items};
  return collect(walk, folder, full_path(folder), "", 0);
}

std::string full_path(const std::string& path) {
  std::string full;
  if (!path.empty() && plat_full_path(path.c_str(), full) == 0) return full;
  size_t cut = path.find_last_of("/\\");
  std::string parent = cut == std::string::npos ? "." : path.substr(0, cut == 0 ? 1 : cut);
  if (parent == path) return path;
  // What is not there yet is taken as written: no link can stand in its way.
  std::string part = path.substr(cut == std::string::npos ? 0 : cut + 1);
  full = full_path(parent);
  if (part.empty() || part == ".") return full;
  if (part != "..") return path_join(full, part);
  size_t up = full.find_last_of("/\\");
  if (up == std::string::npos || up + 1 == full.size()) return full;  // a root stays
  return full.substr(0, up == 0 || (up == 2 && full[1] == ':') ? up + 1 : up);
}

bool path_inside(const std::string& inner, const std::string& outer) {
  std::string a = comparable(full_path(inner)), b = comparable(full_path(outer));
  if (!b.empty() && is_sep(b.back())) b.pop_back();
  return a == b || (a.size() > b.size() && a.compare(0, b.size(), b) == 0 && is_sep(a[b.size()]));
}

void warn_link_outside(const std::string& path, const std::string& real) {
  repo_warning("%s: a symbolic link to %s, outside the source folder; what it points to is "
               "packed, make sure it is meant to be published", path.c_str(), real.c_str());
}
