// The note that an archive's extraction is under way: an empty file beside the
// archive in the download directory (ARCHIVE.installing), made just before the
// extraction starts and removed once it has ended well. A run killed halfway
// leaves it behind, so the next run extracts that archive again although its
// marker ("e:") may already be there. No archive member can collide with it,
// and the archive name rules keep entries off the name.
#pragma once

#include <string>

#include "rules/names.h"

// The note of the archive at archive_path. 0, or -1 when it cannot be written
// (the caller goes on; only a later run's redo is lost).
int pending_mark(const std::string& archive_path);
// The extraction has ended well: the note goes.
void pending_clear(const std::string& archive_path);
// Whether the archive's extraction was left unfinished.
bool pending_exists(const std::string& archive_path);
