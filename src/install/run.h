// The run driver and the summary page.
#pragma once

#include <cstdint>

#include "platform/ui.h"

// The built-in manifest URL (tests point it at their own server).
extern const char* run_filelist_url;

// Fetches (or finds) the manifest, reads it, plans and shows the summary page.
// A failure ends the process through exit_app(1).
void run_start();
void summary_show();
int summary_command(ui_window dialog, int id, intptr_t control, int notification);
void download_all();
void install_all();
