// Win32-only additions to the platform seam, shared by the files of this directory.
#pragma once

#include <windows.h>

// The module instance that WinMain received; the dialog is created from its resources.
void win32_set_instance(HINSTANCE instance);
HINSTANCE win32_instance();

#include <string>

// The seam's paths are UTF-8; Windows' wide interface takes them as UTF-16, so
// that any name can be made whatever the user's code pages are.
std::wstring win32_wide(const char* utf8);
std::string win32_utf8(const wchar_t* wide);
