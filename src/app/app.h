// Process start, the message loop and the single way out. The entry point of
// each platform calls program_main (declared by the platform seam).
#pragma once

// Start-up up to the shown window: program directory, log, the page flow
// between the wizard and the run, dialog with every page hidden, network
// layer, Options page, window shown.
void app_start();
// Joins the wizard's last directory step, the run and exit_app through the
// display's page flow (app_start does it; tests that drive pages, too).
void app_connect_flow();
// Logs the code, tells the user about a failure, stops the network layer, closes
// the log and ends the process.
[[noreturn]] void exit_app(int code);
