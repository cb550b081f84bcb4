// Process start, the message loop and the single way out.
#pragma once

// Start-up up to the shown window: program directory, log, dialog with every
// page hidden, network layer, Options page, window shown.
void app_start();
// app_start, the message loop, then exit_app(0). Does not return.
[[noreturn]] void app_main();
// Logs the code, tells the user about a failure, stops the network layer, closes
// the log and ends the process.
[[noreturn]] void exit_app(int code);
