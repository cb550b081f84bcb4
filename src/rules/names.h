// The rules for names that come from the network: the archive an entry names,
// the "d:" and "e:" paths of the manifest, and the members of an archive. A
// name that passes stays inside the directory it is joined to and means the
// same file on Windows as on the native build. Each *_refusal returns null for
// a name that is fine, otherwise the reason in plain words. The publisher tool
// checks with these same functions.
#pragma once

#include <cstddef>
#include <string>

// Names the program keeps for itself beside an archive in the download
// directory: the body of a download while it arrives, and the note that the
// archive's extraction is under way. No entry may name an archive so.
const char* const DOWNLOAD_TEMP_SUFFIX = ".part";
const char* const PENDING_SUFFIX = ".installing";
// The installer's record of what it installed, kept in the install directory
// (and written there under this name + DOWNLOAD_TEMP_SUFFIX first). No member,
// "d:" or "e:" may have a component of either name, as Windows compares names.
const char* const RECEIPT_NAME = "quorvin-receipt.txt";

// The file name an entry's archive is stored under in the download directory
// (url_file_name of its URL).
const char* archive_name_refusal(const std::string& name);
// A "d:" or "e:" value: relative plain components separated by '/' or '\\'.
const char* relative_path_refusal(const std::string& value);
// A member name as stored in a zip (len bytes, may hold a NUL).
const char* member_name_refusal(const char* name, size_t len);
inline const char* member_name_refusal(const std::string& name) {
  return member_name_refusal(name.data(), name.size());
}
// A member name once read as text (member_name_text): the same rules but the
// length, which holds for the bytes stored.
const char* member_text_refusal(const std::string& text);

// A member's stored name as UTF-8 text: taken as UTF-8 when the archive flags
// it so, else read in the OEM code page (plat_oem_to_utf16). 0, or -1 when the
// bytes are not text in the encoding they claim.
int member_name_text(const char* name, size_t len, bool utf8, std::string& text);
// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or
// code points past U+10FFFF).
bool valid_utf8(const char* text, size_t len);
// The length Windows gives UTF-8 text, in UTF-16 units: its path limits count these.
size_t utf16_length(const std::string& text);

// Two names that Windows takes for one file fold to the same text: letters
// compared without regard to case, in UTF-8 text (Latin, Greek, Cyrillic and
// the full-width forms) and, for bytes that are not UTF-8, as the Western code
// page has them.
std::string fold_name(const std::string& name);
// A name as the log shows it: control bytes as \xNN, so that no name can start
// a log line of its own.
std::string shown_name(const std::string& name);
