// The source tree of a repository: one folder per variant group, one folder per
// archive inside it, an optional settings file in each archive folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "repo_tree.h"

struct VariantGroup {
  const char* folder;   // folder name under the source tree
  const char* letter;   // what follows "v:" in the manifest
  const char* caption;  // the manifest's comment above the group
};
extern const VariantGroup variant_groups[5];

struct ArchivePlan {
  int group;               // index into variant_groups
  std::string folder;      // the archive folder on disk
  std::string name;        // archive file name, folder name + ".zip"
  std::string dest_subdir; // "d:" value, empty for none
  std::string check_path;  // "e:" value, relative to the install directory
  std::vector<SourceItem> items;
  std::string sha256;      // the written archive's, for "h:"
  uint64_t size = 0;       // and its size, for "s:"
};

// Reads the whole source tree into archives in manifest order. 0, or -1 after
// a message naming the offending file.
int layout_read(const std::string& source, std::vector<ArchivePlan>& archives);
