#include "rules/zip_io.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "platform/platform.h"

namespace {

// minizip reads entry data in pieces of this size; those bypass the buffers.
const size_t kBufferSize = 16 * 1024;

struct Block {
  uint64_t start = 0;  // offset of data[0]
  size_t filled = 0;
  char data[kBufferSize];
};

struct Reader {
  zlib_filefunc64_def base;  // minizip's own 64-bit stdio functions
  voidpf file = nullptr;
  uint64_t shift = 0;     // bytes before the archive that its offsets leave out
  uint64_t size = 0;      // of the archive, from its first byte
  uint64_t pos = 0;       // where the next read starts
  uint64_t file_pos = 0;  // where the file itself stands
  // minizip goes back and forth between the central directory and the local
  // headers and data: one block for each keeps both at hand.
  Block blocks[2];
  int recent = 0;  // the block used last
};

// n bytes at pos, straight from the file; the bytes read.
size_t read_direct(Reader& r, char* to, size_t n) {
  if (r.file_pos != r.pos) {
    if (r.base.zseek64_file(r.base.opaque, r.file, r.shift + r.pos, ZLIB_FILEFUNC_SEEK_SET) != 0) return 0;
    r.file_pos = r.pos;
  }
  size_t got = r.base.zread_file(r.base.opaque, r.file, to, static_cast<uLong>(n));
  r.file_pos += got;
  return got;
}

// Data put before an archive (a self-extractor's program) moves it all, but
// its offsets still count from its own start. minizip finds such an archive
// from its end record, but not from zip64 records, whose offset it takes as it
// is: then the archive is read as starting where its zip64 end record says.
// The bytes before it, or 0 when there are none or no zip64 records.
uint64_t bytes_before_zip64(Reader& r, uint64_t file_size) {
  const size_t kZip64End = 56, kLocator = 20, kEnd = 22, kTail = kZip64End + kLocator + kEnd + 0xFFFF;
  size_t n = static_cast<size_t>(std::min<uint64_t>(file_size, kTail));
  std::vector<unsigned char> tail(n);
  if (r.base.zseek64_file(r.base.opaque, r.file, file_size - n, ZLIB_FILEFUNC_SEEK_SET) != 0 ||
      r.base.zread_file(r.base.opaque, r.file, tail.data(), static_cast<uLong>(n)) != n)
    return 0;
  // The last end record; the locator right before it, and the zip64 end record
  // (without extensible data) right before that.
  for (size_t at = n >= kEnd ? n - kEnd + 1 : 0; at-- > kZip64End + kLocator;) {
    if (std::memcmp(&tail[at], "PK\5\6", 4) != 0) continue;
    const unsigned char* locator = &tail[at - kLocator];
    const unsigned char* record = locator - kZip64End;
    if (std::memcmp(locator, "PK\6\7", 4) != 0 || std::memcmp(record, "PK\6\6", 4) != 0 ||
        zip_le(record + 4, 8) != kZip64End - 12)
      return 0;
    uint64_t found = file_size - n + static_cast<uint64_t>(record - tail.data());
    uint64_t said = zip_le(locator + 8, 8);
    return said < found ? found - said : 0;
  }
  return 0;
}

voidpf ZCALLBACK open_file(voidpf, const void* name, int mode) {
  if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) return nullptr;
  Reader* r = new (std::nothrow) Reader;
  if (!r) return nullptr;
  fill_fopen64_filefunc(&r->base);
  // Opened here, for a UTF-8 name; minizip's functions then work on the stream.
  r->file = plat_fopen(static_cast<const char*>(name), "rb");
  if (r->file && r->base.zseek64_file(r->base.opaque, r->file, 0, ZLIB_FILEFUNC_SEEK_END) == 0) {
    uint64_t file_size = r->base.ztell64_file(r->base.opaque, r->file);
    if (file_size != static_cast<ZPOS64_T>(-1)) {
      r->shift = bytes_before_zip64(*r, file_size);
      r->size = file_size - r->shift;
      r->file_pos = r->size;
      return r;
    }
  }
  if (r->file) r->base.zclose_file(r->base.opaque, r->file);
  delete r;
  return nullptr;
}

uLong ZCALLBACK read_file(voidpf, voidpf stream, void* buf, uLong size) {
  Reader& r = *static_cast<Reader*>(stream);
  char* to = static_cast<char*>(buf);
  uLong done = 0;
  while (done < size) {
    Block* hit = nullptr;
    for (int b = 0; b < 2 && !hit; ++b) {
      Block& k = r.blocks[(r.recent + b) % 2];
      if (r.pos >= k.start && r.pos < k.start + k.filled) {
        hit = &k;
        r.recent = (r.recent + b) % 2;
      }
    }
    if (hit) {
      size_t n = std::min<uint64_t>(size - done, hit->start + hit->filled - r.pos);
      std::memcpy(to + done, hit->data + (r.pos - hit->start), n);
      r.pos += n;
      done += static_cast<uLong>(n);
    } else if (size - done >= kBufferSize) {
      size_t got = read_direct(r, to + done, size - done);
      r.pos += got;
      done += static_cast<uLong>(got);
      break;
    } else {
      r.recent = 1 - r.recent;
      Block& k = r.blocks[r.recent];
      k.start = r.pos;
      k.filled = read_direct(r, k.data, kBufferSize);
      if (k.filled == 0) break;
    }
  }
  return done;
}

uLong ZCALLBACK write_file(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK tell_file(voidpf, voidpf stream) { return static_cast<Reader*>(stream)->pos; }

long ZCALLBACK seek_file(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  Reader& r = *static_cast<Reader*>(stream);
  if (origin == ZLIB_FILEFUNC_SEEK_SET)
    r.pos = offset;
  else if (origin == ZLIB_FILEFUNC_SEEK_CUR)
    r.pos += offset;
  else if (origin == ZLIB_FILEFUNC_SEEK_END)
    r.pos = r.size + offset;
  else
    return -1;
  return 0;
}

int ZCALLBACK close_file(voidpf, voidpf stream) {
  Reader* r = static_cast<Reader*>(stream);
  int result = r->base.zclose_file(r->base.opaque, r->file);
  delete r;
  return result;
}

int ZCALLBACK error_file(voidpf, voidpf stream) {
  Reader& r = *static_cast<Reader*>(stream);
  return r.base.zerror_file(r.base.opaque, r.file);
}

}  // namespace

void zip_read_functions(zlib_filefunc64_def* funcs) {
  funcs->zopen64_file = open_file;
  funcs->zread_file = read_file;
  funcs->zwrite_file = write_file;
  funcs->ztell64_file = tell_file;
  funcs->zseek64_file = seek_file;
  funcs->zclose_file = close_file;
  funcs->zerror_file = error_file;
  funcs->opaque = nullptr;
}

uint64_t zip_le(const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}
