// The folder picker of the directory steps.
#pragma once

#include <string>

#include "platform/ui.h"

// Opens the shell's folder picker over owner, preselecting initial when it is
// not empty. Returns 1 with the chosen full path in *path, 0 when cancelled
// (*path is then untouched).
int browse_for_folder(ui_window owner, std::string* path, const char* initial);
