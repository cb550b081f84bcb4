#include "install/extract.h"

#include <unzip.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "display/display.h"
#include "install/zip_io.h"
#include "install/zip_scan.h"
#include "platform/platform.h"
#include "support/log.h"
#include "support/paths.h"

namespace {

// Large pieces: zlib inflates much faster into a large output than into 8 KiB
// ones, and each piece of a big entry becomes a single write.
const size_t kCopySize = 256 * 1024;
// The output stream's buffer: fewer, larger writes than stdio's default.
const size_t kOutBufferSize = 64 * 1024;
// The opening pass refuses longer names.
const uLong kNameMax = 256;

// Everything one call holds; release() frees what is still held.
struct Extraction {
  unzFile zip = nullptr;
  char* buffer = nullptr;  // copy buffer, then the output stream's buffer
  FILE* out = nullptr;
  bool entry_open = false;
  std::string made_dir;  // the last folder made or found for an entry's file

  int release(int result) {
    if (out) std::fclose(out);  // a partly written file stays
    out = nullptr;
    if (entry_open) unzCloseCurrentFile(zip);
    entry_open = false;
    if (zip) unzClose(zip);
    zip = nullptr;
    std::free(buffer);
    buffer = nullptr;
    return result;
  }
};

// Copies the open entry into the output file and closes it; *written counts the bytes.
int copy_entry(Extraction& x, uint64_t* written) {
  *written = 0;
  for (;;) {
    int n = unzReadCurrentFile(x.zip, x.buffer, static_cast<unsigned>(kCopySize));
    if (n < 0) {
      log_message("unzReadCurrentFile() failed");
      return -1;
    }
    if (n == 0) break;
    if (std::fwrite(x.buffer, 1, static_cast<size_t>(n), x.out) != static_cast<size_t>(n)) {
      log_message("fwrite() failed");
      return -1;
    }
    *written += static_cast<uint64_t>(n);
  }
  // The stream's buffer is flushed here: a full disk shows up now, not in fwrite.
  int closed = std::fclose(x.out);
  x.out = nullptr;
  if (closed != 0) {
    log_message("fclose() failed");
    return -1;
  }
  return 0;
}

int extract_file(Extraction& x, const char* name, const unz_file_info64& info, const std::string& dest) {
  if (unzOpenCurrentFile(x.zip) != UNZ_OK) {
    log_message("unzOpenCurrentFile() failed");
    return -1;
  }
  x.entry_open = true;
  // Entries of one folder mostly follow each other: test it once for all of them.
  std::string parent = path_dir(dest);
  if (parent != dest && parent != x.made_dir) {
    if (make_dirs(parent) != 0) return -1;
    x.made_dir = parent;
  }
  x.out = std::fopen(dest.c_str(), "wb");
  if (!x.out) {
    log_message("can't open %s for writing", dest.c_str());
    return -1;
  }
  log_message("opened %s for writing", dest.c_str());
  std::setvbuf(x.out, x.buffer + kCopySize, _IOFBF, kOutBufferSize);

  uint64_t written = 0;
  if (copy_entry(x, &written) != 0) return -1;

  // Closing the entry checks its CRC-32, once all of it has been read; a stream
  // that ends before the stored size is never checked, so the size is.
  int closed = unzCloseCurrentFile(x.zip);
  x.entry_open = false;
  if (closed == UNZ_CRCERROR || written != info.uncompressed_size) {
    log_message(closed == UNZ_CRCERROR ? "install_archive: CRC error in %s"
                                       : "install_archive: size error in %s",
                name);
    std::remove(dest.c_str());
    return -1;
  }
  set_file_time(dest.c_str(), static_cast<uint32_t>(info.dosDate));
  return 0;
}

// Reads the current entry's information and name (which the opening pass checked).
int read_entry(Extraction& x, unz_file_info64* info, char* name) {
  if (unzGetCurrentFileInfo64(x.zip, info, name, kNameMax, nullptr, 0, nullptr, 0) != UNZ_OK ||
      info->size_filename >= kNameMax || info->size_filename == 0) {
    log_message("unzGetCurrentFileInfo() failed");
    return -1;
  }
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

void set_file_time(const char* path, uint32_t dos_date) { plat_set_file_time_dos(path, dos_date); }

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
  // unzOpen stands on the first directory entry whatever the count says: an
  // archive that counts none but holds some is damaged, not empty.
  unz_file_info64 first;
  if (count == 0 &&
      unzGetCurrentFileInfo64(x.zip, &first, nullptr, 0, nullptr, 0, nullptr, 0) == UNZ_OK) {
    log_message("install_archive: the archive's directory holds entries that its end record does "
                "not count");
    return x.release(-1);
  }
  show_status(SetProgressPos, 0, nullptr);
  show_status(SetProgressRange, progress_range(count), nullptr);
  // Everything that can be refused is refused before the first file is written.
  uint64_t total = 0;
  if (count > 0) {
    if (zip_scan(x.zip, archive_path, count, destination_dir, &total) != 0 ||
        require_free_space(destination_dir, total) != 0)
      return x.release(-1);
    if (unzGoToFirstFile(x.zip) != UNZ_OK) {
      log_message("unzGoToFirstFile() failed");
      return x.release(-1);
    }
  }
  x.buffer = static_cast<char*>(std::malloc(kCopySize + kOutBufferSize));
  if (!x.buffer) {
    log_message("malloc() failed");
    return x.release(-1);
  }

  char name[kNameMax];
  std::string dest;
  for (uint64_t done = 0; done < count; ++done) {
    unz_file_info64 info;
    if (read_entry(x, &info, name) != 0) return x.release(-1);
    show_status(SetStatus, 0, name);
    path_join(dest, destination_dir, name);
    if (is_sep(name[std::strlen(name) - 1])) {
      if (make_dirs(dest) != 0) return x.release(-1);
    } else if (extract_file(x, name, info, dest) != 0) {
      return x.release(-1);
    }
    show_status(SetProgressPos, progress_pos(done + 1, count), nullptr);
    // The handle is never moved past the last entry.
    if (done + 1 < count && unzGoToNextFile(x.zip) != UNZ_OK) {
      log_message("unzGoToNextFile() failed");
      return x.release(-1);
    }
  }
  return x.release(0);
}
