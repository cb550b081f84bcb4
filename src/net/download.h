// Download of one URL into one file: request and headers on the user-interface
// thread, the body copied by a worker thread while the window is served.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "rules/names.h"
#include "support/progress_view.h"

// Where a download shows its progress and how it waits for its worker; the
// run fills it in.
extern ProgressView download_view;

// A body that stalls fails the attempt: fewer than DOWNLOAD_STALL_BYTES arriving
// within download_stall_ms, counted from the start of the body and again each
// time that many have come. A real connection, even a very slow one, is far
// above it; the user can still cancel at any time. Tests shorten the time.
const int DOWNLOAD_STALL_MS = 60000;
const int DOWNLOAD_STALL_BYTES = 1024;
extern int download_stall_ms;

// What the caller asks of a body beyond its announced length.
struct DownloadCheck {
  int64_t max_size = 0;       // more fails the download (0: no limit)
  bool refuse_empty = false;  // a body of 0 bytes fails it (an archive is never empty)
  // 64 lower-case hexadecimal digits, or null: the body is hashed as it is
  // written and kept only when its SHA-256 is this one.
  const char* sha256 = nullptr;
  // The size the list gives, or -1: another announced length fails the
  // download before a byte is written, and no byte past it is read.
  int64_t exact_size = -1;
};
// Downloads url into local_path. The body goes to local_path + ".part" and is
// renamed over local_path only when it arrived whole, so a failed, cancelled or
// killed download never leaves a partial file under the final name (nor
// destroys an older one). 0 on success, -1 on failure or the user's quit request.
int net_get(const char* url, const char* local_path, int64_t expected_size,
            const DownloadCheck* check = nullptr);

void progress_start(int64_t expected_size);
void progress_update(int64_t bytes_so_far);
// The worker: copies the body into the block writer (a BlockWriter*) given as
// arg and finishes it. Returns 0.
unsigned download_thread(void* writer);

// How the worker is started (plat_thread_start); tests make it fail.
extern plat_thread (*download_start_thread)(plat_thread_fn fn, void* arg);
// The tick source of the progress display (plat_tick_ms); tests replace it.
extern uint32_t (*progress_tick)();
