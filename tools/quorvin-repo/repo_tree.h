// Source folders of the repository tool: one folder becomes the sorted list of
// what its archive holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SourceItem {
  std::string name;   // member name: '/' separators, a folder ends in '/'
  std::string path;   // where it is on disk
  bool is_dir;
  uint32_t dos_time;  // files: last-write time, local, MS-DOS form
};

// Fixed time of folder entries, 1980-01-01 00:00: the installer gives folders
// no time, and their own times change with every file added.
const uint32_t FOLDER_DOS_TIME = (1u << 21) | (1u << 16);

// Walks folder depth first, siblings sorted by byte value, a folder before its
// contents; a top-level entry named skip_name is left out, and so is every
// .git, .hg and .svn (with a warning). Symbolic links are followed; one that
// leads out of top (the source folder, unless empty) is warned about. 0, or -1
// after a message naming the offending file.
int tree_collect(const std::string& folder, const std::string& skip_name, const std::string& top,
                 std::vector<SourceItem>& items);
// Sorted names in a folder; -1 after a message when it cannot be read.
int tree_list_sorted(const std::string& folder, std::vector<std::string>& names);
// The absolute form of path, which need not exist yet.
std::string full_path(const std::string& path);
// Whether inner is outer or lies below it.
bool path_inside(const std::string& inner, const std::string& outer);
// The warning about a link at path that leads out of the source folder to real.
void warn_link_outside(const std::string& path, const std::string& real);
