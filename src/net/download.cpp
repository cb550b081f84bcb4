#include "net/download.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "net/http.h"
#include "net/socket.h"
#include "platform/platform.h"
#include "support/block_writer.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/sha256.h"

ProgressView download_view;
uint32_t (*progress_tick)() = plat_tick_ms;
int download_stall_ms = DOWNLOAD_STALL_MS;
plat_thread (*download_start_thread)(plat_thread_fn, void*) = plat_thread_start;

namespace {
const int CHUNK_SIZE = 8192;
const uint32_t UPDATE_INTERVAL_MS = 200;
const unsigned QUIT_PAUSE_MS = 250;
// Room left on the drive by a body of unknown length: the system and other
// programs need some too.
const uint64_t DRIVE_RESERVE = 64ull << 20;

// The transfer counters. Written by the user-interface thread before the
// worker starts; then by the worker alone; read back after it has ended.
int64_t bytes_received = 0;
int64_t progress_total = 0;
uint32_t start_tick = 0;
uint32_t last_update_tick = 0;
// Set by the worker when the file could not take a chunk, or the body grew
// past what the caller allows or the drive can take (-1: no limit).
bool write_failed = false;
bool too_large = false;
int64_t size_limit = -1;
bool limit_is_drive = false;  // the limit is the drive's free space, not the caller's
// The SHA-256 of the bytes written, when the caller gave one to compare.
bool body_hashed = false;
Sha256 body_hash;
}  // namespace

namespace {
// Without the window's events the wait is only for the worker.
int wait_for(plat_thread t) {
  if (download_view.wait && download_view.take_event) return download_view.wait(t);
  plat_thread_join(t);
  return 0;
}
}  // namespace

void progress_start(int64_t expected_size) {
  view_show(download_view.status, "Connecting...");
  view_show(download_view.bar_pos, 0);
  view_show(download_view.bar_range, 100);
  view_show(download_view.rate, "");
  progress_total = expected_size;
  bytes_received = 0;
  start_tick = progress_tick();
  last_update_tick = 0;
}

void progress_update(int64_t bytes_so_far) {
  uint32_t now = progress_tick();
  if (now == start_tick) return;
  // Differences, not sums, so that the tick count wrapping around mid-transfer
  // cannot freeze the display; 0 means nothing shown yet.
  if (last_update_tick != 0 && now - last_update_tick < UPDATE_INTERVAL_MS) return;
  last_update_tick = now;
  uint32_t elapsed = (now - start_tick) / 1000;
  if (elapsed == 0) elapsed = 1;
  int percent = progress_total == 0 ? 0 : static_cast<int>(bytes_so_far * 100 / progress_total);
  view_show(download_view.bar_pos, percent);
  double rate = static_cast<float>(bytes_so_far / 1024.0) / static_cast<double>(elapsed);
  char text[128];
  std::snprintf(text, sizeof text, "%3d%%  %lldk/%lldk  %.1fk/s", percent,
                static_cast<long long>(bytes_so_far / 1024), static_cast<long long>(progress_total / 1024),
                rate);
  view_show(download_view.rate, text);
}

namespace {
// The worker's side of one chunk: logged, counted and shown as if it had been
// received by itself. False when the body grew past the caller's limit.
bool take_chunk(int n, int64_t* total) {
  log_chunk_line("socket_read %d bytes", n);
  if (size_limit >= 0 && *total + n > size_limit) {
    if (limit_is_drive)
      log_message("net_get: the body goes on past the %lld bytes the drive has free, giving up",
                  static_cast<long long>(size_limit));
    else
      log_message("net_get: more than %lld bytes, giving up", static_cast<long long>(size_limit));
    too_large = true;
    return false;
  }
  *total += n;
  bytes_received += n;
  progress_update(*total);
  return true;
}

void log_write_failure(int error) {
  log_message("fwrite() failed: %s", std::strerror(error));
  write_failed = true;
}
}  // namespace

unsigned download_thread(void* arg) {
  BlockWriter* writer = static_cast<BlockWriter*>(arg);
  log_message("download thread started");
  // Received straight into large blocks that the writer's thread writes (and
  // hashes, when asked) while the next one arrives: no second pass over the
  // file. Logged and shown in chunks of 8192 bytes all the same.
  int64_t total = 0;
  bool ended = false, stop = false;
  int64_t since_window = 0;  // bytes since the stall window last started
  socket_set_deadline(download_stall_ms);
  while (!ended && !stop) {
    size_t room = 0;
    char* block = block_writer_space(writer, &room);
    if (!block) break;  // a write failed: logged once the writer has ended
    size_t filled = 0, logged = 0;
    while (filled < room) {
      int n = socket_read_some(block + filled, static_cast<int>(room - filled));
      if (n <= 0) {
        ended = true;
        break;
      }
      filled += static_cast<size_t>(n);
      since_window += n;
      if (since_window >= DOWNLOAD_STALL_BYTES) {
        since_window = 0;
        socket_set_deadline(download_stall_ms);
      }
      for (; filled - logged >= CHUNK_SIZE && !stop; logged += CHUNK_SIZE) stop = !take_chunk(CHUNK_SIZE, &total);
      if (stop) break;
    }
    if (ended && filled > logged && !stop) {
      stop = !take_chunk(static_cast<int>(filled - logged), &total);
      logged = filled;
    }
    if (!stop && filled > 0) block_writer_part(writer, filled);
  }
  if (ended) log_message("socket_read 0 bytes");
  int error = 0;
  if (block_writer_finish(writer, &error) != 0) log_write_failure(error);
  log_message("download thread ended");
  return 0;
}

int net_get(const char* url, const char* local_path, int64_t expected_size, const DownloadCheck* check) {
  static const DownloadCheck none;
  if (!check) check = &none;
  // The first failure recorded is the one net_last_result reports.
  auto failed = [] { return net_last_result().outcome != NET_OK; };
  log_message("download \"%s\"", url);
  progress_start(expected_size);
  if (net_open(url) < 0) {
    log_message("net_get: net_open() failed");
    return -1;
  }
  int64_t content_length = net_content_length();
  // A length of 0 is checked like any other: bytes after it are no part of the body.
  bool length_given = net_content_length_given();
  if (content_length > 0) progress_total = content_length;
  // Refused before a byte is written: a body larger than allowed, or larger
  // than the drive can take.
  if (check->max_size > 0 && content_length > check->max_size) {
    net_record_failure(NET_TOO_LARGE, log_line("net_get: %lld bytes announced, more than the %lld allowed",
                                               static_cast<long long>(content_length),
                                               static_cast<long long>(check->max_size)));
    socket_close();
    return -1;
  }
  if (check->exact_size >= 0 && length_given && content_length != check->exact_size) {
    net_record_failure(NET_BAD_CONTENT_LENGTH,
                       log_line("net_get: %lld bytes announced, the list says %lld",
                                static_cast<long long>(content_length), static_cast<long long>(check->exact_size)));
    socket_close();
    return -1;
  }
  if (content_length > 0 && require_free_space(path_dir(local_path), static_cast<uint64_t>(content_length)) != 0) {
    net_record_failure(NET_NO_SPACE);
    socket_close();
    return -1;
  }

  std::string temp = std::string(local_path) + DOWNLOAD_TEMP_SUFFIX;
  FILE* file = plat_fopen(temp.c_str(), "wb");
  if (!file) {
    const char* why = std::strerror(errno);
    net_record_failure(NET_WRITE_FAILED, log_line("net_get: can't open %s for writing: %s", temp.c_str(),
                                                  why ? why : "(unknown error)"));
    socket_close();
    return -1;
  }
  log_message("net_get: opened %s for writing", temp.c_str());
  // The writer hands over whole blocks: each goes to the file in one write, uncopied.
  std::setvbuf(file, nullptr, _IONBF, 0);

  std::string status = "Downloading " + url_file_name(url) + "...";
  view_show(download_view.status, status.c_str());

  write_failed = false;
  too_large = false;
  // The list's size, else the caller's limit; a body of unknown length and no
  // limit stops before it fills the drive (what the drive needs for itself is kept).
  size_limit = check->exact_size >= 0 ? check->exact_size : check->max_size > 0 ? check->max_size : -1;
  limit_is_drive = false;
  uint64_t free_bytes = 0;
  if (size_limit < 0 && !length_given && plat_free_space(path_dir(local_path).c_str(), &free_bytes) == 0) {
    size_limit = free_bytes > DRIVE_RESERVE ? static_cast<int64_t>(free_bytes - DRIVE_RESERVE) : 0;
    limit_is_drive = true;
  }
  body_hashed = check->sha256 != nullptr;
  if (body_hashed) sha256_start(body_hash);
  // The worker and the writer's thread: without either the download fails.
  BlockWriterSetup writing;
  writing.blocks = 4;  // four in flight, 1 MiB: memory stays flat
  writing.out = file;
  writing.hash = body_hashed ? &body_hash : nullptr;
  BlockWriter* writer = block_writer_start(writing);
  plat_thread thread = writer ? download_start_thread(download_thread, writer) : nullptr;
  if (!thread) {
    if (writer) block_writer_finish(writer);
    net_record_failure(NET_NO_THREAD, log_line("net_get: can't start the download thread"));
  } else {
    while (wait_for(thread) == 1) {
      log_flush_due();
      int r;
      while ((r = download_view.take_event()) != 0) {
        if (r != 2) continue;
        net_record_failure(NET_CANCELLED, log_line("received WM_QUIT, stopping thread"));
        socket_interrupt();  // wakes the worker's receive
        plat_sleep_ms(QUIT_PAUSE_MS);
      }
    }
    // A failed wait leaves the worker running: never close its file under it.
    if (!plat_thread_done(thread)) socket_interrupt();
    plat_thread_join(thread);
    plat_thread_close(thread);
  }
  // The worker's own failures were logged where they happened.
  if (too_large) net_record_failure(NET_TOO_LARGE);
  if (write_failed) net_record_failure(NET_WRITE_FAILED);
  if (std::fclose(file) != 0)
    net_record_failure(NET_WRITE_FAILED, log_line("fclose() failed: %s", std::strerror(errno)));
  int recv_state = socket_recv_state();
  socket_close();

  // A reset is not the end of a body of unknown length; but once all of the
  // announced length has arrived, nothing is lost by it.
  bool whole = length_given && content_length == bytes_received;
  if (!failed() && recv_state == SOCKET_RECV_TIMED_OUT && !whole) {
    net_record_failure(NET_TIMED_OUT, log_line("net_get: the body stalled: fewer than %d bytes in %d ms, after %lld bytes",
                                               DOWNLOAD_STALL_BYTES, download_stall_ms,
                                               static_cast<long long>(bytes_received)));
  } else if (!failed() && recv_state == SOCKET_RECV_CUT && !whole) {
    net_record_failure(NET_TLS_CUT, log_line("net_get: the TLS stream ended without close_notify after %lld bytes",
                                             static_cast<long long>(bytes_received)));
  } else if (!failed() && recv_state != SOCKET_RECV_OK && !whole) {
    net_record_failure(NET_RECEIVE_FAILED,
                       log_line("net_get: receive failed after %lld bytes", static_cast<long long>(bytes_received)));
  }
  if (length_given && content_length != bytes_received) {
    net_record_failure(bytes_received < content_length ? NET_BODY_TOO_SHORT : NET_BODY_TOO_LONG,
                       log_line("expected size %lld != real size %lld", static_cast<long long>(content_length),
                                static_cast<long long>(bytes_received)));
  }
  if (!failed() && check->exact_size >= 0 && bytes_received != check->exact_size)
    net_record_failure(NET_BODY_TOO_SHORT, log_line("net_get: %lld bytes came, the list says %lld",
                                                    static_cast<long long>(bytes_received),
                                                    static_cast<long long>(check->exact_size)));
  if (!failed() && check->refuse_empty && bytes_received == 0)
    net_record_failure(NET_BODY_EMPTY, log_line("net_get: the body is empty"));
  if (!failed() && body_hashed) {
    std::string got = sha256_finish(body_hash);
    if (got != check->sha256)
      net_record_failure(NET_HASH_MISMATCH, log_line("net_get: %s has SHA-256 %s, the list says %s", url,
                                                     got.c_str(), check->sha256));
  }
  if (!failed() && plat_rename_replace(temp.c_str(), local_path) != 0)
    net_record_failure(NET_WRITE_FAILED, log_line("net_get: can't rename %s to %s", temp.c_str(), local_path));
  if (!failed()) return 0;
  log_message("deleting \"%s\"", temp.c_str());
  plat_remove(temp.c_str());
  return -1;
}
