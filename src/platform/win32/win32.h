// Win32-only additions to the platform seam, shared by the files of this directory.
#pragma once

#include <windows.h>

// The module instance that WinMain received; the dialog is created from its resources.
void win32_set_instance(HINSTANCE instance);
HINSTANCE win32_instance();
