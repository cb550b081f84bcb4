// Helpers shared by the native tests.
#pragma once

#include <string>
#include <vector>

// A fresh directory under the system's temporary directory, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Opens install.log in a temporary directory for the test and reads it back.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  // Closes the log and returns its lines (a re-open follows so logging goes on).
  std::vector<std::string> lines();
  const std::string& path() const { return path_; }

 private:
  TempDir dir_;
  std::string path_;
  std::vector<std::string> seen_;
};

// Removes a file, or a folder with everything in it. 0 when nothing is left.
int tree_remove(const std::string& path);
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);
std::vector<std::string> split_lines(const std::string& text);

// The real minisign tool, run in dir with args (output discarded): true when it
// exits with 0. Keys are made unencrypted (-W) so that signing asks nothing.
bool minisign(const std::string& dir, const std::string& args);
bool have_minisign();
// The key line (the second) of the minisign.pub at path.
std::string minisign_key_line(const std::string& path);
