#include "zip_write.h"

#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "repo_report.h"

namespace {

// MS-DOS attribute of a folder; files carry none.
const uLong DOS_ATTR_FOLDER = 0x10;
// General-purpose flag: the name is UTF-8. Set only for names beyond ASCII, so
// that archives of ASCII names stay byte for byte what they were.
const uLong FLAG_UTF8 = 1 << 11;

// Whether a file of this size, deflated, may need 64-bit sizes in its local
// header. minizip writes the central directory's 64-bit fields and end records
// itself where offsets or the count need them; only the local header must have
// room for them from the start. Below this the archive is what it always was.
bool needs_zip64(uint64_t size, uint64_t zip64_from) {
  if (size >= zip64_from) return true;
  uLong as_ulong = static_cast<uLong>(size);
  return as_ulong != size || compressBound(as_ulong) >= zip64_from;
}

int add_item(zipFile zip, const SourceItem& item, std::vector<char>& buffer, uint64_t zip64_from) {
  uint64_t size = 0;
  int zip64 = !item.is_dir && plat_file_size(item.path.c_str(), &size) == 0 &&
              needs_zip64(size, zip64_from);
  zip_fileinfo info{};
  info.dosDate = item.dos_time;
  info.external_fa = item.is_dir ? DOS_ATTR_FOLDER : 0;
  bool ascii = std::all_of(item.name.begin(), item.name.end(), [](char c) { return (c & 0x80) == 0; });
  if (zipOpenNewFileInZip4_64(zip, item.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                              item.is_dir ? 0 : Z_DEFLATED, item.is_dir ? 0 : Z_BEST_COMPRESSION,
                              0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, 0,
                              ascii ? 0 : FLAG_UTF8, zip64) != ZIP_OK)
    return repo_error("%s: cannot add it to the archive", item.path.c_str());
  int result = 0;
  if (!item.is_dir) {
    FILE* in = plat_fopen(item.path.c_str(), "rb");
    if (!in)
      result = repo_error("%s: cannot open for reading: %s; let the tool read it, or move it out "
                          "of the archive folder", item.path.c_str(), std::strerror(errno));
    uint64_t total = 0;
    while (in && result == 0) {
      size_t n = std::fread(buffer.data(), 1, buffer.size(), in);
      if (n > 0 && zipWriteInFileInZip(zip, buffer.data(), static_cast<unsigned>(n)) != ZIP_OK)
        result = repo_error("%s: writing it into the archive failed", item.path.c_str());
      total += n;
      if (!zip64 && needs_zip64(total, zip64_from))
        result = repo_error("%s: grew past 4 GiB while it was read", item.path.c_str());
      if (n < buffer.size()) {
        if (std::ferror(in)) result = repo_error("%s: reading failed", item.path.c_str());
        break;
      }
    }
    if (in) std::fclose(in);
  }
  if (zipCloseFileInZip(zip) != ZIP_OK && result == 0)
    result = repo_error("%s: finishing its archive entry failed", item.path.c_str());
  return result;
}

// minizip opens the new archive through this: by its UTF-8 name.
voidpf ZCALLBACK create_file(voidpf, const void* name, int) {
  return plat_fopen(static_cast<const char*>(name), "wb");
}

}  // namespace

int zip_write(const std::string& path, const std::vector<SourceItem>& items, uint64_t zip64_from) {
  zlib_filefunc64_def io;
  fill_fopen64_filefunc(&io);
  io.zopen64_file = create_file;
  zipFile zip = zipOpen2_64(path.c_str(), APPEND_STATUS_CREATE, nullptr, &io);
  if (!zip) return repo_error("%s: cannot create the archive", path.c_str());
  std::vector<char> buffer(65536);
  int result = 0;
  for (size_t i = 0; i < items.size() && result == 0; ++i)
    result = add_item(zip, items[i], buffer, zip64_from);
  if (zipClose(zip, nullptr) != ZIP_OK && result == 0)
    result = repo_error("%s: finishing the archive failed", path.c_str());
  return result;
}
