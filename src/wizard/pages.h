// The wizard's pages and the choices they hold for the life of the process.
#pragma once

#include <cstdint>

#include "display/display.h"


extern int install_mode;
extern int variant_flags[4];
extern char* download_directory;  // heap string or null
extern char* install_directory;   // heap string or null

void show_options_page();
void show_variant_page();
void show_download_dir_page();
void show_install_dir_page();
// The directory step that the summary page's Back returns to: the install step,
// or in DownloadOnly mode the download step.
void show_last_directory_step();

// Page handlers (display.h's page_handler convention: only the id is used).
int options_page_command(ui_window dialog, int id, intptr_t control, int notification);
int variant_page_command(ui_window dialog, int id, intptr_t control, int notification);
int download_dir_page_command(ui_window dialog, int id, intptr_t control, int notification);
int install_dir_page_command(ui_window dialog, int id, intptr_t control, int notification);

// Validate the stored directory on Next: 0 accepted (separators rewritten to the
// native one), -1 refused after telling the user.
int check_download_dir();
int check_install_dir();

// Back to the values of a fresh start (mode, flags, no directories). For tests.
void wizard_reset_state();
