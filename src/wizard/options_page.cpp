#include "wizard/frame.h"
#include "wizard/pages.h"

int install_mode = DownloadAndInstall;
int variant_flags[4] = {0, 0, 0, 0};
char* download_directory = nullptr;
char* install_directory = nullptr;

void show_options_page() {}
