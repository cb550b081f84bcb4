#include "repo_report.h"

#include <cstdarg>
#include <cstdio>

int repo_error_count = 0;
std::string repo_last_error;
std::string repo_error_text;
std::string repo_warning_text;
bool repo_quiet = false;

namespace {
std::string format_text(const char* format, va_list args) {
  char text[2048];
  std::vsnprintf(text, sizeof text, format, args);
  return text;
}
}  // namespace

void repo_error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  repo_last_error = format_text(format, args);
  va_end(args);
  repo_error_text += repo_last_error + "\n";
  ++repo_error_count;
  if (!repo_quiet) std::fprintf(stderr, "quorvin-repo: %s\n", repo_last_error.c_str());
}

void repo_warning(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_text(format, args);
  va_end(args);
  repo_warning_text += text + "\n";
  if (!repo_quiet) std::fprintf(stderr, "quorvin-repo: warning: %s\n", text.c_str());
}

void repo_note(const char* format, ...) {
  if (repo_quiet) return;
  va_list args;
  va_start(args, format);
  std::string text = format_text(format, args);
  va_end(args);
  std::printf("%s\n", text.c_str());
}

void repo_report_reset() {
  repo_error_count = 0;
  repo_last_error.clear();
  repo_error_text.clear();
  repo_warning_text.clear();
}
