#include "install/zip_scan.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "install/names.h"
#include "install/zip_io.h"
#include "support/log.h"
#include "support/paths.h"

namespace {

// Names of this many bytes or more are refused, not cut.
const uLong kNameMax = 256;
const uint64_t kLocalHeaderSize = 30;

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
  uint64_t total = 0;
};

// A name as the log shows it: control bytes as \xNN, so that no name can
// start a log line of its own.
std::string shown(const std::string& name) {
  std::string s;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) {
      char esc[5];
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      s += esc;
    } else {
      s += static_cast<char>(c);
    }
  }
  return s;
}

// The name of an entry, walked to anew: only a refusal needs it.
std::string name_of(Scan& s, uint64_t entry) {
  char name[kNameMax];
  unz_file_info64 info;
  int at = unzGoToFirstFile(s.zip);
  for (uint64_t i = 0; at == UNZ_OK && i < entry; ++i) at = unzGoToNextFile(s.zip);
  if (at != UNZ_OK || unzGetCurrentFileInfo64(s.zip, &info, name, kNameMax, nullptr, 0, nullptr, 0) != UNZ_OK)
    return "?";
  return shown(std::string(name, std::min(info.size_filename, kNameMax)));
}

// Notes the path a name stands for on a file system blind to case, as Windows'
// is: its components, empty and "." ones left out, ASCII letters lowered. Each
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
      for (size_t j = start; j < i; ++j) {
        char c = name[j];
        hash = (hash ^ static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c)) * kPrime;
      }
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
    log_message("unzGetCurrentFileInfo() failed");
    return -1;
  }
  unsigned long long number = entry + 1;
  if (info.size_filename >= kNameMax) {
    log_message("install_archive: %s: name of entry %llu is too long (%lu bytes)", s.archive, number,
                static_cast<unsigned long>(info.size_filename));
    return -1;
  }
  std::string member(name, info.size_filename);
  if (member.empty()) {
    log_message("install_archive: %s: entry %llu has no name", s.archive, number);
    return -1;
  }
  if (const char* why = member_name_refusal(member)) {
    log_message("install_archive: %s: unsafe entry name %s (%s)", s.archive, shown(member).c_str(), why);
    return -1;
  }
  if (info.flag & 1) {
    log_message("install_archive: %s: entry %s is encrypted; encrypted entries are not installed",
                s.archive, member.c_str());
    return -1;
  }
  // minizip would open a bzip2 entry (12) even when built without bzip2 and
  // hand out its compressed bytes unchecked.
  if (info.compression_method != 0 && info.compression_method != 8) {
    log_message("install_archive: %s: entry %s uses compression method %lu; only stored (0) and "
                "deflated (8) can be extracted",
                s.archive, member.c_str(), static_cast<unsigned long>(info.compression_method));
    return -1;
  }

  // Opening it raw reads and checks its local header, and tells where its data starts.
  if (unzOpenCurrentFile2(s.zip, nullptr, nullptr, 1) != UNZ_OK) {
    log_message("install_archive: %s: the local header of entry %s is missing or does not match its "
                "directory entry",
                s.archive, member.c_str());
    return -1;
  }
  uint64_t data = unzGetCurrentFileZStreamPos64(s.zip);
  int local_extra = unzGetLocalExtrafield(s.zip, nullptr, 0);
  unzCloseCurrentFile(s.zip);
  uint64_t head = kLocalHeaderSize + info.size_filename + static_cast<uint64_t>(local_extra);
  if (local_extra < 0 || data < head || data > s.file.size || info.compressed_size > s.file.size - data) {
    log_message("install_archive: %s: entry %s runs past the end of the archive", s.archive,
                member.c_str());
    return -1;
  }
  uint64_t begin = data - head;
  if (!s.file.holds(begin + kLocalHeaderSize, name, info.size_filename)) {
    log_message("install_archive: %s: the local header of entry %s holds another name", s.archive,
                member.c_str());
    return -1;
  }
  s.spans.push_back({begin, data + info.compressed_size, entry});

  bool folder = is_sep(member.back());
  if (!folder)
    s.total = info.uncompressed_size > UINT64_MAX - s.total ? UINT64_MAX : s.total + info.uncompressed_size;
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
      log_message("install_archive: %s: entries %s and %s share bytes of the archive", s.archive,
                  name_of(s, first).c_str(), name_of(s, second).c_str());
      return -1;
    }
    if (s.spans[k].end > s.spans[widest].end) widest = k;
  }
  return 0;
}

// A path may be a file or a folder, not both: "a" then "a/" or "a/b" (or the
// other way round) would leave the later entry failing or the earlier one gone.
// Refused at the first entry that makes it both.
int check_paths(Scan& s) {
  std::sort(s.paths.begin(), s.paths.end(), [](const PathUse& a, const PathUse& b) {
    return a.hash != b.hash ? a.hash < b.hash : a.use < b.use;
  });
  uint64_t later = UINT64_MAX, earlier = 0;
  for (size_t first = 0, k = 0; k < s.paths.size(); ++k) {
    if (s.paths[k].hash != s.paths[first].hash) {
      first = k;
    } else if ((s.paths[k].use & 1) != (s.paths[first].use & 1) && s.paths[k].use / 2 < later) {
      later = s.paths[k].use / 2;
      earlier = s.paths[first].use / 2;
    }
  }
  if (later == UINT64_MAX) return 0;
  log_message("install_archive: %s: entry %s and entry %s need the same path as a file and as a folder",
              s.archive, name_of(s, later).c_str(), name_of(s, earlier).c_str());
  return -1;
}

}  // namespace

int zip_scan(unzFile zip, const char* archive_path, uint64_t count, uint64_t* total) {
  Scan s{zip, archive_path, count, {}, {}, {}, {}, 0};
  if (!s.file.open(archive_path)) {
    log_message("can't open %s for reading", archive_path);
    return -1;
  }
  // A count the file cannot hold is found out by the walk; no more room is taken for it.
  uint64_t room = std::min<uint64_t>(count, s.file.size / 46);
  s.spans.reserve(room);
  s.paths.reserve(room);
  // Its result is that of reading the first entry, which the walk reports.
  unzGoToFirstFile(zip);
  for (uint64_t entry = 0; entry < count; ++entry) {
    if (check_entry(s, entry) != 0) return -1;
    if (entry + 1 < count && unzGoToNextFile(zip) != UNZ_OK) {
      log_message("unzGoToNextFile() failed");
      return -1;
    }
  }
  if (check_overlaps(s) != 0 || check_paths(s) != 0) return -1;
  *total = s.total;
  return 0;
}
