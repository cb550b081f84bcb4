// Download of one URL into one file: request and headers on the user-interface
// thread, the body copied by a worker thread while the window is served.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Downloads url into local_path. The body goes to local_path + ".part" and is
// renamed over local_path only when it arrived whole, so a failed, cancelled or
// killed download never leaves a partial file under the final name (nor
// destroys an older one). With sha256 (64 lower-case hexadecimal digits) the
// body is hashed as it is written and kept only when its SHA-256 is that one.
// 0 on success, -1 on failure or the user's quit request.
int net_get(const char* url, const char* local_path, int expected_size,
            const char* sha256 = nullptr);

// The name the body is written to while it arrives.
const char* const DOWNLOAD_TEMP_SUFFIX = ".part";

void progress_start(int expected_size);
void progress_update(int bytes_so_far);
// The worker: copies the body into the open FILE* given as arg. Returns 0.
unsigned download_thread(void* file);

// How the worker is started (plat_thread_start); tests make it fail.
extern plat_thread (*download_start_thread)(plat_thread_fn fn, void* arg);
// The tick source of the progress display (plat_tick_ms); tests replace it.
extern uint32_t (*progress_tick)();
