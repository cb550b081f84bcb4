#include "testkit/testkit.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/log.h"

namespace {
// The tests talk to servers on loopback: a proxy named in the environment of
// whoever runs them must not come in between (the proxy tests name their own).
const bool proxies_cleared = [] {
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY"}) unsetenv(name);
  return true;
}();
}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quorvin-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data())) path_ = buf.data();
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::string cmd = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
  if (std::system(cmd.c_str()) != 0) {
  }
}

int tree_remove(const std::string& path) {
  std::error_code error;
  std::filesystem::remove_all(path, error);
  return error ? -1 : 0;
}

LogCapture::LogCapture() : path_(dir_ / "install.log") { log_open_at(path_); }

LogCapture::~LogCapture() { log_close(); }

std::vector<std::string> LogCapture::lines() {
  log_close();
  std::vector<std::string> now = split_lines(read_file(path_));
  seen_.insert(seen_.end(), now.begin(), now.end());
  log_open_at(path_);
  return seen_;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary);
  out << data;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string cur;
  for (char c : text) {
    if (c == '\n') {
      if (!cur.empty() && cur.back() == '\r') cur.pop_back();
      lines.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

bool minisign(const std::string& dir, const std::string& args) {
  std::string cmd = "cd '" + dir + "' && minisign " + args + " >/dev/null 2>&1 </dev/null";
  return std::system(cmd.c_str()) == 0;
}

bool have_minisign() { return std::system("minisign -v >/dev/null 2>&1") == 0; }

std::string minisign_key_line(const std::string& path) {
  std::vector<std::string> lines = split_lines(read_file(path));
  return lines.size() >= 2 ? lines[1] : std::string();
}
