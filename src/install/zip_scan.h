// The opening pass over an archive: one walk over its central directory that
// refuses, before anything is written, what must never be extracted.
#pragma once

#include <unzip.h>

#include <cstdint>

// Walks the count entries of the open archive from the first. Refuses a name
// the member-name rules refuse, an encrypted entry, a method other than stored
// or deflated, a local header that disagrees with its directory entry (its
// name included), data that runs past the end of the file or shares bytes with
// another entry's, and a path that is a file in one entry and a folder in
// another. 0 with the room the files take by their declared sizes, each in
// whole allocation units of unit bytes, in *total; -1 after one line naming the
// archive and the entry. The handle is left on any entry.
int zip_scan(unzFile zip, const char* archive_path, uint64_t count, uint32_t unit, uint64_t* total);
