#include "support/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "support/paths.h"

std::string program_directory;

namespace {
FILE* log_stream = nullptr;
plat_mutex log_lock = nullptr;
// Chunk lines not yet in the file, whole lines only (a kill must not leave half
// a line), and when the file last got everything.
std::string held_lines;
std::atomic<bool> held{false};
uint32_t last_flush = 0;

const uint32_t HOLD_MS = 1000;
const size_t HOLD_BYTES = 64 * 1024;

// One write of whole lines: the stream is unbuffered.
void flush_locked() {
  std::fwrite(held_lines.data(), 1, held_lines.size(), log_stream);
  held_lines.clear();
  held = false;
  last_flush = plat_tick_ms();
}

void write_entry(char (&text)[1024], const char* format, va_list args, bool chunk) {
  // vsnprintf cuts an over-long entry to 1023 characters instead of overflowing.
  std::vsnprintf(text, sizeof text, format, args);
  if (!log_stream) return;
  plat_mutex_lock(log_lock);
  held_lines += text;
  held_lines += '\n';
  if (!chunk || held_lines.size() >= HOLD_BYTES || plat_tick_ms() - last_flush >= HOLD_MS)
    flush_locked();
  else
    held = true;
  plat_mutex_unlock(log_lock);
}
}  // namespace

void log_open_at(const std::string& path) {
  if (!log_lock) log_lock = plat_mutex_create();
  // Text mode: on Windows every line end becomes CR LF.
  log_stream = plat_fopen(path.c_str(), "wt");
  if (log_stream) std::setvbuf(log_stream, nullptr, _IONBF, 0);
  held_lines.clear();
  held = false;
  last_flush = plat_tick_ms();
}

void log_open() { log_open_at(path_join(program_directory, "install.log")); }

void log_message(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  write_entry(text, format, args, false);
  va_end(args);
}

std::string log_line(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  write_entry(text, format, args, false);
  va_end(args);
  return text;
}

void log_chunk_line(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  write_entry(text, format, args, true);
  va_end(args);
}

void log_flush_due() {
  if (!log_stream || !held) return;
  plat_mutex_lock(log_lock);
  if (log_stream && held && plat_tick_ms() - last_flush >= HOLD_MS) flush_locked();
  plat_mutex_unlock(log_lock);
}

void log_close() {
  if (!log_stream) return;
  plat_mutex_lock(log_lock);
  flush_locked();
  std::fclose(log_stream);
  log_stream = nullptr;
  plat_mutex_unlock(log_lock);
}
