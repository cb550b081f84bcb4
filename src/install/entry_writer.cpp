#include "install/entry_writer.h"

#include <atomic>
#include <cstdio>
#include <new>
#include <unordered_set>

#include "platform/platform.h"
#include "support/log.h"
#include "support/paths.h"

namespace {
// Enough to keep both threads busy through a run of small entries; 2 MiB in all.
const int RING = 8;

enum Kind { PIECE, FOLDER, STOP };

struct Slot {
  char* block = nullptr;
  Kind kind = PIECE;
  std::string path;
  size_t size = 0;
  bool open = false, close = false;
  uint32_t dos_date = 0;
};
}  // namespace

struct EntryWriter {
  Slot slots[RING];
  int fill = 0;   // the next slot the caller gets (caller's thread only)
  int drain = 0;  // the next slot the writer takes (writer's thread only)
  plat_sem free_slots = nullptr;
  plat_sem full_slots = nullptr;
  plat_thread thread = nullptr;
  std::atomic<bool> failed{false};
  // The writer's own state.
  FILE* out = nullptr;
  // Folders made or found: each is made or tested once, not once per file or per component.
  std::unordered_set<std::string> folders;

  ~EntryWriter() {
    for (Slot& s : slots) delete[] s.block;
    plat_sem_destroy(free_slots);
    plat_sem_destroy(full_slots);
  }
};

namespace {
// Makes dir and its missing parents as make_dirs does (same log lines), trying
// the folder itself first: in a new tree that is one call per folder.
int make_folder(EntryWriter* w, std::string dir) {
  while (dir.size() > 1 && is_sep(dir.back())) dir.pop_back();
  if (dir.empty() || w->folders.count(dir)) return 0;
  bool made = plat_mkdir(dir.c_str()) == 0;
  if (!made && !plat_exists(dir.c_str())) {
    std::string parent = path_dir(dir);
    if (parent == dir || make_folder(w, parent) != 0) return make_dirs(dir);
    if (plat_mkdir(dir.c_str()) != 0) {
      log_message("mkdir %s failed", dir.c_str());
      return -1;
    }
    made = true;
  }
  if (made) log_message("mkdir %s", dir.c_str());
  w->folders.insert(dir);
  return 0;
}

int open_file(EntryWriter* w, const std::string& path) {
  std::string parent = path_dir(path);
  if (parent != path && make_folder(w, parent) != 0) return -1;
  w->out = std::fopen(path.c_str(), "wb");
  if (!w->out) {
    log_message("can't open %s for writing", path.c_str());
    return -1;
  }
  log_message("opened %s for writing", path.c_str());
  // The blocks are large and whole: each goes to the file in one write, uncopied.
  std::setvbuf(w->out, nullptr, _IONBF, 0);
  return 0;
}

int close_file(EntryWriter* w, uint32_t dos_date) {
  bool ok = std::fflush(w->out) == 0;
  if (ok) plat_set_stream_time_dos(w->out, dos_date);
  ok = std::fclose(w->out) == 0 && ok;
  w->out = nullptr;
  if (!ok) log_message("fclose() failed");
  return ok ? 0 : -1;
}

int run_slot(EntryWriter* w, const Slot& s) {
  if (s.kind == FOLDER) return make_folder(w, s.path);
  if (s.open && open_file(w, s.path) != 0) return -1;
  if (s.size > 0 && std::fwrite(s.block, 1, s.size, w->out) != s.size) {
    log_message("fwrite() failed");
    return -1;
  }
  return s.close ? close_file(w, s.dos_date) : 0;
}

unsigned writer_main(void* arg) {
  EntryWriter* w = static_cast<EntryWriter*>(arg);
  for (;;) {
    plat_sem_wait(w->full_slots);
    Slot& s = w->slots[w->drain];
    if (s.kind == STOP) break;
    // After a failure the slots still come back, so the caller never waits for ever.
    if (!w->failed.load() && run_slot(w, s) != 0) w->failed.store(true);
    w->drain = (w->drain + 1) % RING;
    plat_sem_post(w->free_slots);
  }
  if (w->out) std::fclose(w->out);
  w->out = nullptr;
  return 0;
}

Slot& next_slot(EntryWriter* w) { return w->slots[w->fill]; }

void hand_over(EntryWriter* w) {
  w->fill = (w->fill + 1) % RING;
  plat_sem_post(w->full_slots);
}
}  // namespace

EntryWriter* entry_writer_start() {
  EntryWriter* w = new (std::nothrow) EntryWriter;
  bool ok = w != nullptr;
  if (ok)
    for (Slot& s : w->slots) ok = ok && (s.block = new (std::nothrow) char[ENTRY_BLOCK_SIZE]) != nullptr;
  if (ok) ok = (w->free_slots = plat_sem_create(RING)) && (w->full_slots = plat_sem_create(0));
  if (ok) ok = (w->thread = plat_thread_start(writer_main, w)) != nullptr;
  if (!ok) {
    log_message("install_archive: can't start the writer");
    delete w;
    return nullptr;
  }
  return w;
}

char* entry_writer_block(EntryWriter* w) {
  plat_sem_wait(w->free_slots);
  if (w->failed.load()) {
    plat_sem_post(w->free_slots);
    return nullptr;
  }
  return next_slot(w).block;
}

void entry_writer_piece(EntryWriter* w, const std::string& path, size_t n, bool open, bool close,
                        uint32_t dos_date) {
  Slot& s = next_slot(w);
  s.kind = PIECE;
  if (open) s.path = path;
  s.size = n;
  s.open = open;
  s.close = close;
  s.dos_date = dos_date;
  hand_over(w);
}

void entry_writer_folder(EntryWriter* w, const std::string& path) {
  Slot& s = next_slot(w);
  s.kind = FOLDER;
  s.path = path;
  hand_over(w);
}

int entry_writer_finish(EntryWriter* w) {
  plat_sem_wait(w->free_slots);
  next_slot(w).kind = STOP;
  plat_sem_post(w->full_slots);
  plat_thread_join(w->thread);
  plat_thread_close(w->thread);
  bool failed = w->failed.load();
  delete w;
  return failed ? -1 : 0;
}
