// Writing one archive with minizip's zip interface.
#pragma once

#include <string>
#include <vector>

#include "repo_tree.h"

// Writes items, in their order, into a new zip at path: files deflated with
// their times, folders stored empty; every other field fixed, so the same
// items give the same bytes. 0, or -1 after a message naming the file.
int zip_write(const std::string& path, const std::vector<SourceItem>& items);
