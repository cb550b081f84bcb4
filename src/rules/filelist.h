// filelist.txt: the manifest of every archive of the four variants, read into
// the entry list in file order.
#pragma once

#include <cstdio>

struct FileListEntry {
  int variant;        // -1: every variant; 0..3: that variant only
  char* url;          // "u:" value, heap string or null
  char* dest_subdir;  // "d:" value
  char* check_path;   // "e:" value
  char* sha256;       // "h:" value in lower case (64 hexadecimal digits), or null
  char* local_path;   // set by the install plan
  int installed;
  int archive_exists;
  int download;
  int extract;
  FileListEntry* next;
  int line;  // the manifest line of its "v:", for tools that name it
};

extern FileListEntry* entry_list_head;
extern FileListEntry* entry_list_tail;

// Where and why the last parse stopped, for tools that check a manifest.
// line is 1-based; 0 when the last parse succeeded.
struct FilelistError {
  int line;
  const char* reason;  // static text, null on success
};

// Opens path in text mode and parses it; logs "can't open %s for reading".
int filelist_read(const char* path);
// 0 at the end of the stream, -1 at the first refused line (entries before it stay).
int filelist_parse(FILE* stream);
// As filelist_parse, also telling where it stopped. err may be null.
int filelist_parse_ex(FILE* stream, FilelistError* err);
// Releases every entry and its strings; the list is empty afterwards.
void entry_list_free();
