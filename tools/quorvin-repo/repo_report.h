// Messages of the repository tool: problems to stderr, progress to stdout.
#pragma once

#include <string>

#if defined(__GNUC__)
#define REPO_PRINTF __attribute__((format(printf, 1, 2)))
#else
#define REPO_PRINTF
#endif

// "quorvin-repo: <text>" on stderr; counted and kept for the caller. Returns
// -1, the failure it reports.
int repo_error(const char* format, ...) REPO_PRINTF;
// "quorvin-repo: warning: <text>" on stderr: worth fixing, fails nothing.
void repo_warning(const char* format, ...) REPO_PRINTF;
// "<text>" on stdout, unless quiet.
void repo_note(const char* format, ...) REPO_PRINTF;

extern int repo_error_count;
extern std::string repo_last_error;  // the latest message
extern std::string repo_error_text;  // every message since the reset, one a line
extern std::string repo_warning_text;  // every warning since the reset, one a line
extern bool repo_quiet;  // silences repo_note and the stderr copy of repo_error

// Clears the count and the kept texts (before each command).
void repo_report_reset();
