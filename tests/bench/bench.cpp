// quorvin_bench get URL FILE | extract ARCHIVE DIR | read ARCHIVE | inflate ARCHIVE
//               | time COMMAND...
// get/extract: one net_get or one install_archive, as the wizard runs it
// (headless display, progress updates and install.log included, the log in
// $QUORVIN_BENCH_LOG or /dev/null); exit code 0 on success.
// read: every entry through minizip (inflate and CRC-32), nothing written.
// inflate: every entry's raw deflate stream through zlib alone: the limit.
// time: runs COMMAND and prints its wall seconds and peak resident KiB. A
// child's peak counts the memory of the process it was forked from, so the
// measured commands are forked from this small process, not from Python.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unzip.h>
#include <zlib.h>

#include "display/display.h"
#include "install/extract.h"
#include "install/run.h"
#include "net/download.h"
#include "net/socket.h"
#include "platform/headless/headless.h"
#include "support/log.h"

namespace {
int time_command(char** argv) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    execvp(argv[0], argv);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return 2;
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.6f %ld\n", wall, usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
}
const unsigned kPiece = 256 * 1024;

// Inflates one raw deflate stream read from the open entry; -1 on damage.
int inflate_entry(unzFile zip, unsigned char* in, unsigned char* out) {
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return -1;
  int r = Z_OK;
  while (r != Z_STREAM_END) {
    if (z.avail_in == 0) {
      int n = unzReadCurrentFile(zip, in, kPiece);
      if (n <= 0) break;
      z.next_in = in;
      z.avail_in = static_cast<unsigned>(n);
    }
    z.next_out = out;
    z.avail_out = kPiece;
    r = inflate(&z, Z_NO_FLUSH);
    if (r != Z_OK && r != Z_STREAM_END) break;
  }
  inflateEnd(&z);
  return r == Z_STREAM_END ? 0 : -1;
}

// read or inflate over every entry; 0 when all came through whole.
int read_all(const char* archive, bool raw) {
  unzFile zip = unzOpen(archive);
  if (!zip) return -1;
  static unsigned char in[kPiece], out[kPiece];
  int r = unzGoToFirstFile(zip);
  while (r == UNZ_OK) {
    int method = 0, level = 0;
    if (unzOpenCurrentFile2(zip, &method, &level, raw ? 1 : 0) != UNZ_OK) break;
    int ok = 0;
    if (raw && method == Z_DEFLATED) {
      ok = inflate_entry(zip, in, out);
    } else {
      int n;
      while ((n = unzReadCurrentFile(zip, out, kPiece)) > 0) {
      }
      ok = n == 0 ? 0 : -1;
    }
    if (unzCloseCurrentFile(zip) != UNZ_OK && !raw) ok = -1;
    if (ok != 0) break;
    r = unzGoToNextFile(zip);
  }
  unzClose(zip);
  return r == UNZ_END_OF_LIST_OF_FILE ? 0 : -1;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "time") == 0) return time_command(argv + 2);
  if (argc == 3 && std::strcmp(argv[1], "read") == 0) return read_all(argv[2], false) ? 1 : 0;
  if (argc == 3 && std::strcmp(argv[1], "inflate") == 0) return read_all(argv[2], true) ? 1 : 0;
  if (argc != 4 || (std::strcmp(argv[1], "get") && std::strcmp(argv[1], "extract"))) {
    std::fprintf(stderr,
                 "usage: quorvin_bench get URL FILE | extract ARCHIVE DIR | read ARCHIVE"
                 " | inflate ARCHIVE | time COMMAND...\n");
    return 2;
  }
  const char* log = std::getenv("QUORVIN_BENCH_LOG");
  log_open_at(log ? log : "/dev/null");
  headless_reset();
  ui_init_controls();
  dialog_handle = ui_create_dialog(wizard_dialog_proc);
  run_attach_views();
  show_progress_page();
  int r;
  if (std::strcmp(argv[1], "get") == 0) {
    socket_init();
    r = net_get(argv[2], argv[3], 0);
    socket_done();
  } else {
    r = install_archive(argv[2], argv[3]);
  }
  log_close();
  return r == 0 ? 0 : 1;
}
