// The run driver and the summary page.
#pragma once

#include <cstdint>

#include "install/plan.h"
#include "display/display.h"

// The built-in manifest URL (tests point it at their own server).
extern const char* run_filelist_url;
// The manifest of the run under way, and the plan's decision for each of its
// entries, in its order; both emptied when the user goes back from the summary.
extern FileList entry_list;
extern std::vector<PlannedEntry> entry_plan;

// Fetches (or finds) the manifest, reads it, plans with the user's choices and
// shows the summary page. A failure ends the process through flow_exit(1).
void run_start(const PlanInput& choices);
// Points the download's and the extraction's views at the progress page, and
// the download's waiting loop at the window's events (run_start does it; tests
// that download or extract without a run, too).
void run_attach_views();
void summary_show();
int summary_command(ui_window dialog, int id, intptr_t control, int notification);
void download_all();
void install_all();
