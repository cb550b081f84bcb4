// The opening pass over an archive: one walk over its central directory that
// refuses, before anything is written, what must never be extracted.
#pragma once

#include <unzip.h>

#include <cstdint>
#include <string>

// What the opening pass found wrong, the first thing only.
enum ZipRefusal {
  ZIP_GOOD = 0,
  ZIP_UNREADABLE,       // the file or its directory cannot be read
  ZIP_NAME_TOO_LONG,    // 256 bytes or more
  ZIP_NO_NAME,
  ZIP_UNSAFE_NAME,      // refused by member_name_refusal
  ZIP_ENCRYPTED,
  ZIP_METHOD,           // neither stored nor deflated
  ZIP_STORED_SIZES,     // a stored entry whose two sizes differ
  ZIP_LOCAL_HEADER,     // missing, or not matching its directory entry
  ZIP_PAST_END,
  ZIP_LOCAL_NAME,       // the local header holds another name
  ZIP_PATH_TOO_LONG,    // below the destination, for Windows
  ZIP_UNCOUNTED,        // directory entries the end record does not count
  ZIP_SHARED_BYTES,     // two entries' data overlap
  ZIP_SAME_FILE,        // two entries name one file as Windows folds names
  ZIP_FILE_AND_FOLDER,  // one path as a file and as a folder
  ZIP_LINK,             // a symbolic link
  ZIP_NAME_ENCODING,    // a name that is not text in the encoding it claims
};

struct ZipScan {
  ZipRefusal refusal = ZIP_GOOD;
  std::string member;  // the entry concerned, as the log shows it; empty when none is
  std::string reason;  // the refusal in words, without the archive's name
  std::string line;    // the installer's log line for it
  uint64_t room = 0;   // what the files take, in whole allocation units of the destination's drive
};

// The current entry's name as UTF-8 text: UTF-8 when flagged so; else the
// Unicode Path field that still matches it; else, made on Unix, the bytes when
// they are UTF-8; else read in the OEM code page (member_name_text). 0, or -1
// when it is not text.
int zip_entry_name(unzFile zip, const unz_file_info64& info, const char* stored, std::string& name);
// Whether an entry is a folder: a name ending in a separator, or, without
// data, the MS-DOS folder attribute or a Unix folder mode alone (as some tools
// write folders).
bool zip_entry_is_folder(const unz_file_info64& info, const std::string& name);

// Walks the count entries of the open archive from the first. Refuses a name
// that is not text in its encoding or, read as text, the member-name rules refuse, a symbolic link, an encrypted entry, a method other than stored
// or deflated, a local header that disagrees with its directory entry (its
// name included), data that runs past the end of the file or shares bytes with
// another entry's, a directory holding entries its count leaves out, a path
// that is a file in one entry and a folder in another or names one file twice
// as Windows compares names, and a path that Windows cannot make below
// destination_dir (files of 260 characters or more, folders of 248 or more,
// in UTF-16 units; destination_dir is UTF-8).
// Logs nothing: the installer logs the line, quorvin-repo prints the reason.
// The handle is left on any entry.
ZipScan zip_scan(unzFile zip, const char* archive_path, uint64_t count, const std::string& destination_dir);
