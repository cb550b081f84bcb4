// A repository's manifest: read with the installer's own parser, and the rules
// that each of its entries meets. build applies the rules to what it is about
// to write, check to what it reads, so both refuse the same in the same words.
#pragma once

#include <map>
#include <string>

#include "rules/filelist.h"

// The manifest's file name, and that of its detached signature.
extern const char* const MANIFEST_NAME;
extern const char* const SIGNATURE_NAME;
// The first line of every manifest that build writes.
extern const char* const MANIFEST_HEADER;

// The installer reads lines of at most this many characters.
const size_t MANIFEST_MAX_LINE = 1022;

// Parses dir/filelist.txt with the installer's parser into list. 0, or -1
// after a message naming the refused line and why; the list is empty then.
// missing_ok: a manifest that does not exist gives 1, without a message.
int manifest_load(const std::string& dir, FileList* list, bool missing_ok = false);

// Archive names and markers seen so far: the download directory and the
// install directory are shared by every entry, folded as Windows folds them.
struct EntrySeen {
  std::map<std::string, std::string> names, markers;  // folded -> label of the first
};

// The rules of one entry that says u:url, d:d and e:e (null when absent).
// Messages start with label. marker gets e: as the installer tests it (folded,
// '/' separators), empty when it is not usable. name_fix, when given, ends a
// refusal of the URL or the archive name. 0, or -1 after the messages.
int entry_rules(const std::string& label, const std::string& url, const char* d, const char* e,
                EntrySeen& seen, std::string& marker, const char* name_fix = nullptr);
