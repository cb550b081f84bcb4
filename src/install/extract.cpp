#include "install/extract.h"

#include <unzip.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "display/display.h"
#include "install/entry_writer.h"
#include "rules/zip_io.h"
#include "rules/zip_scan.h"
#include "support/log.h"
#include "support/paths.h"

namespace {

// The opening pass refuses longer names.
const uLong kNameMax = 256;

// Everything one call holds; release() frees what is still held.
struct Extraction {
  unzFile zip = nullptr;
  EntryWriter* writer = nullptr;
  bool entry_open = false;

  // Ends the writer; true when everything handed to it was done. The reading
  // side logs its failures after this, so the log keeps the entries' order and
  // names the first failure only.
  bool settle() {
    if (!writer) return true;
    int result = entry_writer_finish(writer);
    writer = nullptr;
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
    char* space = x.writer ? entry_writer_space(x.writer, &room) : nullptr;
    if (!space) return x.fail(nullptr);
    size_t fill = 0;
    int n = 0;
    while (fill < room && (n = unzReadCurrentFile(x.zip, space + fill, static_cast<unsigned>(room - fill))) > 0)
      fill += static_cast<size_t>(n);
    written += fill;
    if (n < 0) {
      entry_writer_part(x.writer, dest, fill, first, false, 0);
      return x.fail("unzReadCurrentFile() failed");
    }
    if (n > 0) {
      entry_writer_part(x.writer, dest, fill, first, false, 0);
      continue;
    }
    // Closing the entry checks its CRC-32, once all of it has been read; a stream
    // that ends before the stored size is never checked, so the size is.
    int closed = unzCloseCurrentFile(x.zip);
    x.entry_open = false;
    entry_writer_part(x.writer, dest, fill, first, true, static_cast<uint32_t>(info.dosDate));
    if (closed != UNZ_CRCERROR && written == info.uncompressed_size) return 0;
    if (x.settle()) {
      log_message(closed == UNZ_CRCERROR ? "install_archive: CRC error in %s"
                                         : "install_archive: size error in %s",
                  name);
      std::remove(dest.c_str());
    }
    return x.release(-1);
  }
}

// Reads the current entry's information and name (which the opening pass checked).
int read_entry(Extraction& x, unz_file_info64* info, char* name) {
  if (unzGetCurrentFileInfo64(x.zip, info, name, kNameMax, nullptr, 0, nullptr, 0) != UNZ_OK ||
      info->size_filename >= kNameMax || info->size_filename == 0)
    return -1;
  name[info->size_filename] = '\0';
  return 0;
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
  FILE* f = std::fopen(path, "rb");
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

int install_archive(const char* archive_path, const char* destination_dir) {
  log_message("install \"%s\"", archive_path);
  std::string caption = "Installing " + path_base(archive_path) + "...";
  show_status(SetCaption, 0, caption.c_str());
  show_status(SetRateText, 0, "");

  Extraction x;
  zlib_filefunc64_def io;
  zip_read_functions(&io);
  x.zip = unzOpen2_64(archive_path, &io);
  if (!x.zip) {
    if (is_empty_archive(archive_path)) {
      show_status(SetProgressPos, 0, nullptr);
      show_status(SetProgressRange, 0, nullptr);
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
  show_status(SetProgressPos, 0, nullptr);
  show_status(SetProgressRange, progress_range(count), nullptr);
  if (count > 0) {
    if (require_free_space(destination_dir, scan.room) != 0) return x.release(-1);
    if (unzGoToFirstFile(x.zip) != UNZ_OK) {
      log_message("unzGoToFirstFile() failed");
      return x.release(-1);
    }
  }
  if (count > 0 && !(x.writer = entry_writer_start())) return x.release(-1);

  char name[kNameMax];
  std::string dest;
  for (uint64_t done = 0; done < count; ++done) {
    unz_file_info64 info;
    if (read_entry(x, &info, name) != 0) return x.fail("unzGetCurrentFileInfo() failed");
    show_status(SetStatus, 0, name);
    path_join(dest, destination_dir, name);
    if (is_sep(name[std::strlen(name) - 1])) {
      size_t room = 0;
      if (!entry_writer_space(x.writer, &room)) return x.fail(nullptr);
      entry_writer_folder(x.writer, dest);
    } else if (extract_file(x, name, info, dest) != 0) {
      return -1;
    }
    show_status(SetProgressPos, progress_pos(done + 1, count), nullptr);
    // The handle is never moved past the last entry.
    if (done + 1 < count && unzGoToNextFile(x.zip) != UNZ_OK) return x.fail("unzGoToNextFile() failed");
  }
  return x.release(x.settle() ? 0 : -1);
}
