// quorvin-repo check: would the installer install this repository?
#pragma once

#include <string>

// Reads dir/filelist.txt with the installer's parser and checks every entry
// and its archive. 0 when nothing would fail, -1 after one message per problem.
int repo_check(const std::string& dir);
