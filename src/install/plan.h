// The install plan: which archives of the entry list to download and which to
// extract, from the wizard's choices and what is already on disk.
#pragma once

#include <string>

#include "display/display.h"

// The choices a plan is built from.
struct PlanInput {
  int mode = DownloadAndInstall;    // an InstallModeId
  int variant_flags[4] = {0, 0, 0, 0};  // 1: the variant is wanted
  std::string download_directory;   // empty: not chosen
  std::string install_directory;    // empty: not chosen (DownloadOnly needs none)
};

// Fills local_path, installed, archive_exists, download and extract of every
// entry and logs each decision. Changes nothing on disk. -1 (with a log line)
// when an entry lacks what the run needs of it; then nothing is planned.
int plan_build(const PlanInput& in);
