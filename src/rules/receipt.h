// The installer's record of what it put into an install directory
// (RECEIPT_NAME there): for each archive it extracted, the SHA-256 the list gave
// it, the signed timestamp of that list, and every folder and file it wrote,
// with each file's size and CRC-32 from the archive's directory. An update of an
// archive takes away what the new one no longer has by it; quorvin-repo diff
// reckons with the same rules.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ReceiptItem {
  std::string path;  // below the install directory, as receipt_path gives it
  bool folder = false;
  uint64_t size = 0;  // files only
  uint32_t crc = 0;
};

struct ReceiptArchive {
  std::string name;       // the archive's file name
  std::string sha256;     // its "h:" in lower case; empty when the list gave none
  int64_t signed_at = 0;  // the signed timestamp of its list; 0 when unsigned
  std::vector<ReceiptItem> items;
};

struct Receipt {
  int64_t newest = 0;  // the newest signed timestamp of a list installed from here
  std::vector<ReceiptArchive> archives;  // in the order they were first installed
};

// A member's path below the install directory: "d:" and the member's name
// joined, components split on both separators, empty and "." ones left out,
// joined by '/'.
std::string receipt_path(const char* dest_subdir, const std::string& member);

// The receipt as its file holds it, and back. receipt_parse accepts nothing it
// does not understand, and no path that leaves the install directory: 0, or -1
// with *why naming the first line refused (r is then empty).
std::string receipt_text(const Receipt& r);
int receipt_parse(const std::string& text, Receipt* r, std::string* why);

// The record of the archive of that name (names compared as Windows does), or null.
const ReceiptArchive* receipt_find(const Receipt& r, const std::string& name);
// Puts record in the place of the archive's earlier one, or after the others;
// newest follows its signed timestamp.
void receipt_put(Receipt& r, const ReceiptArchive& record);

// What replacing old (a record of r) by an archive that wrote now leaves
// behind: the files of old that now lacks and no other record of r lists (in
// old's order), and the folders of old, given or holding its items, that
// neither now nor another record uses, deepest first. Paths are compared as
// Windows compares them.
void receipt_stale(const Receipt& r, const ReceiptArchive& old, const std::vector<ReceiptItem>& now,
                   std::vector<ReceiptItem>* files, std::vector<std::string>* folders);
