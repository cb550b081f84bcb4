// quorvin-repo: builds and checks the download repository that the installer reads.
#include "repo_cli.h"

int main(int argc, char** argv) { return repo_main(argc, argv); }
