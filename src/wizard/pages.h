// The wizard's pages and the choices they hold for the life of the process.
#pragma once

// The id of the checked option button: 1051 DownloadAndInstall, 1052 DownloadOnly,
// 1053 InstallFromDirectory.
enum InstallModeId { DownloadAndInstall = 1051, DownloadOnly = 1052, InstallFromDirectory = 1053 };

extern int install_mode;
extern int variant_flags[4];
extern char* download_directory;  // heap string or null
extern char* install_directory;   // heap string or null

void show_options_page();
void show_variant_page();
void show_download_dir_page();
void show_install_dir_page();
