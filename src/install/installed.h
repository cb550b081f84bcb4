// The receipt of the run's install directory (RECEIPT_NAME there): read once,
// before the list is checked (a list signed before the newest one installed
// from here is refused) and the plan is made (an installed archive with "h:"
// counts as this one only when its record has that SHA-256); written again,
// under a temporary name and then renamed, after each archive's extraction has
// ended well, so that a killed run leaves the old record beside the archive's
// ".installing" note and the next run redoes both.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "install/extract.h"
#include "rules/receipt.h"

struct FileListEntry;

// Reads the receipt of install_directory (none for an empty one). A receipt
// that cannot be read or is damaged counts as none, after a log line.
void installed_load(const std::string& install_directory);
// The record of the archive of that name, or null.
const ReceiptArchive* installed_record(const std::string& archive_name);
// The newest signed timestamp of a list installed from here; 0 when none is known.
int64_t installed_newest();

// A run that found everything of a list signed at signed_at in place: the
// receipt takes that as its newest (written when it is newer and the install
// directory exists; a failure is logged).
void installed_raise(int64_t signed_at);

// Before the archive's extraction: which of the files its record lists are
// still as installed (each such file is read for its CRC-32).
void installed_check(const std::string& archive_name);
// After its extraction ended well: removes what the archive no longer has (a
// file only while it is as installed; folders only when left empty), then
// writes the receipt with the archive's new record. 0, or -1 when the receipt
// could not be written (logged; the next run then takes the archive for an update).
int installed_update(const std::string& archive_name, const FileListEntry* e, int64_t signed_at,
                     const std::vector<ExtractedMember>& members);
