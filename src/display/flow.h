// How the wizard's directory steps and the run reach each other, and the one
// way out of the process: set by the program at start, so that neither the
// pages nor the run include the other.
#pragma once

// Next on the last directory step (the download step in DownloadOnly mode).
extern void (*flow_start_run)();
// Back on the summary page: the last directory step again.
extern void (*flow_back_from_summary)();
// Where a failed run ends, and every other end of the process.
extern void (*flow_exit_hook)(int code);

// Ends the process through flow_exit_hook (the process ends with the code even
// when it is unset). Does not return.
[[noreturn]] void flow_exit(int code);
