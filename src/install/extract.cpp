#include "install/extract.h"

#include <unzip.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>

#include "rules/zip_io.h"
#include "rules/zip_scan.h"
#include "platform/platform.h"
#include "support/block_writer.h"
#include "support/log.h"
#include "support/paths.h"

ProgressView extract_view;

namespace {

// The opening pass refuses longer names.
const uLong kNameMax = 256;
// Enough to keep both threads busy; 2 MiB in all.
const int kWriteBlocks = 8;
const size_t kMaxFolders = 4096;

// The writer's steps, on its thread: folders, opening and closing the files.
// Folders made or found are remembered, so that each is made or tested once,
// not once per file or per component.
typedef std::unordered_set<std::string> Folders;

// Makes dir and its missing parents as make_dirs does (same log lines), trying
// the folder itself first: in a new tree that is one call per folder.
int make_folder(Folders& folders, std::string dir) {
  while (dir.size() > 1 && is_sep(dir.back())) dir.pop_back();
  if (dir.empty() || folders.count(dir)) return 0;
  bool made = plat_mkdir(dir.c_str()) == 0;
  if (!made && !plat_exists(dir.c_str())) {
    std::string parent = path_dir(dir);
    if (parent == dir || make_folder(folders, parent) != 0) return make_dirs(dir);
    if (plat_mkdir(dir.c_str()) != 0) {
      log_message("mkdir %s failed", dir.c_str());
      return -1;
    }
    made = true;
  }
  if (made) log_message("mkdir %s", dir.c_str());
  // Bounded, so that memory does not follow the number of folders; a folder
  // forgotten is only tested again.
  if (folders.size() >= kMaxFolders) folders.clear();
  folders.insert(dir);
  return 0;
}

int folder_step(void* folders, const std::string& path) {
  return make_folder(*static_cast<Folders*>(folders), path);
}

FILE* open_step(void* folders, const std::string& path) {
  std::string parent = path_dir(path);
  if (parent != path && make_folder(*static_cast<Folders*>(folders), parent) != 0) return nullptr;
  FILE* out = plat_fopen(path.c_str(), "wb");
  if (!out) {
    log_message("can't open %s for writing", path.c_str());
    return nullptr;
  }
  log_message("opened %s for writing", path.c_str());
  // The parts are large or whole: each goes to the file in one write, uncopied.
  std::setvbuf(out, nullptr, _IONBF, 0);
  return out;
}

int close_step(void*, FILE* out, uint32_t dos_date) {
  bool ok = std::fflush(out) == 0;
  if (ok) plat_set_stream_time_dos(out, dos_date);
  ok = std::fclose(out) == 0 && ok;
  if (!ok) log_message("fclose() failed");
  return ok ? 0 : -1;
}

// Everything one call holds; release() frees what is still held.
struct Extraction {
  unzFile zip = nullptr;
  BlockWriter* writer = nullptr;
  Folders folders;  // the writer's, while it runs
  bool entry_open = false;

  int start_writer() {
    BlockWriterSetup steps;
    steps.blocks = kWriteBlocks;
    steps.context = &folders;
    steps.open = open_step;
    steps.close = close_step;
    steps.folder = folder_step;
    writer = block_writer_start(steps);
    if (writer) return 0;
    log_message("install_archive: can't start the writer");
    return -1;
  }
  // Ends the writer; true when everything handed to it was done. The reading
  // side logs its failures after this, so the log keeps the entries' order and
  // names the first failure only.
  bool settle() {
    if (!writer) return true;
    int write_error = 0;
    int result = block_writer_finish(writer, &write_error);
    writer = nullptr;
    if (write_error != 0) log_message("fwrite() failed");
    return result == 0;
  }
  int fail(const char* line) {
    if (settle() && line) log_message("%s", line);
    return release(-1);
  }
  int release(int result) {
    settle();
    if (entry_open) unzCloseCurrentFile(zip);
    entry_open = false;
    if (zip) unzClose(zip);
    zip = nullptr;
    return result;
  }
};

// Inflates the entry into the writer's blocks, filling each: the file is opened
// with its first part and closed, with its time, after the last.
int extract_file(Extraction& x, const char* name, const unz_file_info64& info, const std::string& dest) {
  if (unzOpenCurrentFile(x.zip) != UNZ_OK) return x.fail("unzOpenCurrentFile() failed");
  x.entry_open = true;
  uint64_t written = 0;
  for (bool first = true;; first = false) {
    size_t room = 0;
    char* space = x.writer ? block_writer_space(x.writer, &room) : nullptr;
    if (!space) return x.fail(nullptr);
    size_t fill = 0;
    int n = 0;
    while (fill < room && (n = unzReadCurrentFile(x.zip, space + fill, static_cast<unsigned>(room - fill))) > 0)
      fill += static_cast<size_t>(n);
    written += fill;
    unsigned open = first ? BLOCK_OPEN : 0;
    if (n < 0) {
      block_writer_part(x.writer, fill, open, dest);
      return x.fail("unzReadCurrentFile() failed");
    }
    if (n > 0) {
      block_writer_part(x.writer, fill, open, dest);
      continue;
    }
    // Closing the entry checks its CRC-32, once all of it has been read; a stream
    // that ends before the stored size is never checked, so the size is.
    int closed = unzCloseCurrentFile(x.zip);
    x.entry_open = false;
    block_writer_part(x.writer, fill, open | BLOCK_CLOSE, dest, static_cast<uint32_t>(info.dosDate));
    if (closed != UNZ_CRCERROR && written == info.uncompressed_size) return 0;
    if (x.settle()) {
      log_message(closed == UNZ_CRCERROR ? "install_archive: CRC error in %s"
                                         : "install_archive: size error in %s",
                  name);
      plat_remove(dest.c_str());
    }
    return x.release(-1);
  }
}

// Reads the current entry's information and its name as text (both of which
// the opening pass checked).
int read_entry(Extraction& x, unz_file_info64* info, std::string& name) {
  char stored[kNameMax];
  if (unzGetCurrentFileInfo64(x.zip, info, stored, kNameMax, nullptr, 0, nullptr, 0) != UNZ_OK ||
      info->size_filename >= kNameMax || info->size_filename == 0)
    return -1;
  return zip_entry_name(x.zip, *info, stored, name);
}

// The bar has 16 bits: up to 65535 entries it moves one step per entry, beyond
// that the count is scaled into its range.
int progress_range(uint64_t count) { return static_cast<int>(std::min<uint64_t>(count, 0xFFFF)); }
int progress_pos(uint64_t done, uint64_t count) {
  // done stays far below 2^48: each entry takes 46 bytes of the directory walked.
  return static_cast<int>(count <= 0xFFFF ? done : done * 0xFFFF / count);
}

// minizip takes an end record found at offset 0 for "none found", so it refuses
// an archive without entries, which is nothing but that record (and a comment).
bool is_empty_archive(const char* path) {
  FILE* f = plat_fopen(path, "rb");
  if (!f) return false;
  unsigned char rec[22];
  bool empty = false;
  if (std::fread(rec, 1, sizeof rec, f) == sizeof rec && std::memcmp(rec, "PK\5\6", 4) == 0 &&
      (rec[8] | rec[9] | rec[10] | rec[11]) == 0 && std::fseek(f, 0, SEEK_END) == 0) {
    long comment = rec[20] | rec[21] << 8;
    empty = std::ftell(f) == 22 + comment;
  }
  std::fclose(f);
  return empty;
}

}  // namespace

int install_archive(const char* archive_path, const char* destination_dir, std::vector<ExtractedMember>* members) {
  if (members) members->clear();
  log_message("install \"%s\"", archive_path);
  std::string caption = "Installing " + path_base(archive_path) + "...";
  view_show(extract_view.caption, caption.c_str());
  view_show(extract_view.rate, "");

  Extraction x;
  zlib_filefunc64_def io;
  zip_read_functions(&io);
  x.zip = unzOpen2_64(archive_path, &io);
  if (!x.zip) {
    if (is_empty_archive(archive_path)) {
      view_show(extract_view.bar_pos, 0);
      view_show(extract_view.bar_range, 0);
      return 0;
    }
    log_message("can't open %s for reading", archive_path);
    return -1;
  }
  unz_global_info64 global;
  if (unzGetGlobalInfo64(x.zip, &global) != UNZ_OK) {
    log_message("unzGetGlobalInfo() failed");
    return x.release(-1);
  }
  uint64_t count = global.number_entry;
  // Everything that can be refused is refused before the first file is written.
  ZipScan scan = zip_scan(x.zip, archive_path, count, destination_dir);
  if (scan.refusal != ZIP_GOOD) {
    log_message("%s", scan.line.c_str());
    return x.release(-1);
  }
  view_show(extract_view.bar_pos, 0);
  view_show(extract_view.bar_range, progress_range(count));
  if (count > 0) {
    if (require_free_space(destination_dir, scan.room) != 0) return x.release(-1);
    if (unzGoToFirstFile(x.zip) != UNZ_OK) {
      log_message("unzGoToFirstFile() failed");
      return x.release(-1);
    }
  }
  if (count > 0 && x.start_writer() != 0) return x.release(-1);

  std::string name, dest;
  for (uint64_t done = 0; done < count; ++done) {
    unz_file_info64 info;
    if (read_entry(x, &info, name) != 0) return x.fail("unzGetCurrentFileInfo() failed");
    view_show(extract_view.status, name.c_str());
    path_join(dest, destination_dir, name);
    bool folder = zip_entry_is_folder(info, name);
    if (folder) {
      size_t room = 0;
      if (!block_writer_space(x.writer, &room)) return x.fail(nullptr);
      block_writer_part(x.writer, 0, BLOCK_FOLDER, dest);
    } else if (extract_file(x, name.c_str(), info, dest) != 0) {
      return -1;
    }
    if (members)
      members->push_back({name, folder, folder ? 0 : info.uncompressed_size, folder ? 0 : static_cast<uint32_t>(info.crc)});
    view_show(extract_view.bar_pos, progress_pos(done + 1, count));
    // The handle is never moved past the last entry.
    if (done + 1 < count && unzGoToNextFile(x.zip) != UNZ_OK) return x.fail("unzGoToNextFile() failed");
  }
  return x.release(x.settle() ? 0 : -1);
}
