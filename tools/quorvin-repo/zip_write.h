// Writing one archive with minizip's zip interface.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "repo_tree.h"

// Writes items, in their order, into a new zip at path: files deflated with
// their times, folders stored empty; every other field fixed, so the same
// items give the same bytes. A file that could come to zip64_from bytes or more
// (deflated or not) gets zip64 records. 0, or -1 after a message naming the file.
int zip_write(const std::string& path, const std::vector<SourceItem>& items,
              uint64_t zip64_from = 0xFFFFFFFFu);
