// Download of one URL into one file: request and headers on the user-interface
// thread, the body copied by a worker thread while the window is served.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "rules/names.h"

// Where a download shows its progress and how it waits for its worker. The
// program fills it in (the progress page's status line, bar and rate line, and
// the window's events); what is unset shows nothing, and without wait and
// take_event the download only waits for its worker.
struct DownloadView {
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
extern DownloadView download_view;

// What the caller asks of a body beyond its announced length.
struct DownloadCheck {
  int64_t max_size = 0;       // more fails the download (0: no limit)
  bool refuse_empty = false;  // a body of 0 bytes fails it (an archive is never empty)
  // 64 lower-case hexadecimal digits, or null: the body is hashed as it is
  // written and kept only when its SHA-256 is this one.
  const char* sha256 = nullptr;
};
// Downloads url into local_path. The body goes to local_path + ".part" and is
// renamed over local_path only when it arrived whole, so a failed, cancelled or
// killed download never leaves a partial file under the final name (nor
// destroys an older one). 0 on success, -1 on failure or the user's quit request.
int net_get(const char* url, const char* local_path, int64_t expected_size,
            const DownloadCheck* check = nullptr);

void progress_start(int64_t expected_size);
void progress_update(int64_t bytes_so_far);
// The worker: copies the body into the open FILE* given as arg. Returns 0.
unsigned download_thread(void* file);

// How the worker is started (plat_thread_start); tests make it fail.
extern plat_thread (*download_start_thread)(plat_thread_fn fn, void* arg);
// The tick source of the progress display (plat_tick_ms); tests replace it.
extern uint32_t (*progress_tick)();
