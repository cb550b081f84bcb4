#include "rules/receipt.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unordered_set>
#include <utility>

#include "rules/names.h"
#include "support/paths.h"
#include "support/sha256.h"

namespace {

const char kFirstLine[] = "quorvin-receipt 1";

void append_components(std::string& out, const std::string& s) {
  size_t start = 0;
  for (size_t i = 0; i <= s.size(); ++i) {
    if (i < s.size() && !is_sep(s[i])) continue;
    if (i > start && !(i == start + 1 && s[start] == '.')) {
      if (!out.empty()) out += '/';
      out.append(s, start, i - start);
    }
    start = i + 1;
  }
}

// 1 to max decimal digits and nothing else.
bool read_number(const std::string& text, size_t max, uint64_t* value) {
  if (text.empty() || text.size() > max || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *value = std::strtoull(text.c_str(), nullptr, 10);
  return true;
}

// Eight lower-case hexadecimal digits, as receipt_text writes them.
bool read_crc(const std::string& text, uint32_t* crc) {
  if (text.size() != 8 || text.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
  *crc = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
  return true;
}

// A path an update may remove: below the install directory, in the form
// receipt_path gives, never the receipt itself.
bool good_path(const std::string& path) {
  return !path.empty() && !relative_path_refusal(path) && receipt_path(nullptr, path) == path;
}

std::string parent_of(const std::string& path) {
  size_t cut = path.rfind('/');
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && fold_name(a) == fold_name(b);
}

}  // namespace

std::string receipt_path(const char* dest_subdir, const std::string& member) {
  std::string out;
  if (dest_subdir) append_components(out, dest_subdir);
  append_components(out, member);
  return out;
}

std::string receipt_text(const Receipt& r) {
  std::string text = std::string(kFirstLine) + "\n# What the installer put here, so that an update can take away what it no longer has.\n";
  char line[64];
  if (r.newest > 0) text += "newest " + std::to_string(r.newest) + "\n";
  for (const ReceiptArchive& a : r.archives) {
    text += "archive " + a.name + "\n";
    if (!a.sha256.empty()) text += "sha256 " + a.sha256 + "\n";
    if (a.signed_at > 0) text += "signed " + std::to_string(a.signed_at) + "\n";
    for (const ReceiptItem& i : a.items) {
      if (i.folder) {
        text += "folder " + i.path + "\n";
        continue;
      }
      std::snprintf(line, sizeof line, "file %llu %08x ", static_cast<unsigned long long>(i.size), i.crc);
      text += line + i.path + "\n";
    }
  }
  return text + "end\n";
}

int receipt_parse(const std::string& text, Receipt* r, std::string* why) {
  *r = Receipt();
  Receipt got;
  std::unordered_set<std::string> names;
  int number = 0;
  bool ended = false;
  auto refuse = [&](const char* what) {
    *why = "line " + std::to_string(number) + ": " + what;
    return -1;
  };
  for (size_t at = 0; at < text.size();) {
    size_t end = std::min(text.find('\n', at), text.size());
    std::string line = text.substr(at, end - at);
    at = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (ended) return refuse("text after the last line");
    if (number == 1) {
      if (line != kFirstLine) return refuse("not a receipt this installer writes");
      continue;
    }
    if (line.empty() || line[0] == '#') continue;
    size_t space = line.find(' ');
    std::string key = line.substr(0, space), value = space == std::string::npos ? "" : line.substr(space + 1);
    ReceiptArchive* a = got.archives.empty() ? nullptr : &got.archives.back();
    uint64_t n = 0;
    if (line == "end") {
      ended = true;
    } else if (key == "newest") {
      if (a || got.newest || !read_number(value, 18, &n) || n == 0) return refuse("a misplaced or bad \"newest\"");
      got.newest = static_cast<int64_t>(n);
    } else if (key == "archive") {
      if (archive_name_refusal(value) || !names.insert(fold_name(value)).second)
        return refuse("a bad or repeated archive name");
      got.archives.emplace_back();
      got.archives.back().name = value;
    } else if (key == "sha256") {
      if (!a || !a->sha256.empty() || !a->items.empty() || !sha256_text_valid(value.c_str()))
        return refuse("a misplaced or bad SHA-256");
      a->sha256 = sha256_text_lower(value.c_str());
    } else if (key == "signed") {
      if (!a || a->signed_at || !a->items.empty() || !read_number(value, 18, &n) || n == 0)
        return refuse("a misplaced or bad signed timestamp");
      a->signed_at = static_cast<int64_t>(n);
    } else if (key == "folder") {
      if (!a || !good_path(value)) return refuse("a misplaced folder or a bad path");
      a->items.emplace_back();
      a->items.back().path = value;
      a->items.back().folder = true;
    } else if (key == "file") {
      // file SIZE CRC PATH: the path last, as it may hold spaces.
      size_t second = value.find(' '), third = second == std::string::npos ? second : value.find(' ', second + 1);
      ReceiptItem item;
      if (!a || third == std::string::npos || !read_number(value.substr(0, second), 19, &item.size) ||
          !read_crc(value.substr(second + 1, third - second - 1), &item.crc) || !good_path(value.substr(third + 1)))
        return refuse("a misplaced file or a bad size, CRC-32 or path");
      item.path = value.substr(third + 1);
      a->items.push_back(std::move(item));
    } else {
      return refuse("a line of no known kind");
    }
  }
  if (!ended) return refuse("the receipt ends before its last line");
  *r = std::move(got);
  return 0;
}

const ReceiptArchive* receipt_find(const Receipt& r, const std::string& name) {
  for (const ReceiptArchive& a : r.archives)
    if (same_name(a.name, name)) return &a;
  return nullptr;
}

void receipt_put(Receipt& r, const ReceiptArchive& record) {
  r.newest = std::max(r.newest, record.signed_at);
  for (ReceiptArchive& a : r.archives) {
    if (same_name(a.name, record.name)) {
      a = record;
      return;
    }
  }
  r.archives.push_back(record);
}

void receipt_stale(const Receipt& r, const ReceiptArchive& old, const std::vector<ReceiptItem>& now,
                   std::vector<ReceiptItem>* files, std::vector<std::string>* folders) {
  files->clear();
  folders->clear();
  // Folded paths of what stays: files, and folders with every folder above them.
  std::unordered_set<std::string> kept_files, kept_folders;
  auto keep_folder = [&](std::string folder) {
    for (; !folder.empty() && kept_folders.insert(folder).second; folder = parent_of(folder)) {
    }
  };
  auto keep = [&](const ReceiptItem& item) {
    std::string folded = fold_name(item.path);
    if (item.folder) {
      keep_folder(folded);
    } else {
      kept_files.insert(folded);
      keep_folder(parent_of(folded));
    }
  };
  for (const ReceiptItem& item : now) keep(item);
  for (const ReceiptArchive& a : r.archives)
    if (!same_name(a.name, old.name))
      for (const ReceiptItem& item : a.items) keep(item);

  std::unordered_set<std::string> seen;
  std::vector<std::pair<size_t, std::string>> candidates;  // depth, path
  for (const ReceiptItem& item : old.items) {
    std::string folded = fold_name(item.path);
    if (!item.folder && !kept_files.count(folded) && !kept_folders.count(folded)) files->push_back(item);
    std::string folder = item.folder ? item.path : parent_of(item.path);
    // Each folder once; above a kept one all are kept.
    for (; !folder.empty(); folder = parent_of(folder)) {
      std::string f = fold_name(folder);
      if (kept_folders.count(f) || !seen.insert(f).second) break;
      if (!kept_files.count(f)) candidates.emplace_back(std::count(f.begin(), f.end(), '/'), folder);
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const std::pair<size_t, std::string>& a, const std::pair<size_t, std::string>& b) {
                     return a.first > b.first;
                   });
  for (auto& c : candidates) folders->push_back(std::move(c.second));
}
