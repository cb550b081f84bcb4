#include "support/write_behind.h"

#include <atomic>
#include <cerrno>
#include <new>

#include "platform/platform.h"

namespace {
const int RING = 4;
const size_t STOP = static_cast<size_t>(-1);
}  // namespace

struct WriteBehind {
  FILE* out = nullptr;
  Sha256* hash = nullptr;
  char* blocks[RING] = {};
  size_t sizes[RING] = {};
  int fill = 0;   // the next block the caller gets (caller's thread only)
  int drain = 0;  // the next block the writer takes (writer's thread only)
  plat_sem free_blocks = nullptr;
  plat_sem full_blocks = nullptr;
  plat_thread thread = nullptr;
  std::atomic<bool> failed{false};
  int error = 0;  // written by the writer before failed turns true

  ~WriteBehind() {
    for (char* b : blocks) delete[] b;
    plat_sem_destroy(free_blocks);
    plat_sem_destroy(full_blocks);
  }
};

namespace {
unsigned writer_main(void* arg) {
  WriteBehind* w = static_cast<WriteBehind*>(arg);
  for (;;) {
    plat_sem_wait(w->full_blocks);
    size_t n = w->sizes[w->drain];
    if (n == STOP) return 0;
    if (w->hash) sha256_add(*w->hash, w->blocks[w->drain], n);
    // After a failure the blocks still come back, so the caller never waits for ever.
    if (!w->failed.load() && std::fwrite(w->blocks[w->drain], 1, n, w->out) != n) {
      w->error = errno;
      w->failed.store(true);
    }
    w->drain = (w->drain + 1) % RING;
    plat_sem_post(w->free_blocks);
  }
}
}  // namespace

WriteBehind* write_behind_start(FILE* out, Sha256* hash) {
  WriteBehind* w = new (std::nothrow) WriteBehind;
  if (!w) return nullptr;
  w->out = out;
  w->hash = hash;
  bool ok = true;
  for (char*& b : w->blocks) ok = ok && (b = new (std::nothrow) char[WRITE_BLOCK_SIZE]) != nullptr;
  if (ok) ok = (w->free_blocks = plat_sem_create(RING)) && (w->full_blocks = plat_sem_create(0));
  if (ok) ok = (w->thread = plat_thread_start(writer_main, w)) != nullptr;
  if (!ok) {
    delete w;
    return nullptr;
  }
  return w;
}

char* write_behind_block(WriteBehind* w) {
  plat_sem_wait(w->free_blocks);
  if (w->failed.load()) {
    plat_sem_post(w->free_blocks);
    return nullptr;
  }
  return w->blocks[w->fill];
}

void write_behind_submit(WriteBehind* w, size_t n) {
  w->sizes[w->fill] = n;
  w->fill = (w->fill + 1) % RING;
  plat_sem_post(w->full_blocks);
}

int write_behind_finish(WriteBehind* w, int* error) {
  plat_sem_wait(w->free_blocks);
  w->sizes[w->fill] = STOP;
  plat_sem_post(w->full_blocks);
  plat_thread_join(w->thread);
  plat_thread_close(w->thread);
  bool failed = w->failed.load();
  if (failed && error) *error = w->error;
  delete w;
  return failed ? -1 : 0;
}
