#include "support/paths.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "support/log.h"

std::string& path_join(std::string& destination, const std::string& directory,
                       const std::string& name, char sep) {
  destination = directory;
  if (directory.empty() || !is_sep(directory.back())) destination += sep;
  destination += name;
  for (char& c : destination)
    if (is_sep(c)) c = sep;
  return destination;
}

std::string path_join(const std::string& directory, const std::string& name, char sep) {
  std::string result;
  path_join(result, directory, name, sep);
  return result;
}

namespace {
// Index of the separator that ends the directory part, or npos for a drive
// root or a name without any separator.
size_t dir_cut(const char* path, size_t len) {
  if (len == 3 && path[1] == ':' && is_sep(path[2])) return std::string::npos;
  for (size_t i = len; i-- > 0;)
    if (is_sep(path[i])) return i;
  return std::string::npos;
}
}  // namespace

std::string path_dir(const std::string& path) {
  size_t cut = dir_cut(path.c_str(), path.size());
  return cut == std::string::npos ? path : path.substr(0, cut);
}

char* path_dir(std::nullptr_t, char* path) {
  size_t cut = dir_cut(path, std::strlen(path));
  if (cut != std::string::npos) path[cut] = '\0';
  return path;
}

int make_dirs(const std::string& path) {
  std::string buf = path;
  if (!buf.empty() && is_sep(buf.back())) buf.pop_back();
  // Mostly the whole path is there already: one test instead of one per component.
  if (plat_exists(buf.c_str())) return 0;
  // A separator in the first position never ends a component.
  for (size_t i = 1; i <= buf.size(); ++i) {
    if (i < buf.size() && !is_sep(buf[i])) continue;
    std::string prefix = buf.substr(0, i);
    if (!plat_exists(prefix.c_str())) {
      if (plat_mkdir(prefix.c_str()) != 0) {
        log_message("mkdir %s failed", prefix.c_str());
        return -1;
      }
      log_message("mkdir %s", prefix.c_str());
    }
  }
  return 0;
}

int require_free_space(const std::string& dir, uint64_t needed) {
  uint64_t free_bytes = 0;
  if (plat_free_space(dir.c_str(), &free_bytes) != 0 || needed <= free_bytes) return 0;
  log_message("not enough free space in %s: %llu bytes needed, %llu free", dir.c_str(),
              static_cast<unsigned long long>(needed), static_cast<unsigned long long>(free_bytes));
  return -1;
}

uint32_t allocation_unit(const std::string& dir) {
  uint64_t free_bytes = 0;
  uint32_t unit = 1;
  if (plat_free_space(dir.c_str(), &free_bytes, &unit) != 0 || unit == 0) return 1;
  return unit;
}

uint64_t size_in_units(uint64_t size, uint32_t unit) {
  uint64_t rest = size % unit;
  if (rest == 0) return size;
  return size > UINT64_MAX - (unit - rest) ? UINT64_MAX : size + (unit - rest);
}

int read_whole_file(const std::string& path, std::string* bytes, size_t max) {
  bytes->clear();
  FILE* in = plat_fopen(path.c_str(), "rb");
  if (!in) return -1;
  char block[8192];
  size_t n;
  while (bytes->size() <= max && (n = std::fread(block, 1, sizeof block, in)) > 0)
    bytes->append(block, n);
  bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed) bytes->clear();
  if (failed || bytes->size() <= max) return failed ? -2 : 0;
  bytes->resize(max);
  return 1;
}

std::string url_file_name(const char* url) {
  const char* slash = std::strrchr(url, '/');
  return slash ? slash + 1 : url;
}

std::string path_base(const std::string& path) {
  size_t i = path.find_last_of("/\\");
  return i == std::string::npos ? path : path.substr(i + 1);
}

void to_separator(char* s, char sep) {
  for (; *s; ++s)
    if (is_sep(*s)) *s = sep;
}
