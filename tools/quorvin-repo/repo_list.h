// quorvin-repo list: what a user of each variant will get.
#pragma once

#include <string>

// For each variant, the archives a user who picks it downloads and installs
// (the summary page of a first run), with their sizes, d: and e:. text gets
// the lines. 0, or -1 after a message (the manifest refused, an archive
// missing or unreadable; its row then says so).
int repo_list(const std::string& dir, std::string& text);
