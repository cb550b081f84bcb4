// How a download or an extraction shows its progress, and how a download waits
// for its worker. The run fills one in for each (the progress page's caption,
// status line, bar and rate line, and the window's events); what is unset shows
// nothing, and without wait and take_event a download only waits for its worker.
#pragma once

#include "platform/platform.h"

struct ProgressView {
  void (*caption)(const char* text) = nullptr;
  void (*status)(const char* text) = nullptr;
  void (*bar_pos)(int pos) = nullptr;
  void (*bar_range)(int max) = nullptr;
  void (*rate)(const char* text) = nullptr;
  // Blocks until the thread has ended (0; also on a failed wait) or events are
  // waiting (1).
  int (*wait)(plat_thread t) = nullptr;
  // Takes one waiting event: 0 none left, 1 served, 2 a quit request.
  int (*take_event)() = nullptr;
};

inline void view_show(void (*shown)(const char*), const char* text) {
  if (shown) shown(text);
}
inline void view_show(void (*shown)(int), int value) {
  if (shown) shown(value);
}
