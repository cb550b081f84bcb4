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
// .git, .hg and .svn (with a warning). 0, or -1 after a message naming the
// offending file.
int tree_collect(const std::string& folder, const std::string& skip_name,
                 std::vector<SourceItem>& items);
// Sorted names in a folder; -1 after a message when it cannot be read.
int tree_list_sorted(const std::string& folder, std::vector<std::string>& names);
// Removes a file, or a folder with everything in it. 0 when nothing is left.
int tree_remove(const std::string& path);
