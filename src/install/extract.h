// Extraction of one zip archive into a directory, with its progress shown
// through the view the run gives it and the archive's file times on the files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/progress_view.h"

// Where the extraction shows its caption, current entry and bar (wait and
// take_event are not used: it runs on the window's thread); the run fills it in.
extern ProgressView extract_view;

// One entry an extraction wrote, as the archive's directory gives it.
struct ExtractedMember {
  std::string name;  // as the archive gives it, read as UTF-8 text
  bool folder;
  uint64_t size;
  uint32_t crc;
};

// Extracts every entry of the archive below destination_dir, creating
// directories as needed and overwriting existing files. 0 when every entry was
// extracted; -1 (after one log line) at the first failure, with the entries
// before it left in place. members, when given, gets the entries written, in
// the archive's order.
int install_archive(const char* archive_path, const char* destination_dir,
                    std::vector<ExtractedMember>* members = nullptr);
