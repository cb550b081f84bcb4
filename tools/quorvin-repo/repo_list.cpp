#include "repo_list.h"

#include <unzip.h>

#include <algorithm>
#include <vector>

#include "rules/filelist.h"
#include "rules/zip_io.h"
#include "platform/platform.h"
#include "repo_layout.h"
#include "repo_manifest.h"
#include "repo_report.h"
#include "repo_sign.h"
#include "support/paths.h"

namespace {

// The bytes that extracting the zip at path writes: its members' sizes. 0, or
// -1 when it cannot be read.
int zip_installed_size(const std::string& path, uint64_t* bytes) {
  zlib_filefunc64_def io;
  zip_read_functions(&io);
  unzFile zip = unzOpen2_64(path.c_str(), &io);
  if (!zip) return -1;
  uint64_t total = 0;
  int at = unzGoToFirstFile(zip);
  for (; at == UNZ_OK; at = unzGoToNextFile(zip)) {
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) break;
    total += info.uncompressed_size;
  }
  unzClose(zip);
  *bytes = total;
  return at == UNZ_END_OF_LIST_OF_FILE ? 0 : -1;
}

struct Row {
  int variant;
  std::string name, download, installed, d, e;
  uint64_t download_bytes = 0, installed_bytes = 0;
};

// 1234567 as "1,234,567".
std::string grouped(uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string padded(const std::string& text, size_t width, bool right) {
  std::string pad(width > text.size() ? width - text.size() : 0, ' ');
  return right ? pad + text : text + pad;
}

int read_rows(const std::string& dir, std::vector<Row>& rows) {
  FileList list;
  if (manifest_load(dir, &list) != 0) return -1;
  int result = 0;
  for (const FileListEntry* e = list.head; e; e = e->next) {
    Row row;
    row.variant = e->variant;
    row.name = e->url ? url_file_name(e->url) : "(no u: line)";
    row.d = e->dest_subdir && *e->dest_subdir ? e->dest_subdir : "-";
    row.e = e->check_path ? e->check_path : "(none)";
    std::string archive = path_join(dir, row.name);
    if (plat_file_size(archive.c_str(), &row.download_bytes) != 0) {
      repo_error("%s: is missing", archive.c_str());
      row.download = row.installed = "missing";
      result = -1;
    } else if (zip_installed_size(archive, &row.installed_bytes) != 0) {
      repo_error("%s: not a readable zip archive", archive.c_str());
      row.download = grouped(row.download_bytes);
      row.installed = "unreadable";
      result = -1;
    } else {
      row.download = grouped(row.download_bytes);
      row.installed = grouped(row.installed_bytes);
    }
    rows.push_back(row);
  }
  return result;
}

}  // namespace

int repo_list(const std::string& dir, std::string& text) {
  text.clear();
  std::vector<Row> rows;
  int result = read_rows(dir, rows);
  if (result != 0 && rows.empty()) return -1;
  Row head{0, "archive", "download", "installed", "d:", "e:"};
  size_t w[4] = {head.name.size(), head.download.size(), head.installed.size(), head.d.size()};
  for (const Row& r : rows) {
    w[0] = std::max(w[0], r.name.size());
    w[1] = std::max(w[1], r.download.size());
    w[2] = std::max(w[2], r.installed.size());
    w[3] = std::max(w[3], r.d.size());
  }
  auto line = [&](const Row& r) {
    return "    " + padded(r.name, w[0], false) + "  " + padded(r.download, w[1], true) + "  " +
           padded(r.installed, w[2], true) + "  " + padded(r.d, w[3], false) + "  " + r.e + "\n";
  };
  for (int v = 0; v < 4; ++v) {
    std::vector<const Row*> mine;
    uint64_t download = 0, installed = 0;
    for (const Row& r : rows)
      if (r.variant < 0 || r.variant == v) {
        mine.push_back(&r);
        download += r.download_bytes;
        installed += r.installed_bytes;
      }
    text += std::string(v ? "\n" : "") + variant_groups[v + 1].caption + ": " +
            std::to_string(mine.size()) + (mine.size() == 1 ? " archive" : " archives");
    if (!mine.empty())
      text += ", " + grouped(download) + " bytes to download, " + grouped(installed) +
              " bytes installed";
    text += "\n";
    if (mine.empty()) continue;
    text += line(head);
    for (const Row* r : mine) text += line(*r);
  }
  // The signature's dates as written (check --key proves them).
  std::string signature = path_join(dir, SIGNATURE_NAME), comment = repo_trusted_comment(signature), dates;
  if (!comment.empty()) {
    repo_judge_dates(comment, &dates);
    text += "\n" + std::string(SIGNATURE_NAME) + ": " + dates + " (unverified; check --key verifies)\n";
  }
  return result;
}
