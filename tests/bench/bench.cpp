// quorvin_bench get URL FILE | extract ARCHIVE DIR | time COMMAND...
// get/extract: one net_get or one install_archive, as the wizard runs it
// (headless display, progress updates and install.log included, the log in
// $QUORVIN_BENCH_LOG or /dev/null); exit code 0 on success.
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

#include "install/extract.h"
#include "net/download.h"
#include "net/socket.h"
#include "platform/headless/headless.h"
#include "support/log.h"
#include "wizard/frame.h"

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
}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "time") == 0) return time_command(argv + 2);
  if (argc != 4 || (std::strcmp(argv[1], "get") && std::strcmp(argv[1], "extract"))) {
    std::fprintf(stderr, "usage: quorvin_bench get URL FILE | extract ARCHIVE DIR | time COMMAND...\n");
    return 2;
  }
  const char* log = std::getenv("QUORVIN_BENCH_LOG");
  log_open_at(log ? log : "/dev/null");
  headless_reset();
  ui_init_controls();
  dialog_handle = ui_create_dialog(wizard_dialog_proc);
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
