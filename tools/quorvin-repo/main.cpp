// quorvin-repo: builds and checks the download repository that the installer reads.
#include <cstdio>
#include <cstring>
#include <string>

#include "repo_build.h"
#include "repo_check.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: quorvin-repo build SRC OUT --base-url URL\n"
               "       quorvin-repo check DIR [--key minisign.pub]\n"
               "SRC holds all/, tavelin/, mirrel/, pelquin/ and wendrel/, each with one folder\n"
               "per archive; an archive folder may hold archive.ini with 'd = subfolder' and\n"
               "'e = path installed by it'. With --key, check also proves that\n"
               "DIR/filelist.txt.minisig (made by minisign -Sm DIR/filelist.txt) signs the list\n"
               "with that key, as an installer built with it demands.\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "check") == 0) {
    std::string dir, key;
    for (int i = 2; i < argc; ++i) {
      if (std::strcmp(argv[i], "--key") == 0 && i + 1 < argc)
        key = argv[++i];
      else if (std::strncmp(argv[i], "--key=", 6) == 0 && argv[i][6])
        key = argv[i] + 6;
      else if (argv[i][0] == '-' || !dir.empty())
        return usage();
      else
        dir = argv[i];
    }
    if (dir.empty()) return usage();
    return repo_check(dir, key) == 0 ? 0 : 1;
  }
  if (argc >= 2 && std::strcmp(argv[1], "build") == 0) {
    std::string source, out, base;
    int positional = 0;
    for (int i = 2; i < argc; ++i) {
      if (std::strcmp(argv[i], "--base-url") == 0 && i + 1 < argc)
        base = argv[++i];
      else if (std::strncmp(argv[i], "--base-url=", 11) == 0)
        base = argv[i] + 11;
      else if (argv[i][0] == '-')
        return usage();
      else if (positional == 0 && ++positional)
        source = argv[i];
      else if (positional == 1 && ++positional)
        out = argv[i];
      else
        return usage();
    }
    if (positional != 2 || base.empty()) return usage();
    return repo_build(source, out, base) == 0 ? 0 : 1;
  }
  return usage();
}
