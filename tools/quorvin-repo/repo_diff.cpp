#include "repo_diff.h"

#include <unzip.h>

#include <set>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"
#include "repo_layout.h"
#include "repo_manifest.h"
#include "repo_report.h"
#include "rules/filelist.h"
#include "rules/names.h"
#include "rules/receipt.h"
#include "rules/zip_io.h"
#include "rules/zip_scan.h"
#include "support/paths.h"
#include "support/sha256.h"

namespace {

// One entry of a repository and the record its extraction leaves in a receipt.
struct Archive {
  const FileListEntry* entry = nullptr;
  ReceiptArchive record;
  std::string content;  // the archive file's own SHA-256
};

struct Side {
  FileList list;
  std::vector<Archive> archives;  // in the list's order
};

bool selected(const FileListEntry* e, int variant) { return e->variant < 0 || e->variant == variant; }

int read_archive(const std::string& dir, const FileListEntry* e, Archive* a) {
  a->entry = e;
  if (!e->url)
    return repo_error("%s: the entry of line %d has no u: line", path_join(dir, MANIFEST_NAME).c_str(), e->line);
  std::string path = path_join(dir, url_file_name(e->url));
  a->record.name = url_file_name(e->url);
  a->record.sha256 = e->sha256 ? e->sha256 : "";
  if (plat_path_kind(path.c_str()) != PLAT_KIND_FILE) return repo_error("%s: is missing", path.c_str());
  zlib_filefunc64_def io;
  zip_read_functions(&io);
  unzFile zip = unzOpen2_64(path.c_str(), &io);
  if (!zip) return repo_error("%s: not a readable zip archive", path.c_str());
  char name[256];
  int at = unzGoToFirstFile(zip);
  for (; at == UNZ_OK; at = unzGoToNextFile(zip)) {
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK ||
        info.size_filename == 0 || info.size_filename >= sizeof name)
      break;
    // Named and told apart as the installer records them.
    std::string member;
    if (zip_entry_name(zip, info, name, member) != 0) break;
    ReceiptItem item;
    item.path = receipt_path(e->dest_subdir, member);
    if (item.path.empty()) continue;
    item.folder = zip_entry_is_folder(info, member);
    item.size = item.folder ? 0 : info.uncompressed_size;
    item.crc = item.folder ? 0 : static_cast<uint32_t>(info.crc);
    a->record.items.push_back(item);
  }
  unzClose(zip);
  if (at != UNZ_END_OF_LIST_OF_FILE || sha256_file(path, &a->content) != 0)
    return repo_error("%s: not a readable zip archive", path.c_str());
  return 0;
}

int read_side(const std::string& dir, Side& side) {
  if (manifest_load(dir, &side.list) != 0) return -1;
  int result = 0;
  for (const FileListEntry* e = side.list.head; e; e = e->next) {
    side.archives.emplace_back();
    if (read_archive(dir, e, &side.archives.back()) != 0) result = -1;
  }
  return result;
}

std::string parent_of(const std::string& path) {
  size_t cut = path.rfind('/');
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

// Folded paths of what the items make: files, and folders (given, or holding an item).
void note_paths(const std::vector<ReceiptItem>& items, std::unordered_set<std::string>* files,
                std::unordered_set<std::string>* folders) {
  for (const ReceiptItem& item : items) {
    std::string folded = fold_name(item.path);
    if (!item.folder) files->insert(folded);
    for (std::string f = item.folder ? folded : parent_of(folded); !f.empty(); f = parent_of(f))
      if (!folders->insert(f).second) break;
  }
}

// A path one version has as a file and the other as a folder, or empty: the
// installer writes the new archive before the old files go, so it cannot
// make the one where the other still is.
std::string file_and_folder(const ReceiptArchive& old, const ReceiptArchive& now) {
  std::unordered_set<std::string> old_files, old_folders, new_files, new_folders;
  note_paths(old.items, &old_files, &old_folders);
  note_paths(now.items, &new_files, &new_folders);
  for (const ReceiptItem& item : old.items)
    if (!item.folder && new_folders.count(fold_name(item.path))) return item.path;
  for (const ReceiptItem& item : now.items)
    if (!item.folder && old_folders.count(fold_name(item.path))) return item.path;
  return std::string();
}

std::string counted(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

int repo_diff(const std::string& old_dir, const std::string& new_dir, std::string& text) {
  text.clear();
  Side before, after;
  int result = read_side(old_dir, before);
  if (read_side(new_dir, after) != 0 || result != 0) return -1;
  std::set<std::string> said;  // problems and warnings, once for all variants
  for (int v = 0; v < 4; ++v) {
    // The receipt of a user who installed the variant from old_dir, and what is there.
    Receipt receipt;
    std::unordered_set<std::string> files, folders;
    for (const Archive& a : before.archives) {
      if (!selected(a.entry, v)) continue;
      receipt_put(receipt, a.record);
      note_paths(a.record.items, &files, &folders);
    }
    const Receipt installed = receipt;
    std::string lines;
    size_t fresh = 0, updates = 0, removed = 0;
    std::unordered_set<std::string> listed;
    for (const Archive& a : after.archives) {
      if (!selected(a.entry, v)) continue;
      const FileListEntry* e = a.entry;
      const std::string& name = a.record.name;
      listed.insert(fold_name(name));
      // The plan's decision, made before anything is extracted.
      const ReceiptArchive* had = receipt_find(installed, name);
      std::string marker = e->check_path ? fold_name(receipt_path(nullptr, e->check_path)) : "";
      bool there = !marker.empty() && (files.count(marker) || folders.count(marker));
      bool update = e->sha256 && (there || had) && (!had || had->sha256 != e->sha256);
      if (there && !update) {
        for (const Archive& b : before.archives)
          if (had && !e->sha256 && selected(b.entry, v) && fold_name(b.record.name) == fold_name(name) &&
              b.content != a.content && said.insert("no h: " + name).second)
            repo_warning("%s changed, but its entry has no h:, so users who have it keep the old one "
                         "(build writes h:)", name.c_str());
        continue;
      }
      lines += std::string(had ? "    update  " : "    new     ") + name + "\n";
      ++(had ? updates : fresh);
      // Then its extraction, in the list's order, each against the receipt as it is by then.
      if (const ReceiptArchive* old = receipt_find(receipt, name)) {
        std::string clash = file_and_folder(*old, a.record);
        if (!clash.empty() && said.insert("clash " + name).second) {
          repo_error("%s: %s is a file in one version and a folder in the other: users who have the old one "
                     "cannot update it; give the new one another path", name.c_str(), clash.c_str());
          result = -1;
        }
        std::vector<ReceiptItem> stale;
        std::vector<std::string> emptied;
        receipt_stale(receipt, *old, a.record.items, &stale, &emptied);
        for (const ReceiptItem& f : stale) lines += "    remove  " + f.path + "  (" + name + " no longer has it)\n";
        for (const std::string& d : emptied) lines += "    remove  " + d + "/  (when empty)\n";
        removed += stale.size();
      }
      receipt_put(receipt, a.record);
    }
    for (const Archive& b : before.archives)
      if (selected(b.entry, v) && !listed.count(fold_name(b.record.name)))
        lines += "    stays   " + b.record.name + "  (no longer listed: its files stay)\n";
    text += std::string(v ? "\n" : "") + variant_groups[v + 1].caption + ": ";
    if (fresh + updates == 0)
      text += "nothing to download";
    else
      text += counted(fresh + updates, "archive", "archives") + " to download (" + std::to_string(fresh) +
              " new, " + counted(updates, "update", "updates") + ")";
    text += ", " + (removed ? counted(removed, "file", "files") : std::string("no files")) + " to remove\n" + lines;
  }
  return result;
}
