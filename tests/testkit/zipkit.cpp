#include "testkit/zipkit.h"

#include "testkit/testkit.h"

#include <zip.h>
#include <zlib.h>

#include <cstring>

const uint32_t ZipBuilder::kDefaultDos = dos_date_time(2020, 1, 2, 3, 4, 6);

uint32_t dos_date_time(int year, int month, int day, int hour, int minute, int second) {
  uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | (month << 5) | day);
  uint32_t time = static_cast<uint32_t>((hour << 11) | (minute << 5) | (second / 2));
  return (date << 16) | time;
}

time_t dos_to_local(uint32_t dos) {
  std::tm tm{};
  tm.tm_year = static_cast<int>(((dos >> 25) & 0x7F) + 80);
  tm.tm_mon = static_cast<int>((dos >> 21) & 0x0F) - 1;
  tm.tm_mday = static_cast<int>((dos >> 16) & 0x1F);
  tm.tm_hour = static_cast<int>((dos >> 11) & 0x1F);
  tm.tm_min = static_cast<int>((dos >> 5) & 0x3F);
  tm.tm_sec = static_cast<int>((dos & 0x1F) * 2);
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

uint32_t crc_of(const std::string& data) {
  return static_cast<uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

namespace {

// minizip's own file functions, opening the file at an offset: every member's
// offset in the archive then lies past it.
struct OpenAt {
  zlib_filefunc64_def base;
  uint64_t start;
};

voidpf ZCALLBACK open_at(voidpf opaque, const void* name, int mode) {
  OpenAt* at = static_cast<OpenAt*>(opaque);
  voidpf stream = at->base.zopen64_file(at->base.opaque, name, mode);
  if (stream && at->base.zseek64_file(at->base.opaque, stream, at->start, ZLIB_FILEFUNC_SEEK_SET) != 0) {
    at->base.zclose_file(at->base.opaque, stream);
    return nullptr;
  }
  return stream;
}

zipFile open_zip(const std::string& path, uint64_t start) {
  if (start == 0) return zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  static OpenAt at;  // minizip keeps only the functions, which ignore their opaque pointer
  fill_fopen64_filefunc(&at.base);
  at.start = start;
  zlib_filefunc64_def funcs = at.base;
  funcs.zopen64_file = open_at;
  funcs.opaque = &at;
  return zipOpen2_64(path.c_str(), APPEND_STATUS_CREATE, nullptr, &funcs);
}

}  // namespace

ZipBuilder::ZipBuilder(const std::string& path, uint64_t start)
    : path_(path), zip_(open_zip(path, start)) {
  ok_ = zip_ != nullptr;
}

ZipBuilder::~ZipBuilder() { close(); }

namespace {

uint32_t get16(const std::string& d, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(d[at]) | static_cast<unsigned char>(d[at + 1]) << 8);
}
uint32_t get32(const std::string& d, size_t at) { return get16(d, at) | get16(d, at + 2) << 16; }
void put16(std::string& d, size_t at, uint32_t v) {
  d[at] = static_cast<char>(v & 0xFF);
  d[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& d, size_t at, uint32_t v) {
  put16(d, at, v & 0xFFFF);
  put16(d, at + 2, v >> 16);
}
std::string le(uint64_t v, int bytes) {
  std::string s;
  for (int i = 0; i < bytes; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

// Calls fix(offset of the header, 0 for the local one or 16 for the central one)
// for the named member's two headers (the central one is 16 bytes longer in front
// of the same fields); true when there were both.
template <typename Fix>
bool patch_headers(std::string& d, const std::string& name, Fix fix) {
  int patched = 0;
  for (size_t at = 0; at + 46 <= d.size(); ++at) {
    if (d.compare(at, 4, "PK\3\4", 4) == 0 && get16(d, at + 26) == name.size() &&
        d.compare(at + 30, name.size(), name) == 0) {
      fix(at, 0);
      ++patched;
    } else if (d.compare(at, 4, "PK\1\2", 4) == 0 && get16(d, at + 28) == name.size() &&
               d.compare(at + 46, name.size(), name) == 0) {
      fix(at + 2, 16);  // from here on the fields line up with the local header's
      ++patched;
    }
  }
  return patched == 2;
}

bool patch_method(std::string& d, const std::string& name, int method) {
  return patch_headers(d, name, [&](size_t at, int) { put16(d, at + 8, static_cast<uint32_t>(method)); });
}

// Puts a zip64 end record and its locator before the end record, so that
// readers learn the true number of entries.
bool add_zip64_end(std::string& d, unsigned long count) {
  size_t eocd = d.rfind(std::string("PK\5\6", 4));
  if (eocd == std::string::npos || eocd + 22 > d.size()) return false;
  uint64_t cd_size = get32(d, eocd + 12), cd_offset = get32(d, eocd + 16);
  std::string rec = std::string("PK\6\6", 4) + le(44, 8) + le(45, 2) + le(45, 2) + le(0, 4) +
                    le(0, 4) + le(count, 8) + le(count, 8) + le(cd_size, 8) + le(cd_offset, 8);
  std::string loc = std::string("PK\6\7", 4) + le(0, 4) + le(eocd, 8) + le(1, 4);
  put16(d, eocd + 8, 0xFFFF);
  put16(d, eocd + 10, 0xFFFF);
  d.insert(eocd, rec + loc);
  return true;
}

zip_fileinfo info_for(uint32_t dos) {
  zip_fileinfo zi;
  std::memset(&zi, 0, sizeof zi);
  zi.dosDate = dos;
  return zi;
}
}  // namespace

ZipBuilder& ZipBuilder::add(const std::string& name, const std::string& data, uint32_t dos, int method,
                            bool zip64) {
  if (!zip_) return *this;
  zip_fileinfo zi = info_for(dos);
  ++count_;
  ok_ = ok_ &&
        zipOpenNewFileInZip64(zip_, name.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, method,
                              method ? Z_DEFAULT_COMPRESSION : 0, zip64) == ZIP_OK &&
        zipWriteInFileInZip(zip_, data.data(), static_cast<unsigned>(data.size())) == ZIP_OK &&
        zipCloseFileInZip(zip_) == ZIP_OK;
  return *this;
}

ZipBuilder& ZipBuilder::add_as(const std::string& name, const std::string& data, uint32_t attributes,
                               int made_by, int flags, const std::string& central_extra) {
  if (!zip_) return *this;
  zip_fileinfo zi = info_for(kDefaultDos);
  zi.external_fa = attributes;
  ++count_;
  ok_ = ok_ &&
        zipOpenNewFileInZip4_64(zip_, name.c_str(), &zi, nullptr, 0, central_extra.data(),
                                static_cast<uInt>(central_extra.size()), nullptr, Z_DEFLATED,
                                Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr,
                                0, static_cast<uLong>(made_by), static_cast<uLong>(flags), 0) == ZIP_OK &&
        zipWriteInFileInZip(zip_, data.data(), static_cast<unsigned>(data.size())) == ZIP_OK &&
        zipCloseFileInZip(zip_) == ZIP_OK;
  return *this;
}

ZipBuilder& ZipBuilder::add_raw(const std::string& name, const std::string& bytes, int method,
                                uint32_t crc, uint64_t size, uint32_t dos) {
  if (!zip_) return *this;
  zip_fileinfo zi = info_for(dos);
  ++count_;
  if (method != 0 && method != 8) {
    methods_.emplace_back(name, method);
    method = 0;
  }
  ok_ = ok_ &&
        zipOpenNewFileInZip2_64(zip_, name.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, method, 0, 1,
                                size >= 0xFFFFFFFFu) == ZIP_OK &&
        zipWriteInFileInZip(zip_, bytes.data(), static_cast<unsigned>(bytes.size())) == ZIP_OK &&
        zipCloseFileInZipRaw64(zip_, size, crc) == ZIP_OK;
  return *this;
}

bool ZipBuilder::close() {
  if (!zip_) return ok_;
  ok_ = zipClose(zip_, nullptr) == ZIP_OK && ok_;
  zip_ = nullptr;
  if (!ok_ || (methods_.empty() && count_ <= 0xFFFF)) return ok_;
  std::string d = read_file(path_);
  for (const auto& m : methods_) ok_ = patch_method(d, m.first, m.second) && ok_;
  if (count_ > 0xFFFF && d.find(std::string("PK\6\7", 4)) == std::string::npos)
    ok_ = add_zip64_end(d, count_) && ok_;
  write_file(path_, d);
  return ok_;
}

bool zip_set_flags(std::string& zip, const std::string& member, uint32_t bits) {
  return patch_headers(zip, member, [&](size_t at, int) { put16(zip, at + 6, get16(zip, at + 6) | bits); });
}

bool zip_rename_local(std::string& zip, const std::string& member, const std::string& other) {
  if (other.size() != member.size()) return false;
  size_t local = std::string::npos;
  bool both = patch_headers(zip, member, [&](size_t at, int central) {
    if (!central) local = at;
  });
  if (both) zip.replace(local + 30, other.size(), other);
  return both;
}

bool zip_grow_compressed(std::string& zip, const std::string& member, uint32_t extra) {
  return patch_headers(zip, member, [&](size_t at, int) { put32(zip, at + 18, get32(zip, at + 18) + extra); });
}

bool zip_repeat_entry(std::string& zip, const std::string& member, int copies) {
  size_t end = zip.rfind(std::string("PK\5\6", 4));
  if (end == std::string::npos || end + 22 > zip.size()) return false;
  size_t dir = get32(zip, end + 16);
  for (size_t at = dir; at + 46 <= end; at += 46 + get16(zip, at + 28) + get16(zip, at + 30) + get16(zip, at + 32)) {
    if (zip.compare(at, 4, "PK\1\2", 4) != 0) return false;
    if (get16(zip, at + 28) != member.size() || zip.compare(at + 46, member.size(), member) != 0) continue;
    size_t len = 46 + member.size() + get16(zip, at + 30) + get16(zip, at + 32);
    std::string entry = zip.substr(at, len);
    for (int i = 0; i < copies; ++i) zip.insert(at, entry);
    put16(zip, end + copies * len + 8, get16(zip, end + copies * len + 8) + copies);
    put16(zip, end + copies * len + 10, get16(zip, end + copies * len + 10) + copies);
    put32(zip, end + copies * len + 12, get32(zip, end + copies * len + 12) + copies * len);
    return true;
  }
  return false;
}

bool zip_add_zip64_end(std::string& zip) {
  size_t end = zip.rfind(std::string("PK\5\6", 4));
  return end != std::string::npos && end + 22 <= zip.size() && add_zip64_end(zip, get16(zip, end + 10));
}

bool zip_lower_count(std::string& zip, uint32_t by) {
  size_t end = zip.rfind(std::string("PK\5\6", 4));
  if (end == std::string::npos || end + 22 > zip.size() || get16(zip, end + 10) < by) return false;
  put16(zip, end + 8, get16(zip, end + 8) - by);
  put16(zip, end + 10, get16(zip, end + 10) - by);
  return true;
}
