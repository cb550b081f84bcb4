// The install run, started by the last directory step.
#pragma once

// Takes over the window with the progress page; reads the wizard's choices.
void run_start();
