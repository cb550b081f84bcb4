#include "support/log.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"
#include "support/paths.h"

std::string program_directory;

namespace {
FILE* log_stream = nullptr;
plat_mutex log_lock = nullptr;

void write_entry(char (&text)[1024], const char* format, va_list args) {
  // vsnprintf cuts an over-long entry to 1023 characters instead of overflowing.
  std::vsnprintf(text, sizeof text, format, args);
  if (!log_stream) return;
  plat_mutex_lock(log_lock);
  std::fputs(text, log_stream);
  std::fputc('\n', log_stream);
  plat_mutex_unlock(log_lock);
}
}  // namespace

void log_open_at(const std::string& path) {
  if (!log_lock) log_lock = plat_mutex_create();
  // Text mode: on Windows every line end becomes CR LF.
  log_stream = std::fopen(path.c_str(), "wt");
}

void log_open() { log_open_at(path_join(program_directory, "install.log")); }

void log_message(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  write_entry(text, format, args);
  va_end(args);
}

std::string log_line(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  write_entry(text, format, args);
  va_end(args);
  return text;
}

void log_close() {
  if (!log_stream) return;
  plat_mutex_lock(log_lock);
  std::fclose(log_stream);
  log_stream = nullptr;
  plat_mutex_unlock(log_lock);
}
