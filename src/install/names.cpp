#include "install/names.h"

#include <cstring>

#include "install/pending.h"
#include "net/download.h"
#include "support/paths.h"

namespace {

// Only dots and spaces, two dots or more: Windows drops trailing dots and
// spaces, so "..." and ".. " climb like "..".
bool climbs(const char* begin, const char* end) {
  int dots = 0;
  for (const char* p = begin; p < end; ++p) {
    if (*p == '.')
      ++dots;
    else if (*p != ' ')
      return false;
  }
  return dots >= 2;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$, with any extension:
// Windows opens the device instead of a file of that name.
bool device_name(const char* begin, const char* end) {
  const char* dot = static_cast<const char*>(std::memchr(begin, '.', static_cast<size_t>(end - begin)));
  std::string stem(begin, dot ? dot : end);
  for (char& c : stem) c = lower(c);
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  static const char* const names[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
  for (const char* n : names)
    if (stem == n) return true;
  return stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
         stem[3] >= '1' && stem[3] <= '9';
}

// One path component, "." allowed (it stays where it is), empty allowed (a
// doubled or trailing separator).
const char* component_refusal(const char* begin, const char* end) {
  if (begin == end || (end - begin == 1 && *begin == '.')) return nullptr;
  if (climbs(begin, end)) return "'..' component (or one of dots and spaces only) leads outside its directory";
  for (const char* p = begin; p < end; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F) return "control character in the name";
    if (c == ':') return "drive letter or ':' in the name";
    if (std::strchr("<>\"|?*", c)) return "character that Windows does not allow in file names";
  }
  if (end[-1] == '.' || end[-1] == ' ') return "name ending in '.' or ' ' (Windows drops them)";
  if (device_name(begin, end)) return "name reserved by Windows for a device";
  return nullptr;
}

// Every component of a relative path split on both separators.
const char* path_refusal(const char* name, size_t len) {
  if (len > 0 && is_sep(name[0])) return "absolute name (starts with a separator)";
  const char* end = name + len;
  const char* start = name;
  for (const char* p = name;; ++p) {
    if (p == end || is_sep(*p)) {
      if (const char* why = component_refusal(start, p)) return why;
      if (p == end) return nullptr;
      start = p + 1;
    }
  }
}

}  // namespace

const char* url_refusal(const std::string& url) {
  for (unsigned char c : url)
    if (c <= ' ' || c == 0x7F) return "space or control character in the URL";
  return nullptr;
}

const char* archive_name_refusal(const std::string& name) {
  if (name.empty()) return "the URL ends in '/', so it names no archive";
  if (name == "." || name == "..") return "the URL names '.' or '..', not an archive";
  if (name.find('\\') != std::string::npos) return "'\\' in the archive name";
  if (const char* why = component_refusal(name.data(), name.data() + name.size())) return why;
  // The download directory also holds the manifest and the installer's own
  // temporary files; an archive must not be stored over one of them.
  std::string folded = name;
  for (char& c : folded) c = lower(c);
  auto ends_with = [&](const std::string& tail) {
    return folded.size() > tail.size() && folded.compare(folded.size() - tail.size(), tail.size(), tail) == 0;
  };
  if (folded == "filelist.txt" || folded == "filelist.txt.minisig")
    return "the name of the manifest or of its signature";
  if (ends_with(DOWNLOAD_TEMP_SUFFIX) || ends_with(PENDING_SUFFIX))
    return "ends like the installer's own temporary files (.part, .installing)";
  return nullptr;
}

const char* relative_path_refusal(const std::string& value) {
  if (value.find('\0') != std::string::npos) return "name holds a NUL byte";
  return path_refusal(value.data(), value.size());
}

const char* member_name_refusal(const char* name, size_t len) {
  if (len == 0) return "empty name";
  if (len >= 256) return "name of 256 bytes or more (the installer reads at most 255)";
  if (std::memchr(name, '\0', len)) return "name holds a NUL byte";
  return path_refusal(name, len);
}
