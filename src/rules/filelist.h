// filelist.txt: the manifest of every archive of the four variants, read into
// an entry list in file order.
#pragma once

#include <cstdio>

// What the manifest says of one archive, as read.
struct FileListEntry {
  int variant;        // -1: every variant; 0..3: that variant only
  char* url;          // "u:" value, heap string or null
  char* dest_subdir;  // "d:" value
  char* check_path;   // "e:" value
  char* sha256;       // "h:" value in lower case (64 hexadecimal digits), or null
  long long size;     // "s:" value: the archive's size in bytes, when has_size
  int has_size;
  int line;           // the manifest line of its "v:", for messages that name it
  FileListEntry* next;
};

// The entries of one manifest; they are freed when it goes (or is cleared).
struct FileList {
  FileListEntry* head = nullptr;
  FileListEntry* tail = nullptr;

  FileList() = default;
  FileList(const FileList&) = delete;
  FileList& operator=(const FileList&) = delete;
  ~FileList() { clear(); }
  void clear();
};

// Why a parse stopped.
enum FilelistOutcome {
  FILELIST_OK = 0,
  FILELIST_CANNOT_OPEN,
  FILELIST_NO_COLON,        // a line that is no comment and has no ':' after its key
  FILELIST_UNKNOWN_VARIANT,
  FILELIST_NO_ENTRY,        // a key before any "v:" of its entry
  FILELIST_BAD_HASH,        // "h:" that is not 64 hexadecimal digits
  FILELIST_BAD_SIZE,        // "s:" that is not a decimal number of bytes
  FILELIST_UNKNOWN_KEY,
  FILELIST_NO_MEMORY,
};

struct FilelistResult {
  FilelistOutcome outcome = FILELIST_OK;
  int line = 0;  // 1-based, of the refused line; 0 when the parse succeeded
};

// Opens path in text mode and parses it into list; logs "can't open %s for reading".
FilelistResult filelist_read(const char* path, FileList* list);
// Appends the entries of stream to list up to its end, or up to the first
// refused line (the entries before it stay).
FilelistResult filelist_parse(FILE* stream, FileList* list);
