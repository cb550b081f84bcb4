#include "install/installed.h"

#include <zlib.h>

#include <cstdio>
#include <unordered_map>

#include "platform/platform.h"
#include "rules/filelist.h"
#include "rules/names.h"
#include "support/log.h"
#include "support/paths.h"

namespace {

// Far above a real receipt (20,000 files take about 1 MiB).
const size_t kReceiptMax = 256u << 20;

std::string directory;  // the install directory; empty: no receipt in use
Receipt receipt;

// The files of the record installed_check looked at, by folded path: whether
// each is still as installed.
enum class Found { Missing, Same, Changed };
std::unordered_map<std::string, Found> found;
std::string checked;  // that archive's folded name

std::string receipt_file() { return path_join(directory, RECEIPT_NAME); }

// The CRC-32 of a whole file; false when it cannot be read.
bool file_crc(const std::string& path, uint32_t* crc) {
  std::FILE* in = plat_fopen(path.c_str(), "rb");
  if (!in) return false;
  static char block[1 << 16];
  uLong sum = crc32(0L, Z_NULL, 0);
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, in)) > 0) sum = crc32(sum, reinterpret_cast<Bytef*>(block), static_cast<uInt>(n));
  bool ok = !std::ferror(in);
  std::fclose(in);
  *crc = static_cast<uint32_t>(sum);
  return ok;
}

Found look(const ReceiptItem& item) {
  std::string path = path_join(directory, item.path);
  uint64_t size = 0;
  uint32_t crc = 0;
  if (plat_path_kind(path.c_str()) != PLAT_KIND_FILE || plat_file_size(path.c_str(), &size) != 0)
    return Found::Missing;
  // Unreadable counts as changed: such a file is kept.
  if (size != item.size || !file_crc(path, &crc)) return Found::Changed;
  return crc == item.crc ? Found::Same : Found::Changed;
}

int write_receipt() {
  std::string path = receipt_file(), temp = path + DOWNLOAD_TEMP_SUFFIX, text = receipt_text(receipt);
  std::FILE* f = plat_fopen(temp.c_str(), "wb");
  bool written = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f && std::fclose(f) != 0) written = false;
  if (written && plat_rename_replace(temp.c_str(), path.c_str()) == 0) return 0;
  plat_remove(temp.c_str());
  log_message("receipt: can't write %s", path.c_str());
  return -1;
}

// Removes what the archive's old record has and its new one does not.
void remove_stale(const ReceiptArchive& old, const ReceiptArchive& now) {
  std::vector<ReceiptItem> files;
  std::vector<std::string> folders;
  receipt_stale(receipt, old, now.items, &files, &folders);
  const char* name = now.name.c_str();
  for (const ReceiptItem& f : files) {
    std::string path = path_join(directory, f.path);
    auto it = found.find(fold_name(f.path));
    Found state = it == found.end() ? Found::Missing : it->second;
    if (state == Found::Changed) {
      log_message("update: kept %s: %s no longer has it, but it was changed since it was installed", path.c_str(),
                  name);
    } else if (state == Found::Same) {
      if (plat_remove(path.c_str()) == 0)
        log_message("update: removed %s (%s no longer has it)", path.c_str(), name);
      else
        log_message("update: can't remove %s", path.c_str());
    }
  }
  // rmdir takes only an empty folder: one the user put anything in stays.
  for (const std::string& folder : folders) {
    std::string path = path_join(directory, folder);
    if (plat_path_kind(path.c_str()) == PLAT_KIND_DIR && plat_rmdir(path.c_str()) == 0)
      log_message("update: removed the empty folder %s", path.c_str());
  }
}

}  // namespace

void installed_load(const std::string& install_directory) {
  directory = install_directory;
  receipt = Receipt();
  found.clear();
  checked.clear();
  if (directory.empty()) return;
  std::string path = receipt_file(), text, why;
  if (!plat_exists(path.c_str())) return;
  int read = read_whole_file(path, &text, kReceiptMax);
  if (read != 0) {
    log_message("receipt: can't read %s%s; taken as no record of what is installed", path.c_str(),
                read == 1 ? " (too large)" : "");
    return;
  }
  if (receipt_parse(text, &receipt, &why) != 0) {
    log_message("receipt: %s is damaged (%s); taken as no record of what is installed", path.c_str(), why.c_str());
    return;
  }
  log_message("receipt: %s lists %u archives", path.c_str(), static_cast<unsigned>(receipt.archives.size()));
}

const ReceiptArchive* installed_record(const std::string& archive_name) {
  return receipt_find(receipt, archive_name);
}

int64_t installed_newest() { return receipt.newest; }

void installed_raise(int64_t signed_at) {
  if (directory.empty() || signed_at <= receipt.newest || plat_path_kind(directory.c_str()) != PLAT_KIND_DIR) return;
  receipt.newest = signed_at;
  write_receipt();
}

void installed_check(const std::string& archive_name) {
  found.clear();
  checked = fold_name(archive_name);
  const ReceiptArchive* old = receipt_find(receipt, archive_name);
  if (!old) return;
  // The files are read through: shown as the extraction shows its entries.
  view_show(extract_view.caption, ("Checking " + archive_name + "...").c_str());
  for (const ReceiptItem& item : old->items) {
    if (item.folder) continue;
    view_show(extract_view.status, item.path.c_str());
    found[fold_name(item.path)] = look(item);
  }
}

int installed_update(const std::string& archive_name, const FileListEntry* e, int64_t signed_at,
                     const std::vector<ExtractedMember>& members) {
  ReceiptArchive now;
  now.name = archive_name;
  now.sha256 = e->sha256 ? e->sha256 : "";
  now.signed_at = signed_at;
  for (const ExtractedMember& m : members) {
    ReceiptItem item;
    item.path = receipt_path(e->dest_subdir, m.name);
    if (item.path.empty()) continue;  // "./" names the destination itself
    item.folder = m.folder;
    item.size = m.size;
    item.crc = m.crc;
    now.items.push_back(item);
  }
  const ReceiptArchive* old = receipt_find(receipt, archive_name);
  if (old && checked == fold_name(archive_name)) {
    remove_stale(*old, now);
    for (const ReceiptItem& item : now.items) {
      auto it = found.find(fold_name(item.path));
      if (!item.folder && it != found.end() && it->second == Found::Changed)
        log_message("update: replaced %s, which was changed since it was installed",
                    path_join(directory, item.path).c_str());
    }
  }
  found.clear();
  checked.clear();
  receipt_put(receipt, now);
  return write_receipt();
}
