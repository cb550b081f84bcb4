// install.log: one plain-text entry per call, beside the executable.
#pragma once

#include <string>

// Opens install.log in the program directory (rewriting it). A failure is silent.
void log_open();
// Opens the log at an explicit path (tests; log_open uses the program directory).
void log_open_at(const std::string& path);
// Writes one entry: the formatted text (cut to 1023 characters) and a line end,
// under one lock so that entries of two threads never mix.
void log_message(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// log_message that also hands back the entry's text (as cut), for a caller
// that reports the same words elsewhere.
std::string log_line(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// A line of a body's chunks, thousands a second: it reaches the file with the
// next other line or, through log_flush_due, within a second; every other line
// reaches it at once, so that a killed run leaves what it did in the log.
void log_chunk_line(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Writes out chunk lines held for a second or more (cheap when none are).
void log_flush_due();
void log_close();

// The program directory (set once at start; holds install.log).
extern std::string program_directory;
