#include "install/entry_writer.h"

#include <atomic>
#include <cstdio>
#include <new>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"
#include "support/log.h"
#include "support/paths.h"

namespace {
// Enough to keep both threads busy; 2 MiB in all.
const int RING = 8;
// A block of small files is handed over after this many: their names take memory too.
const size_t MAX_PARTS = 256;
const size_t MAX_FOLDERS = 4096;

struct Part {
  bool folder = false;
  std::string path;  // the file's when it is opened here, or the folder's
  size_t offset = 0, size = 0;
  bool open = false, close = false;
  uint32_t dos_date = 0;
};

struct Slot {
  char* block = nullptr;
  std::vector<Part> parts;
  size_t used = 0;
  size_t count = 0;  // parts in use (the vector keeps its strings for the next round)
  bool stop = false;
};
}  // namespace

struct EntryWriter {
  Slot slots[RING];
  int fill = 0;         // the slot the caller fills (caller's thread only)
  bool holding = false;  // the caller holds slot fill
  int drain = 0;        // the next slot the writer takes (writer's thread only)
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
  // Bounded, so that memory does not follow the number of folders; a folder
  // forgotten is only tested again.
  if (w->folders.size() >= MAX_FOLDERS) w->folders.clear();
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
  // The parts are large or whole: each goes to the file in one write, uncopied.
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

int run_part(EntryWriter* w, const char* block, const Part& p) {
  if (p.folder) return make_folder(w, p.path);
  if (p.open && open_file(w, p.path) != 0) return -1;
  if (p.size > 0 && std::fwrite(block + p.offset, 1, p.size, w->out) != p.size) {
    log_message("fwrite() failed");
    return -1;
  }
  return p.close ? close_file(w, p.dos_date) : 0;
}

unsigned writer_main(void* arg) {
  EntryWriter* w = static_cast<EntryWriter*>(arg);
  for (;;) {
    plat_sem_wait(w->full_slots);
    Slot& s = w->slots[w->drain];
    if (s.stop) break;
    // After a failure the slots still come back, so the caller never waits for ever.
    for (size_t i = 0; i < s.count && !w->failed.load(); ++i)
      if (run_part(w, s.block, s.parts[i]) != 0) w->failed.store(true);
    w->drain = (w->drain + 1) % RING;
    plat_sem_post(w->free_slots);
  }
  if (w->out) std::fclose(w->out);
  w->out = nullptr;
  return 0;
}

// The slot the caller fills, taken from the free ones when none is held.
Slot& held_slot(EntryWriter* w) {
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

void hand_over(EntryWriter* w) {
  if (!w->holding) return;
  w->holding = false;
  w->fill = (w->fill + 1) % RING;
  plat_sem_post(w->full_slots);
}

Part& next_part(Slot& s) {
  if (s.count == s.parts.size()) s.parts.emplace_back();
  return s.parts[s.count++];
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

char* entry_writer_space(EntryWriter* w, size_t* room) {
  if (w->failed.load()) return nullptr;
  Slot& s = held_slot(w);
  if (w->failed.load()) return nullptr;
  *room = ENTRY_BLOCK_SIZE - s.used;
  return s.block + s.used;
}

void entry_writer_part(EntryWriter* w, const std::string& path, size_t n, bool open, bool close,
                       uint32_t dos_date) {
  Slot& s = held_slot(w);
  Part& p = next_part(s);
  p.folder = false;
  if (open) p.path = path;
  p.offset = s.used;
  p.size = n;
  p.open = open;
  p.close = close;
  p.dos_date = dos_date;
  s.used += n;
  if (s.used == ENTRY_BLOCK_SIZE || s.count == MAX_PARTS) hand_over(w);
}

void entry_writer_folder(EntryWriter* w, const std::string& path) {
  Slot& s = held_slot(w);
  Part& p = next_part(s);
  p.folder = true;
  p.path = path;
  p.size = 0;
  if (s.count == MAX_PARTS) hand_over(w);
}

int entry_writer_finish(EntryWriter* w) {
  hand_over(w);
  held_slot(w).stop = true;
  hand_over(w);
  plat_thread_join(w->thread);
  plat_thread_close(w->thread);
  bool failed = w->failed.load();
  delete w;
  return failed ? -1 : 0;
}
