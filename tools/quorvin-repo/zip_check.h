// Reading one archive back as the installer would.
#pragma once

#include <cstdint>
#include <set>
#include <string>

// Opens the zip at path, refuses members the installer would refuse, reads
// every file member whole and checks its CRC. Fills installed with every path
// that extraction creates ('/' separators, no trailing '/'). 0, or -1 after a
// message starting with label.
int zip_check(const std::string& path, const std::string& label, std::set<std::string>& installed);
// The bytes that extracting the zip at path writes: the sum of its members'
// sizes. 0, or -1 when it cannot be read (no message).
int zip_installed_size(const std::string& path, uint64_t* bytes);
