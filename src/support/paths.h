// Path helpers. Both separators are accepted wherever one is looked for; joined
// paths carry the native separator ('\\' on Windows, '/' elsewhere).
#pragma once

#include <cstdint>
#include <string>

#ifdef _WIN32
const char PATH_SEP = '\\';
#else
const char PATH_SEP = '/';
#endif

inline bool is_sep(char c) { return c == '/' || c == '\\'; }

// directory + name with one separator between them unless directory already ends
// in one; every separator of the result becomes sep. Returns destination.
std::string& path_join(std::string& destination, const std::string& directory,
                       const std::string& name, char sep = PATH_SEP);
std::string path_join(const std::string& directory, const std::string& name,
                      char sep = PATH_SEP);

// The directory part of path: a drive root (C:\) and a name without separator
// stay whole; otherwise everything before the last separator.
std::string path_dir(const std::string& path);
// In place: cuts path to its directory part and returns it.
char* path_dir(std::nullptr_t, char* path);

// Creates path and every missing parent, logging "mkdir %s" for each one made.
// 0 when the directory exists at the end, -1 (after "mkdir %s failed") otherwise.
int make_dirs(const std::string& path);

// 0 when the drive holding dir has room for needed bytes (or its free space
// cannot be told); -1 after "not enough free space in DIR: N bytes needed, M free".
int require_free_space(const std::string& dir, uint64_t needed);
// The allocation unit of the drive holding dir (see plat_free_space); 1 when unknown.
uint32_t allocation_unit(const std::string& dir);
// What a file of size bytes takes on a drive of that unit: whole units (saturating).
uint64_t size_in_units(uint64_t size, uint32_t unit);

// Reads the file at path into *bytes, or its first max bytes when it holds more.
// 0; 1 when it held more; -1 when it cannot be opened (errno says why), -2 when
// reading it failed (*bytes is then empty).
int read_whole_file(const std::string& path, std::string* bytes, size_t max = SIZE_MAX);

// The name a URL's file goes by: the text after its last '/' (the whole text
// when it has none). It names an entry's archive in the download directory,
// on the summary page and on the download's status line.
std::string url_file_name(const char* url);

// The text after the last separator ('/' or '\\').
std::string path_base(const std::string& path);

// In place: every separator of s ('/' or '\\') becomes sep.
void to_separator(char* s, char sep = PATH_SEP);
