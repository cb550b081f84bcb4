#include "install/pending.h"

#include <cstdio>

#include "platform/platform.h"

int pending_mark(const std::string& archive_path) {
  // Its presence is the whole note: made in one step, there is nothing to tear.
  FILE* f = plat_fopen((archive_path + PENDING_SUFFIX).c_str(), "wb");
  if (!f) return -1;
  return std::fclose(f) == 0 ? 0 : -1;
}

void pending_clear(const std::string& archive_path) {
  plat_remove((archive_path + PENDING_SUFFIX).c_str());
}

bool pending_exists(const std::string& archive_path) {
  return plat_exists((archive_path + PENDING_SUFFIX).c_str()) != 0;
}
