#include "zip_write.h"

#include <zip.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "repo_report.h"

namespace {

// MS-DOS attribute of a folder; files carry none.
const uLong DOS_ATTR_FOLDER = 0x10;

int add_item(zipFile zip, const SourceItem& item, std::vector<char>& buffer) {
  zip_fileinfo info;
  std::memset(&info, 0, sizeof info);
  info.dosDate = item.dos_time;
  info.external_fa = item.is_dir ? DOS_ATTR_FOLDER : 0;
  int method = item.is_dir ? 0 : Z_DEFLATED;
  int level = item.is_dir ? 0 : Z_BEST_COMPRESSION;
  if (zipOpenNewFileInZip3_64(zip, item.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                              method, level, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY,
                              nullptr, 0, 0) != ZIP_OK) {
    repo_error("%s: cannot add it to the archive", item.path.c_str());
    return -1;
  }
  int result = 0;
  if (!item.is_dir) {
    FILE* in = std::fopen(item.path.c_str(), "rb");
    if (!in) {
      repo_error("%s: cannot open for reading: %s", item.path.c_str(), std::strerror(errno));
      result = -1;
    }
    uint64_t total = 0;
    while (in && result == 0) {
      size_t n = std::fread(buffer.data(), 1, buffer.size(), in);
      if (n > 0 && zipWriteInFileInZip(zip, buffer.data(), static_cast<unsigned>(n)) != ZIP_OK) {
        repo_error("%s: writing it into the archive failed", item.path.c_str());
        result = -1;
      }
      total += n;
      if (total >= 0xFFFFFFFFull) {
        repo_error("%s: 4 GiB or more; the installer's archives hold smaller files", item.path.c_str());
        result = -1;
      }
      if (n < buffer.size()) {
        if (std::ferror(in)) {
          repo_error("%s: reading failed", item.path.c_str());
          result = -1;
        }
        break;
      }
    }
    if (in) std::fclose(in);
  }
  if (zipCloseFileInZip(zip) != ZIP_OK && result == 0) {
    repo_error("%s: finishing its archive entry failed", item.path.c_str());
    result = -1;
  }
  return result;
}

}  // namespace

int zip_write(const std::string& path, const std::vector<SourceItem>& items) {
  zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  if (!zip) {
    repo_error("%s: cannot create the archive", path.c_str());
    return -1;
  }
  std::vector<char> buffer(65536);
  int result = 0;
  for (const SourceItem& item : items)
    if (add_item(zip, item, buffer) != 0) {
      result = -1;
      break;
    }
  if (zipClose(zip, nullptr) != ZIP_OK && result == 0) {
    repo_error("%s: finishing the archive failed", path.c_str());
    result = -1;
  }
  return result;
}
