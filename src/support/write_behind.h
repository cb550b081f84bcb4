// Writes a file on a second thread while the caller fills the next block, so
// that receiving or inflating and writing overlap. A fixed ring of blocks:
// memory stays the same whatever the file's size.
#pragma once

#include <cstddef>
#include <cstdio>

#include "support/sha256.h"

const size_t WRITE_BLOCK_SIZE = 256 * 1024;

struct WriteBehind;

// Starts the writer for an open stream; null when its thread or blocks cannot
// be had (the caller then writes itself). With hash, each block is also added
// to it there, before it is written: the hashing overlaps the filling too.
WriteBehind* write_behind_start(FILE* out, Sha256* hash = nullptr);
// A free block of WRITE_BLOCK_SIZE bytes to fill; waits while all are in
// flight. Null once a write has failed: nothing more is written then.
char* write_behind_block(WriteBehind* w);
// Hands the block last returned by write_behind_block, holding n bytes, over.
void write_behind_submit(WriteBehind* w, size_t n);
// Waits until every block handed over is written, ends the thread and
// releases w; the stream stays open. 0, or -1 when a write failed (its errno
// in *error).
int write_behind_finish(WriteBehind* w, int* error);
