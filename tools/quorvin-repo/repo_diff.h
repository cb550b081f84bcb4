// quorvin-repo diff: what a user who installed from one repository gets from another.
#pragma once

#include <string>

// For each variant, what a user who installed it from the repository in
// old_dir gets from the one in new_dir, decided as the installer decides with
// its receipt: the archives downloaded and extracted (new, or an update of one
// installed), the files and folders the updates take away (a file only while
// it is as installed, a folder only when left empty), and the archives no
// longer listed, whose files stay. text gets the lines. 0, or -1 after a
// message (a manifest refused, an archive missing or unreadable, a path that
// an update would have to turn from a file into a folder or back).
int repo_diff(const std::string& old_dir, const std::string& new_dir, std::string& text);
