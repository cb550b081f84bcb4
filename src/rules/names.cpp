#include "rules/names.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
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

// The digit of COM1 or LPT1, also as written by those who take the names from
// Windows' own list: 0, and the superscripts 1 to 3 in the Western code page
// (0xB9, 0xB2, 0xB3) or in UTF-8 (0xC2 followed by one of them).
bool device_digit(const std::string& tail) {
  auto superscript = [](unsigned char c) { return c == 0xB9 || c == 0xB2 || c == 0xB3; };
  if (tail.size() == 1)
    return (tail[0] >= '0' && tail[0] <= '9') || superscript(static_cast<unsigned char>(tail[0]));
  return tail.size() == 2 && static_cast<unsigned char>(tail[0]) == 0xC2 &&
         superscript(static_cast<unsigned char>(tail[1]));
}

// CON, PRN, AUX, NUL, COM0-9, LPT0-9 (and the superscript forms), CONIN$,
// CONOUT$, with any extension: Windows opens the device instead of a file of that name.
bool device_name(const char* begin, const char* end) {
  const char* dot = static_cast<const char*>(std::memchr(begin, '.', static_cast<size_t>(end - begin)));
  std::string stem(begin, dot ? dot : end);
  for (char& c : stem) c = lower(c);
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  static const char* const names[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
  for (const char* n : names)
    if (stem == n) return true;
  return stem.size() > 3 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
         device_digit(stem.substr(3));
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

// The receipt's names: a member of one of them would be taken for the
// installer's own file, or replaced by it.
bool receipt_name(const char* begin, const char* end) {
  std::string receipt = RECEIPT_NAME, temp = receipt + DOWNLOAD_TEMP_SUFFIX;
  size_t n = static_cast<size_t>(end - begin);
  if (n != receipt.size() && n != temp.size()) return false;
  std::string folded = fold_name(std::string(begin, end));
  return folded == receipt || folded == temp;
}

// Every component of a relative path split on both separators.
const char* path_refusal(const char* name, size_t len) {
  if (len > 0 && is_sep(name[0])) return "absolute name (starts with a separator)";
  const char* end = name + len;
  const char* start = name;
  for (const char* p = name;; ++p) {
    if (p == end || is_sep(*p)) {
      if (const char* why = component_refusal(start, p)) return why;
      if (receipt_name(start, p)) return "the name of the installer's record of installed files";
      if (p == end) return nullptr;
      start = p + 1;
    }
  }
}

}  // namespace

const char* archive_name_refusal(const std::string& name) {
  if (name.empty()) return "the URL ends in '/', so it names no archive";
  if (name == "." || name == "..") return "the URL names '.' or '..', not an archive";
  if (name.find('\\') != std::string::npos) return "'\\' in the archive name";
  if (const char* why = component_refusal(name.data(), name.data() + name.size())) return why;
  // The download directory also holds the manifest and the installer's own
  // temporary files; an archive must not be stored over one of them.
  std::string folded = fold_name(name);
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
  if (len >= 256) return "name of 256 bytes or more (the installer reads at most 255)";
  return member_text_refusal(std::string(name, len));
}

const char* member_text_refusal(const std::string& text) {
  if (text.empty()) return "empty name";
  if (text.find('\0') != std::string::npos) return "name holds a NUL byte";
  return path_refusal(text.data(), text.size());
}

namespace {

// The code point of the UTF-8 sequence at text[*at], *at moved past it; -1
// (*at unmoved) for a malformed one.
long next_code_point(const char* text, size_t len, size_t* at) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text) + *at;
  size_t left = len - *at;
  unsigned char c = p[0];
  size_t n = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  if (n == 0 || n > left) return -1;
  long cp = n == 1 ? c : c & (0x7F >> n);
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return -1;
    cp = cp << 6 | (p[i] & 0x3F);
  }
  const long least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  *at += n;
  return cp;
}

void append_utf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The small letter of a capital, for the scripts whose capitals Windows folds
// in file names; any other code point as it is.
long fold_code_point(long c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 0x20;
  if (c == 0x178) return 0xFF;
  // Latin Extended-A: capitals and small letters alternate, the capital first
  // except between U+0139 and U+0148 and from U+0179 on.
  if (c >= 0x100 && c <= 0x17E && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149) {
    bool odd_capitals = (c >= 0x139 && c <= 0x148) || c >= 0x179;
    return (c % 2 == 1) == odd_capitals ? c + 1 : c;
  }
  if ((c >= 0x391 && c <= 0x3AB && c != 0x3A2) || (c >= 0x410 && c <= 0x42F) || (c >= 0xFF21 && c <= 0xFF3A))
    return c + 0x20;
  if (c == 0x386) return 0x3AC;
  if (c >= 0x388 && c <= 0x38A) return c + 37;
  if (c == 0x38C) return 0x3CC;
  if (c == 0x38E || c == 0x38F) return c + 63;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  return c;
}

// One byte that is not part of UTF-8 text, folded as the Western code page has it.
char fold_name_char(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  if (u >= 'A' && u <= 'Z') return static_cast<char>(u - 'A' + 'a');
  // The upper half's capitals: A grave to Thorn of the Western code page (and
  // the Cyrillic capitals at the same places of theirs), S and Z caron, OE, Y
  // diaeresis. Folding a few more than Windows does only refuses more.
  if (u >= 0xC0 && u <= 0xDF) return static_cast<char>(u + 0x20);
  if (u == 0x8A || u == 0x8C || u == 0x8E) return static_cast<char>(u + 0x10);
  if (u == 0x9F) return static_cast<char>(0xFF);
  return c;
}

}  // namespace

std::string fold_name(const std::string& name) {
  std::string folded;
  folded.reserve(name.size());
  for (size_t at = 0; at < name.size();) {
    long cp = next_code_point(name.data(), name.size(), &at);
    if (cp >= 0)
      append_utf8(folded, static_cast<unsigned long>(fold_code_point(cp)));
    else
      folded += fold_name_char(name[at++]);
  }
  return folded;
}

bool valid_utf8(const char* text, size_t len) {
  for (size_t at = 0; at < len;)
    if (next_code_point(text, len, &at) < 0) return false;
  return true;
}

int member_name_text(const char* name, size_t len, bool utf8, std::string& text) {
  if (utf8) {
    if (!valid_utf8(name, len)) return -1;
    text.assign(name, len);
    return 0;
  }
  std::u16string wide;
  if (plat_oem_to_utf16(name, len, wide) != 0) return -1;
  text.clear();
  for (size_t i = 0; i < wide.size(); ++i) {
    unsigned long c = wide[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF)
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
    else if (c >= 0xD800 && c <= 0xDFFF)
      return -1;
    append_utf8(text, c);
  }
  return 0;
}

size_t utf16_length(const std::string& text) {
  size_t units = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++units;  // each sequence's first byte
    if (c >= 0xF0) ++units;           // past the Basic Multilingual Plane: a surrogate pair
  }
  return units;
}

std::string shown_name(const std::string& name) {
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
