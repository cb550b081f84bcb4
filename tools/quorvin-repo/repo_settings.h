// archive.ini, the settings file of an archive folder: "d = subfolder" and
// "e = marker path", each at most once, '#' or ';' comment lines.
#pragma once

#include <string>

// The file's name; never put into the archive.
extern const char* const ARCHIVE_SETTINGS;

struct ArchiveSettings {
  std::string d, e;      // the values as given, empty when not given
  int d_line = 0, e_line = 0;  // where they were given, 0 for nowhere
};

// Reads the settings file at path. Every line that would not mean what it
// seems to is refused with the file and line named. 0, or -1 after a message.
int settings_read(const std::string& path, ArchiveSettings& settings);
