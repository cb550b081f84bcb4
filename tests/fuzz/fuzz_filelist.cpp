// filelist_parse on arbitrary bytes: it must refuse or accept, never crash, and
// every entry it keeps must be well formed. The plan is then built from what was
// kept, so that the joining of fuzzed names and paths is exercised too.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <initializer_list>

#include "rules/filelist.h"
#include "install/plan.h"

namespace {
PlanInput choices;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Directories that do not exist: the plan's existence tests all say no.
  choices.download_directory = "/nonexistent-quorvin-fuzz/dl";
  choices.install_directory = "/nonexistent-quorvin-fuzz/inst";
  for (int& f : choices.variant_flags) f = 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // fmemopen may refuse an empty buffer
  void* copy = std::malloc(size);
  if (!copy) return 0;
  std::memcpy(copy, data, size);
  FILE* f = fmemopen(copy, size, "r");
  if (!f) {
    std::free(copy);
    return 0;
  }
  FileList list;
  FilelistResult r = filelist_parse(f, &list);
  std::fclose(f);
  if ((r.outcome == FILELIST_OK) != (r.line == 0) || r.line < 0) std::abort();
  for (FileListEntry* e = list.head; e; e = e->next) {
    if (e->variant < -1 || e->variant > 3) std::abort();
    for (const char* s : {e->url, e->dest_subdir, e->check_path})
      if (s) (void)std::strlen(s);
  }
  choices.mode = size % 3 == 0 ? RunMode::DownloadOnly : RunMode::DownloadAndInstall;
  std::vector<PlannedEntry> plan;
  if (plan_build(choices, list, &plan) == 0) {
    for (const PlannedEntry& p : plan)
      if ((p.download || p.extract) && p.local_path.empty()) std::abort();
  }
  list.clear();
  if (list.head || list.tail) std::abort();
  std::free(copy);
  return 0;
}
