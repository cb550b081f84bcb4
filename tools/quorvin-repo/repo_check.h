// quorvin-repo check: would the installer install this repository?
#pragma once

#include <string>

// Reads dir/filelist.txt with the installer's parser and checks every entry
// and its archive (its SHA-256 too, where h: gives one); warns about files
// there that the manifest does not name. fetch: also fetches every u: (and the
// filelist.txt beside the archives, when they share one folder) as the
// installer would, and compares each with the local file. key_path (a
// minisign.pub): also the signature dir/filelist.txt.minisig and that every
// entry has h:, as an installer built with that key demands. 0 when nothing
// would fail, -1 after one message per problem.
int repo_check(const std::string& dir, bool fetch = false, const std::string& key_path = std::string());
// The checks alone, without a summary line, warnings or fetches: build's look
// at the repository it has just written.
int repo_check_written(const std::string& dir);
