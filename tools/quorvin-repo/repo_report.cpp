#include "repo_report.h"

#include <cstdarg>
#include <cstdio>

int repo_error_count = 0;
std::string repo_last_error, repo_error_text, repo_warning_text;
bool repo_quiet = false;

namespace {
// The text of one message, also printed to `to` after prefix unless quiet.
std::string say(FILE* to, const char* prefix, const char* format, va_list args) {
  char text[2048];
  std::vsnprintf(text, sizeof text, format, args);
  if (!repo_quiet) std::fprintf(to, "%s%s\n", prefix, text);
  return text;
}
}  // namespace

int repo_error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  repo_last_error = say(stderr, "quorvin-repo: ", format, args);
  va_end(args);
  repo_error_text += repo_last_error + "\n";
  ++repo_error_count;
  return -1;
}

void repo_warning(const char* format, ...) {
  va_list args;
  va_start(args, format);
  repo_warning_text += say(stderr, "quorvin-repo: warning: ", format, args) + "\n";
  va_end(args);
}

void repo_note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  say(stdout, "", format, args);
  va_end(args);
}

void repo_report_reset() {
  repo_error_count = 0;
  repo_last_error.clear();
  repo_error_text.clear();
  repo_warning_text.clear();
}
