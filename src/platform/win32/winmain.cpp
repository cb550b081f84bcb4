// The GUI entry point. No argument or show command changes what the program does.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/win32.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  win32_set_instance(instance);
  program_main();
}
