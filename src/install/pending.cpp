#include "install/pending.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "support/log.h"
#include "support/paths.h"

const char* const PENDING_FILE_NAME = "install.pending";

int pending_mark(const std::string& install_dir, const std::string& archive_name) {
  std::string path = path_join(install_dir, PENDING_FILE_NAME);
  // Written aside and renamed, so that a kill never leaves half a name.
  std::string temp = path + ".part";
  FILE* f = std::fopen(temp.c_str(), "wb");
  bool ok = f && std::fprintf(f, "%s\n", archive_name.c_str()) > 0;
  if (f && std::fclose(f) != 0) ok = false;
  if (!ok || plat_rename_replace(temp.c_str(), path.c_str()) != 0) {
    log_message("can't write %s", path.c_str());
    std::remove(temp.c_str());
    return -1;
  }
  return 0;
}

void pending_clear(const std::string& install_dir) {
  std::remove(path_join(install_dir, PENDING_FILE_NAME).c_str());
}

std::string pending_archive(const std::string& install_dir) {
  FILE* f = std::fopen(path_join(install_dir, PENDING_FILE_NAME).c_str(), "rb");
  if (!f) return std::string();
  char line[1024];
  std::string name;
  if (std::fgets(line, sizeof line, f)) name.assign(line, std::strcspn(line, "\r\n"));
  std::fclose(f);
  return name;
}
