// Reading archives for minizip through a buffer of our own. minizip reads
// every header field with a call of its own, often one byte, after a seek: over
// stdio that is a locked call per byte and a system call per header, the most
// of the time an archive of small files takes.
#pragma once

#include <unzip.h>

#include <cstdint>

// Fills funcs with minizip's 64-bit file functions for reading, buffered: for
// unzOpen2_64 and for reads of our own. Large reads go straight to the file.
// Paths are UTF-8 (plat_fopen). An archive with zip64 records behind data of
// another kind (a self-extractor's program) is shown from its own first byte.
void zip_read_functions(zlib_filefunc64_def* funcs);

// A little-endian field of the zip format: bytes (up to 8) at p.
uint64_t zip_le(const unsigned char* p, int bytes);
