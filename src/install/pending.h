// The archive whose extraction is under way, named in a small file in the
// install directory from just before its extraction starts until it has ended
// well. A run killed halfway leaves the file behind, so the next run extracts
// that archive again although its marker ("e:") may already be there.
#pragma once

#include <string>

extern const char* const PENDING_FILE_NAME;

// Names archive_name as under way in install_dir. 0, or -1 after a log line.
int pending_mark(const std::string& install_dir, const std::string& archive_name);
// The extraction has ended well: the file goes.
void pending_clear(const std::string& install_dir);
// The archive named as under way in install_dir; empty when none is.
std::string pending_archive(const std::string& install_dir);
