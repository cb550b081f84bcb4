// quorvin-repo check: would the installer install this repository?
#pragma once

#include <string>

// Reads dir/filelist.txt with the installer's parser and checks every entry
// and its archive (its SHA-256 too, where h: gives one). With key_path (a
// minisign.pub) also the signature dir/filelist.txt.minisig and that every
// entry has h:, as an installer built with that key does. 0 when nothing would
// fail, -1 after one message per problem.
int repo_check(const std::string& dir, const std::string& key_path = std::string());
