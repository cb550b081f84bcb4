// The opening pass over an archive: one walk over its central directory that
// refuses, before anything is written, what must never be extracted.
#pragma once

#include <unzip.h>

#include <cstdint>
#include <string>

// Walks the count entries of the open archive from the first. Refuses a name
// the member-name rules refuse, an encrypted entry, a method other than stored
// or deflated, a local header that disagrees with its directory entry (its
// name included), data that runs past the end of the file or shares bytes with
// another entry's, and a path that is a file in one entry and a folder in
// another, and a path that Windows cannot make below destination_dir (files
// of 260 characters or more, folders of 248 or more). 0 with the room the files
// take by their declared sizes, each in whole allocation units of the
// destination's drive, in *total; -1 after one line naming the archive and the
// entry. The handle is left on any entry.
int zip_scan(unzFile zip, const char* archive_path, uint64_t count, const std::string& destination_dir,
             uint64_t* total);
