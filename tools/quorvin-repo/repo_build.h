// quorvin-repo build: source tree to archives and filelist.txt.
#pragma once

#include <string>

// Builds the repository of source into out, URLs base_url + archive name.
// Stages everything beside out, checks it as check would, then moves it in;
// files in out that no build wrote are kept. 0, or -1 after messages.
int repo_build(const std::string& source, const std::string& out, const std::string& base_url);
