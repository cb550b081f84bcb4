// Says why the installer could not fetch a manifest URL: the configure step
// compiles this with the one URL rule and runs it on the URL to be built in.
#include <cstdio>

#include "rules/urls.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const char* why = manifest_url_refusal(argv[1]);
  if (why) std::fputs(why, stdout);
  return why ? 1 : 0;
}
