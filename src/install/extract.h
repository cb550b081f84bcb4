// Extraction of one zip archive into a directory, with progress on the
// wizard's progress page and the archive's file times on the files.
#pragma once

// Extracts every entry of the archive below destination_dir, creating
// directories as needed and overwriting existing files. 0 when every entry was
// extracted; -1 (after one log line) at the first failure, with the entries
// before it left in place.
int install_archive(const char* archive_path, const char* destination_dir);
