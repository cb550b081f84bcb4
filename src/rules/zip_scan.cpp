#include "rules/zip_scan.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "rules/names.h"
#include "rules/zip_io.h"
#include "support/paths.h"

namespace {

// Stored names of this many bytes or more are refused, not cut.
const uLong kNameMax = 256;
const uint64_t kLocalHeaderSize = 30;
const uint64_t kCentralHeaderSize = 46;
// The longest paths Windows' 8-bit file functions take, without the NUL: a
// folder must leave room for an 8.3 name in it.
const size_t kFilePathMax = 259;
const size_t kFolderPathMax = 247;
// The external attributes' MS-DOS folder bit, and, from an archive made on
// Unix (host 3 in the high byte of "version made by"), the file type in their
// high 16 bits.
const uLong kDosFolder = 0x10;
const uLong kHostUnix = 3;
const uLong kUnixTypeMask = 0170000, kUnixLink = 0120000, kUnixFolder = 0040000;
// General-purpose flag: the name (and comment) are UTF-8.
const uLong kFlagUtf8 = 1 << 11;

// Where one entry lies in the file: from its local header to the end of its data.
struct Span {
  uint64_t begin, end, entry;
};

// One use of a path: a hash of its folded form, and entry * 2 + 1 for a
// folder (the entry itself, or one it lies in) or entry * 2 for a file.
struct PathUse {
  uint64_t hash, use;
};

// The archive read beside minizip's handle, for the local headers' names.
struct File {
  zlib_filefunc64_def io{};
  voidpf stream = nullptr;
  uint64_t size = 0;

  ~File() {
    if (stream) io.zclose_file(io.opaque, stream);
  }
  bool open(const char* path) {
    zip_read_functions(&io);
    stream = io.zopen64_file(io.opaque, path, ZLIB_FILEFUNC_MODE_READ | ZLIB_FILEFUNC_MODE_EXISTING);
    if (!stream || io.zseek64_file(io.opaque, stream, 0, ZLIB_FILEFUNC_SEEK_END) != 0) return false;
    size = io.ztell64_file(io.opaque, stream);
    return true;
  }
  // Whether the n bytes at offset at are those of text (n < kNameMax).
  bool holds(uint64_t at, const char* text, uLong n) {
    char got[kNameMax];
    return io.zseek64_file(io.opaque, stream, at, ZLIB_FILEFUNC_SEEK_SET) == 0 &&
           io.zread_file(io.opaque, stream, got, n) == n && std::equal(got, got + n, text);
  }
};

struct Scan {
  unzFile zip;
  const char* archive;
  uint64_t count;
  File file;
  std::vector<Span> spans;
  std::vector<PathUse> paths;
  std::vector<uint64_t> last_folders;  // hashes of the folders the last entry lies in
  const char* destination;
  size_t destination_length;  // with the separator joined after it
  uint32_t unit;
  ZipScan result{};
  uint64_t directory_end = 0;  // where the directory entry after the last one read would start
};

// Records a refusal: what, the entry concerned, and the installer's line, which
// names the archive before the words.
__attribute__((format(printf, 4, 5))) int refuse(Scan& s, ZipRefusal why, const std::string& member,
                                                 const char* format, ...) {
  char words[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(words, sizeof words, format, args);
  va_end(args);
  s.result.refusal = why;
  s.result.member = shown_name(member);
  s.result.reason = words;
  s.result.line = std::string("install_archive: ") + s.archive + ": " + words;
  return -1;
}

// A failure to read the archive at all: its line is the whole reason.
int refuse_line(Scan& s, ZipRefusal why, const std::string& line) {
  s.result.refusal = why;
  s.result.member.clear();
  s.result.reason = s.result.line = line;
  return -1;
}

// The name of an entry, walked to anew: only a refusal needs it.
std::string name_of(Scan& s, uint64_t entry) {
  char name[kNameMax];
  unz_file_info64 info;
  int at = unzGoToFirstFile(s.zip);
  for (uint64_t i = 0; at == UNZ_OK && i < entry; ++i) at = unzGoToNextFile(s.zip);
  std::string text;
  if (at != UNZ_OK || unzGetCurrentFileInfo64(s.zip, &info, name, kNameMax, nullptr, 0, nullptr, 0) != UNZ_OK ||
      info.size_filename >= kNameMax || zip_entry_name(s.zip, info, name, text) != 0)
    return "?";
  return shown_name(text);
}

// Notes the path a name stands for on a file system blind to case, as Windows'
// is: its components, empty and "." ones left out, letters folded (fold_name). Each
// folder it lies in is noted too, unless the entry before lay in it as well.
void note_path(Scan& s, uint64_t entry, const std::string& name, bool folder) {
  const uint64_t kBasis = 14695981039346656037ull, kPrime = 1099511628211ull;  // FNV-1a
  uint64_t hash = kBasis;
  size_t depth = 0;
  bool empty = true, same_folders = true;
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && !is_sep(name[i])) continue;
    if (i > start && !(i == start + 1 && name[start] == '.')) {
      if (!empty) {  // what came before is a folder
        same_folders = same_folders && depth < s.last_folders.size() && s.last_folders[depth] == hash;
        if (!same_folders) {
          s.last_folders.resize(depth);
          s.last_folders.push_back(hash);
          s.paths.push_back({hash, entry * 2 + 1});
        }
        ++depth;
        hash = (hash ^ '/') * kPrime;
      }
      for (unsigned char c : fold_name(name.substr(start, i - start))) hash = (hash ^ c) * kPrime;
      empty = false;
    }
    start = i + 1;
  }
  if (same_folders) s.last_folders.resize(std::min(depth, s.last_folders.size()));
  if (!empty) s.paths.push_back({hash, entry * 2 + (folder ? 1 : 0)});
}

int check_entry(Scan& s, uint64_t entry) {
  unz_file_info64 info;
  char name[kNameMax];
  if (unzGetCurrentFileInfo64(s.zip, &info, name, kNameMax, nullptr, 0, nullptr, 0) != UNZ_OK) {
    return refuse_line(s, ZIP_UNREADABLE, "unzGetCurrentFileInfo() failed");
  }
  unsigned long long number = entry + 1;
  if (info.size_filename >= kNameMax) {
    return refuse(s, ZIP_NAME_TOO_LONG, "", "name of entry %llu is too long (%lu bytes)", number,
                  static_cast<unsigned long>(info.size_filename));
  }
  if (info.size_filename == 0) {
    return refuse(s, ZIP_NO_NAME, "", "entry %llu has no name", number);
  }
  // Every rule below holds for the name as Windows will see it, decoded.
  std::string member;
  if (zip_entry_name(s.zip, info, name, member) != 0) {
    if (info.flag & kFlagUtf8)
      return refuse(s, ZIP_NAME_ENCODING, "", "the name of entry %llu is marked as UTF-8 but is not valid UTF-8",
                    number);
    return refuse(s, ZIP_NAME_ENCODING, "", "the name of entry %llu is not text in the system's code page", number);
  }
  if (const char* why = member_text_refusal(member)) {
    return refuse(s, ZIP_UNSAFE_NAME, member, "unsafe entry name %s (%s)", shown_name(member).c_str(), why);
  }
  // Written out, a link would become a small file holding its target's name;
  // and a Windows program cannot count on the right to make links.
  if (info.version >> 8 == kHostUnix && ((info.external_fa >> 16) & kUnixTypeMask) == kUnixLink) {
    return refuse(s, ZIP_LINK, member,
                  "entry %s is a symbolic link; links are not installed, as Windows may not allow making them",
                  member.c_str());
  }
  if (info.flag & 1) {
    return refuse(s, ZIP_ENCRYPTED, member, "entry %s is encrypted; encrypted entries are not installed",
                  member.c_str());
  }
  // minizip would open a bzip2 entry (12) even when built without bzip2 and
  // hand out its compressed bytes unchecked.
  if (info.compression_method != 0 && info.compression_method != 8) {
    return refuse(s, ZIP_METHOD, member,
                  "entry %s uses compression method %lu; only stored (0) and deflated (8) can be extracted",
                  member.c_str(), static_cast<unsigned long>(info.compression_method));
  }

  // A stored entry's data is its content: sizes that differ would show only
  // while it is written, over a file that may be installed already.
  bool folder = zip_entry_is_folder(info, member);
  if (info.compression_method == 0 && info.compressed_size != info.uncompressed_size && !folder) {
    return refuse(s, ZIP_STORED_SIZES, member, "stored entry %s gives %llu bytes of data for a size of %llu",
                  member.c_str(), static_cast<unsigned long long>(info.compressed_size),
                  static_cast<unsigned long long>(info.uncompressed_size));
  }

  // Opening it raw reads and checks its local header, and tells where its data starts.
  if (unzOpenCurrentFile2(s.zip, nullptr, nullptr, 1) != UNZ_OK) {
    return refuse(s, ZIP_LOCAL_HEADER, member,
                  "the local header of entry %s is missing or does not match its directory entry",
                  member.c_str());
  }
  uint64_t data = unzGetCurrentFileZStreamPos64(s.zip);
  int local_extra = unzGetLocalExtrafield(s.zip, nullptr, 0);
  unzCloseCurrentFile(s.zip);
  uint64_t head = kLocalHeaderSize + info.size_filename + static_cast<uint64_t>(local_extra);
  if (local_extra < 0 || data < head || data > s.file.size || info.compressed_size > s.file.size - data) {
    return refuse(s, ZIP_PAST_END, member, "entry %s runs past the end of the archive", member.c_str());
  }
  uint64_t begin = data - head;
  if (!s.file.holds(begin + kLocalHeaderSize, name, info.size_filename)) {
    return refuse(s, ZIP_LOCAL_NAME, member, "the local header of entry %s holds another name",
                  member.c_str());
  }
  // The path of the entry, or of the folder its file lies in, as joined below
  // the destination, in the UTF-16 units Windows counts.
  size_t last_sep = member.find_last_of("/\\");
  size_t folder_bytes = folder ? member.size() - (is_sep(member.back()) ? 1 : 0) : last_sep == std::string::npos ? 0 : last_sep;
  size_t file_length = utf16_length(member), folder_length = utf16_length(member.substr(0, folder_bytes));
  bool file_too_long = !folder && s.destination_length + file_length > kFilePathMax;
  if (file_too_long || (folder_length > 0 && s.destination_length + folder_length > kFolderPathMax)) {
    return refuse(s, ZIP_PATH_TOO_LONG, member,
                  "entry %s would make a path of %lu characters below %s, longer than Windows allows",
                  member.c_str(),
                  static_cast<unsigned long>(s.destination_length + (file_too_long ? file_length : folder_length)),
                  s.destination);
  }
  s.spans.push_back({begin, data + info.compressed_size, entry});
  s.directory_end =
      unzGetOffset64(s.zip) + kCentralHeaderSize + info.size_filename + info.size_file_extra + info.size_file_comment;

  if (!folder) {
    // Many small files on a drive of large units take far more than their sizes.
    uint64_t room = size_in_units(info.uncompressed_size, s.unit);
    s.result.room = room > UINT64_MAX - s.result.room ? UINT64_MAX : s.result.room + room;
  }
  note_path(s, entry, member, folder);
  return 0;
}

// Entries that share bytes make a small archive write far more than it holds.
int check_overlaps(Scan& s) {
  std::sort(s.spans.begin(), s.spans.end(),
            [](const Span& a, const Span& b) { return a.begin < b.begin; });
  size_t widest = 0;  // of the spans so far, the one that reaches furthest
  for (size_t k = 1; k < s.spans.size(); ++k) {
    if (s.spans[k].begin < s.spans[widest].end) {
      uint64_t first = std::min(s.spans[k].entry, s.spans[widest].entry);
      uint64_t second = std::max(s.spans[k].entry, s.spans[widest].entry);
      std::string one = name_of(s, first), other = name_of(s, second);
      return refuse(s, ZIP_SHARED_BYTES, other, "entries %s and %s share bytes of the archive", one.c_str(),
                    other.c_str());
    }
    if (s.spans[k].end > s.spans[widest].end) widest = k;
  }
  return 0;
}

// A path may be a file or a folder, not both: "a" then "a/" or "a/b" (or the
// other way round) would leave the later entry failing or the earlier one gone.
// Nor may two files share one: the later would silently replace the earlier
// ("a" and "A", "d/b" and "d\\b" are one file on Windows). Refused at the first
// entry that makes a path so.
int check_paths(Scan& s) {
  std::sort(s.paths.begin(), s.paths.end(), [](const PathUse& a, const PathUse& b) {
    return a.hash != b.hash ? a.hash < b.hash : a.use < b.use;
  });
  uint64_t later = UINT64_MAX, earlier = 0;
  bool both_files = false;
  const uint64_t kNone = UINT64_MAX;
  uint64_t first_file = kNone;  // of the current path, the first entry that is a file there
  for (size_t first = 0, k = 0; k < s.paths.size(); ++k) {
    if (s.paths[k].hash != s.paths[first].hash) {
      first = k;
      first_file = kNone;
    }
    uint64_t entry = s.paths[k].use / 2;
    bool is_file = (s.paths[k].use & 1) == 0;
    if ((s.paths[k].use & 1) != (s.paths[first].use & 1) && entry < later) {
      later = entry;
      earlier = s.paths[first].use / 2;
      both_files = false;
    } else if (is_file && first_file != kNone && entry < later) {
      later = entry;
      earlier = first_file;
      both_files = true;
    }
    if (is_file && first_file == kNone) first_file = entry;
  }
  if (later == UINT64_MAX) return 0;
  std::string one = name_of(s, later), other = name_of(s, earlier);
  if (both_files)
    return refuse(s, ZIP_SAME_FILE, one, "entry %s and entry %s name the same file", one.c_str(), other.c_str());
  return refuse(s, ZIP_FILE_AND_FOLDER, one, "entry %s and entry %s need the same path as a file and as a folder",
                one.c_str(), other.c_str());
}

// The end record's count is what minizip walks: entries past it would be left
// out of the install without a word.
int check_directory_end(Scan& s) {
  if (unzSetOffset64(s.zip, s.directory_end) != UNZ_OK) return 0;
  return refuse(s, ZIP_UNCOUNTED, "", "the archive's directory holds more entries than its end record counts");
}

// Info-ZIP's Unicode Path field (0x7075): version 1, the CRC-32 of the stored
// name it stands for, then the name in UTF-8. A field that no longer matches
// the stored name (renamed by a tool that knew nothing of it) does not count.
bool unicode_path(const std::vector<unsigned char>& extra, const char* stored, size_t len, std::string& name) {
  for (size_t at = 0; at + 4 <= extra.size();) {
    uint64_t id = zip_le(&extra[at], 2), size = zip_le(&extra[at + 2], 2);
    const unsigned char* data = extra.data() + at + 4;
    at += 4 + size;
    if (at > extra.size()) return false;
    if (id != 0x7075 || size <= 5 || data[0] != 1) continue;
    const char* text = reinterpret_cast<const char*>(data + 5);
    return zip_le(data + 1, 4) == crc32(0, reinterpret_cast<const Bytef*>(stored), static_cast<uInt>(len)) &&
           member_name_text(text, static_cast<size_t>(size - 5), true, name) == 0;
  }
  return false;
}
}  // namespace

int zip_entry_name(unzFile zip, const unz_file_info64& info, const char* stored, std::string& name) {
  size_t len = info.size_filename;
  if (info.flag & kFlagUtf8) return member_name_text(stored, len, true, name);
  if (info.size_file_extra > 0) {
    std::vector<unsigned char> extra(info.size_file_extra);
    unz_file_info64 again;
    if (unzGetCurrentFileInfo64(zip, &again, nullptr, 0, extra.data(), static_cast<uLong>(extra.size()), nullptr,
                                0) == UNZ_OK &&
        unicode_path(extra, stored, len, name))
      return 0;
  }
  // Tools on Unix store names unflagged in the maker's locale, UTF-8 on every
  // current system: bytes that are UTF-8 are read so, as other extractors do.
  if ((info.version >> 8) == kHostUnix && valid_utf8(stored, len)) {
    name.assign(stored, len);
    return 0;
  }
  return member_name_text(stored, len, false, name);
}

bool zip_entry_is_folder(const unz_file_info64& info, const std::string& name) {
  bool unix_folder = (info.version >> 8) == kHostUnix && ((info.external_fa >> 16) & kUnixTypeMask) == kUnixFolder;
  return (!name.empty() && is_sep(name.back())) ||
         ((unix_folder || (info.external_fa & kDosFolder)) && info.uncompressed_size == 0);
}

ZipScan zip_scan(unzFile zip, const char* archive_path, uint64_t count, const std::string& destination_dir) {
  size_t joined = utf16_length(destination_dir) + (!destination_dir.empty() && is_sep(destination_dir.back()) ? 0 : 1);
  Scan s{zip, archive_path, count, {}, {}, {}, {}, destination_dir.c_str(), joined,
         allocation_unit(destination_dir)};
  // unzOpen stands on the first directory entry whatever the count says: an
  // archive that counts none but holds some is damaged, not empty.
  unz_file_info64 first;
  if (count == 0) {
    if (unzGetCurrentFileInfo64(zip, &first, nullptr, 0, nullptr, 0, nullptr, 0) == UNZ_OK)
      refuse_line(s, ZIP_UNCOUNTED,
                  "install_archive: the archive's directory holds entries that its end record does not count");
    return s.result;
  }
  if (!s.file.open(archive_path)) {
    refuse_line(s, ZIP_UNREADABLE, std::string("can't open ") + archive_path + " for reading");
    return s.result;
  }
  // A count the file cannot hold is found out by the walk; no more room is taken for it.
  uint64_t room = std::min<uint64_t>(count, s.file.size / kCentralHeaderSize);
  s.spans.reserve(room);
  s.paths.reserve(room);
  // Its result is that of reading the first entry, which the walk reports.
  unzGoToFirstFile(zip);
  for (uint64_t entry = 0; entry < count; ++entry) {
    if (check_entry(s, entry) != 0) return s.result;
    if (entry + 1 < count && unzGoToNextFile(zip) != UNZ_OK) {
      refuse_line(s, ZIP_UNREADABLE, "unzGoToNextFile() failed");
      return s.result;
    }
  }
  if (check_directory_end(s) == 0 && check_overlaps(s) == 0) check_paths(s);
  return s.result;
}
