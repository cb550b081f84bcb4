#include "support/block_writer.h"

#include <atomic>
#include <cerrno>
#include <new>
#include <vector>

plat_thread (*block_writer_start_thread)(plat_thread_fn, void*) = plat_thread_start;

namespace {
struct Part {
  unsigned steps = 0;
  std::string name;  // the stream's when it is opened here, or the folder's
  size_t offset = 0, size = 0;
  uint32_t stamp = 0;
};

struct Slot {
  char* block = nullptr;
  std::vector<Part> parts;
  size_t used = 0;
  size_t count = 0;  // parts in use (the vector keeps its strings for the next round)
  bool stop = false;
};
}  // namespace

struct BlockWriter {
  BlockWriterSetup setup;
  Slot slots[BLOCK_WRITER_MAX_BLOCKS];
  int fill = 0;          // the slot the caller fills (caller's thread only)
  bool holding = false;  // the caller holds slot fill
  int drain = 0;         // the next slot the writer takes (writer's thread only)
  plat_sem free_slots = nullptr;
  plat_sem full_slots = nullptr;
  plat_thread thread = nullptr;
  std::atomic<bool> failed{false};
  // The writer's own state until the thread has ended.
  FILE* out = nullptr;
  bool opened = false;       // out came from a part's open step
  bool write_failed = false;
  int error = 0;

  ~BlockWriter() {
    for (Slot& s : slots) delete[] s.block;
    plat_sem_destroy(free_slots);
    plat_sem_destroy(full_slots);
  }
};

namespace {
int run_part(BlockWriter* w, const char* block, const Part& p) {
  const BlockWriterSetup& how = w->setup;
  if (p.steps & BLOCK_FOLDER) return how.folder ? how.folder(how.context, p.name) : -1;
  if (p.steps & BLOCK_OPEN) {
    FILE* f = how.open ? how.open(how.context, p.name) : nullptr;
    if (!f) return -1;
    w->out = f;
    w->opened = true;
  }
  if (p.size > 0) {
    if (how.hash) sha256_add(*how.hash, block + p.offset, p.size);
    if (!w->out || std::fwrite(block + p.offset, 1, p.size, w->out) != p.size) {
      w->error = !w->out ? EBADF : errno ? errno : EIO;
      w->write_failed = true;
      return -1;
    }
  }
  if (!(p.steps & BLOCK_CLOSE)) return 0;
  FILE* f = w->out;
  w->out = nullptr;
  w->opened = false;
  return how.close && f ? how.close(how.context, f, p.stamp) : -1;
}

unsigned writer_main(void* arg) {
  BlockWriter* w = static_cast<BlockWriter*>(arg);
  for (;;) {
    plat_sem_wait(w->full_slots);
    Slot& s = w->slots[w->drain];
    if (s.stop) return 0;
    // After a failure the slots still come back, so the caller never waits for ever.
    for (size_t i = 0; i < s.count && !w->failed.load(); ++i)
      if (run_part(w, s.block, s.parts[i]) != 0) w->failed.store(true);
    w->drain = (w->drain + 1) % w->setup.blocks;
    plat_sem_post(w->free_slots);
  }
}

// The slot the caller fills, taken from the free ones when none is held.
Slot& held_slot(BlockWriter* w) {
  if (!w->holding) {
    plat_sem_wait(w->free_slots);
    Slot& s = w->slots[w->fill];
    s.used = 0;
    s.count = 0;
    s.stop = false;
    w->holding = true;
  }
  return w->slots[w->fill];
}

void hand_over(BlockWriter* w) {
  if (!w->holding) return;
  w->holding = false;
  w->fill = (w->fill + 1) % w->setup.blocks;
  plat_sem_post(w->full_slots);
}
}  // namespace

BlockWriter* block_writer_start(const BlockWriterSetup& setup) {
  if (setup.blocks < 1 || setup.blocks > BLOCK_WRITER_MAX_BLOCKS) return nullptr;
  BlockWriter* w = new (std::nothrow) BlockWriter;
  bool ok = w != nullptr;
  if (ok) {
    w->setup = setup;
    w->out = setup.out;
  }
  for (int i = 0; ok && i < setup.blocks; ++i)
    ok = (w->slots[i].block = new (std::nothrow) char[WRITE_BLOCK_SIZE]) != nullptr;
  if (ok)
    ok = (w->free_slots = plat_sem_create(static_cast<unsigned>(setup.blocks))) &&
         (w->full_slots = plat_sem_create(0));
  if (ok) ok = (w->thread = block_writer_start_thread(writer_main, w)) != nullptr;
  if (!ok) {
    delete w;
    return nullptr;
  }
  return w;
}

char* block_writer_space(BlockWriter* w, size_t* room) {
  if (w->failed.load()) return nullptr;
  Slot& s = held_slot(w);
  if (w->failed.load()) return nullptr;
  *room = WRITE_BLOCK_SIZE - s.used;
  return s.block + s.used;
}

void block_writer_part(BlockWriter* w, size_t n, unsigned steps, const std::string& name, uint32_t stamp) {
  Slot& s = held_slot(w);
  if (s.count == s.parts.size()) s.parts.emplace_back();
  Part& p = s.parts[s.count++];
  p.steps = steps;
  if (steps & (BLOCK_OPEN | BLOCK_FOLDER)) p.name = name;
  p.offset = s.used;
  p.size = n;
  p.stamp = stamp;
  s.used += n;
  if (s.used == WRITE_BLOCK_SIZE || s.count == BLOCK_WRITER_MAX_PARTS) hand_over(w);
}

int block_writer_finish(BlockWriter* w, int* write_error) {
  hand_over(w);
  held_slot(w).stop = true;
  hand_over(w);
  plat_thread_join(w->thread);
  plat_thread_close(w->thread);
  if (w->opened && w->out) std::fclose(w->out);
  bool failed = w->failed.load();
  if (failed && w->write_failed && write_error) *write_error = w->error;
  delete w;
  return failed ? -1 : 0;
}
