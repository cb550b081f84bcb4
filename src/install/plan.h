// The install plan: which archives of the entry list to download and which to
// extract, from the wizard's choices and what is already on disk.
#pragma once

#include <string>
#include <vector>

#include "rules/filelist.h"

// What the run does with the archives it needs.
enum class RunMode { DownloadAndInstall, DownloadOnly, InstallFromDirectory };

// The choices a plan is built from.
struct PlanInput {
  RunMode mode = RunMode::DownloadAndInstall;
  int variant_flags[4] = {0, 0, 0, 0};  // 1: the variant is wanted
  std::string download_directory;   // empty: not chosen
  std::string install_directory;    // empty: not chosen (DownloadOnly needs none)
};

// The plan's decision for one entry of the manifest.
struct PlannedEntry {
  const FileListEntry* entry;
  std::string local_path;  // the archive's file in the download directory; empty for another variant
  int installed = 0;
  int update = 0;  // with "h:": installed here, but not this archive as the receipt records it
  int archive_exists = 0;
  int download = 0;
  int extract = 0;
};

// Decides for every entry of list, in its order, and logs each decision, with
// the install directory's receipt as installed_load last read it. Changes
// nothing on disk. -1 (with a log line) when an entry lacks what the
// run needs of it; then plan is empty.
int plan_build(const PlanInput& in, const FileList& list, std::vector<PlannedEntry>* plan);
