// install_archive on arbitrary (mutated) archives. It must never crash, never
// create or change anything outside its destination, and never report success
// unless every file of the archive is on disk with its stored size and CRC-32,
// no two entries share bytes of the archive and none is encrypted.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unzip.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "display/display.h"
#include "install/extract.h"
#include "platform/headless/headless.h"
#include "platform/ui.h"
#include "rules/zip_scan.h"
#include "support/log.h"
#include "support/paths.h"

namespace fs = std::filesystem;

namespace {
// base/ holds only work/ and outer; work/ holds only the archive, the
// destination and inner. Anything else there was written by the extraction.
std::string base, work, archive, dest, inner, outer;
const char kSentinel[] = "sentinel: must stay as it is\n";

void put(const std::string& path, const void* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();
}

std::string get(const std::string& path) {
  std::string s;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return "<missing>";
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  std::fclose(f);
  return s;
}

void only_these(const std::string& dir, const std::string& a, const std::string& b,
                const std::string& c) {
  for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
    std::string p = e.path().string();
    if (p != a && p != b && p != c) {
      std::fprintf(stderr, "written outside the destination: %s\n", p.c_str());
      std::abort();
    }
  }
}

// The last entry of each destination path wins, as on disk.
struct Want {
  bool dir;
  uLong crc;
  ZPOS64_T size;
};

// Read back with minizip's own view of the central directory; a success must
// have put every file there as the archive describes it.
void check_success(size_t archive_size) {
  unzFile z = unzOpen64(archive.c_str());
  if (!z) return;  // the empty archive: nothing to compare
  std::map<std::string, Want> want;
  char name[256];
  ZPOS64_T compressed = 0;
  for (int r = unzGoToFirstFile(z); r == UNZ_OK; r = unzGoToNextFile(z)) {
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(z, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK ||
        info.size_filename >= sizeof name || (info.flag & 1))
      std::abort();  // the extraction read it, so must we; it refuses encrypted entries
    name[info.size_filename] = '\0';
    // Entries that do not overlap fit in the archive side by side.
    compressed += info.compressed_size;
    if (compressed > archive_size) {
      std::fprintf(stderr, "success, but the entries hold more bytes than the archive\n");
      std::abort();
    }
    // Named as the extraction reads names (its encodings), and a folder as it tells them.
    std::string text;
    if (zip_entry_name(z, info, name, text) != 0) std::abort();
    std::string path = path_join(dest, text);
    bool dir = zip_entry_is_folder(info, text);
    while (!path.empty() && is_sep(path.back())) path.pop_back();
    want[path] = {dir, info.crc, info.uncompressed_size};
  }
  unzClose(z);
  for (const auto& w : want) {
    struct stat st;
    if (lstat(w.first.c_str(), &st) != 0) {
      std::fprintf(stderr, "success, but %s is missing\n", w.first.c_str());
      std::abort();
    }
    if (w.second.dir) {
      if (!S_ISDIR(st.st_mode)) std::abort();
      continue;
    }
    std::string data = get(w.first);
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
    if (!S_ISREG(st.st_mode) || data.size() != w.second.size || crc != w.second.crc) {
      std::fprintf(stderr, "success, but %s has %zu bytes, CRC %08lx (stored: %llu, %08lx)\n",
                   w.first.c_str(), data.size(), crc, static_cast<unsigned long long>(w.second.size),
                   w.second.crc);
      std::abort();
    }
  }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("QUORVIN_FUZZ_TMP");
  std::string tmpl = std::string(tmp && *tmp ? tmp : (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp")) +
                     "/quorvin-fuzz-XXXXXX";
  if (!mkdtemp(&tmpl[0])) std::abort();
  base = tmpl;
  work = base + "/work";
  archive = work + "/a.zip";
  dest = work + "/dest";
  inner = work + "/inner";
  outer = base + "/outer";
  if (mkdir(work.c_str(), 0755) != 0) std::abort();
  put(inner, kSentinel, sizeof kSentinel - 1);
  put(outer, kSentinel, sizeof kSentinel - 1);
  // A bomb of an archive is cut off by the file-size limit: the write fails,
  // which the extraction must report, instead of filling the disk.
  signal(SIGXFSZ, SIG_IGN);
  rlimit lim{64u << 20, 64u << 20};
  setrlimit(RLIMIT_FSIZE, &lim);
  headless_reset();
  dialog_handle = ui_create_dialog(wizard_dialog_proc);
  log_open_at("/dev/null");
  std::atexit([] { fs::remove_all(base); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  put(archive, data, size);
  fs::remove_all(dest);
  if (mkdir(dest.c_str(), 0755) != 0) std::abort();
  int r = install_archive(archive.c_str(), dest.c_str());
  if (r != 0 && r != -1) std::abort();
  only_these(base, work, outer, outer);
  only_these(work, archive, dest, inner);
  if (get(inner) != kSentinel || get(outer) != kSentinel) std::abort();
  if (r == 0) check_success(size);
  return 0;
}
