// Directory trees over POSIX: kinds, listings, times, removal.
#include <dirent.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

int plat_path_kind(const char* path) {
  struct stat st;
  if (::stat(path, &st) != 0) return PLAT_KIND_NONE;
  if (S_ISREG(st.st_mode)) return PLAT_KIND_FILE;
  if (S_ISDIR(st.st_mode)) return PLAT_KIND_DIR;
  return PLAT_KIND_OTHER;
}

int plat_list_dir(const char* path, std::vector<std::string>& names) {
  names.clear();
  DIR* dir = ::opendir(path);
  if (!dir) return -1;
  while (dirent* d = ::readdir(dir)) {
    if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
    names.push_back(d->d_name);
  }
  ::closedir(dir);
  return 0;
}

int plat_file_time_dos(const char* path, uint32_t* dos_date_time) {
  struct stat st;
  if (::stat(path, &st) != 0) return -1;
  std::tm tm{};
  if (!::localtime_r(&st.st_mtime, &tm)) return -1;
  int year = tm.tm_year + 1900;
  // MS-DOS times cover 1980 to 2107 only.
  if (year < 1980) {
    *dos_date_time = (1u << 21) | (1u << 16);
    return 0;
  }
  if (year > 2107) {
    *dos_date_time = (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;
    return 0;
  }
  uint32_t date = (static_cast<uint32_t>(year - 1980) << 9) |
                  (static_cast<uint32_t>(tm.tm_mon + 1) << 5) | static_cast<uint32_t>(tm.tm_mday);
  uint32_t time = (static_cast<uint32_t>(tm.tm_hour) << 11) |
                  (static_cast<uint32_t>(tm.tm_min) << 5) | static_cast<uint32_t>(tm.tm_sec / 2);
  *dos_date_time = (date << 16) | time;
  return 0;
}

int plat_rmdir(const char* path) { return ::rmdir(path) == 0 ? 0 : -1; }

int plat_full_path(const char* path, std::string& full) {
  char* resolved = ::realpath(path, nullptr);
  if (!resolved) return -1;
  full = resolved;
  std::free(resolved);
  return 0;
}

int plat_file_size(const char* path, uint64_t* bytes) {
  struct stat st;
  if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  *bytes = static_cast<uint64_t>(st.st_size);
  return 0;
}

extern char** environ;

int plat_run_program(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  if (argv.empty() || posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
