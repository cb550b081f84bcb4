// quorvin-repo check: would the installer install this repository?
#pragma once

#include <string>

// Reads dir/filelist.txt with the installer's parser and checks every entry
// and its archive; warns about files there that the manifest does not name.
// fetch: also fetches every u: (and the filelist.txt beside the archives, when
// they share one folder) as the installer would, and compares each with the
// local file. 0 when nothing would fail, -1 after one message per problem.
int repo_check(const std::string& dir, bool fetch = false);
// The checks alone, without a summary line, warnings or fetches: build's look
// at the repository it has just written.
int repo_check_written(const std::string& dir);
