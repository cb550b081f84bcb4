// Writes on a second thread while the caller fills the next block, so that
// receiving or inflating and writing overlap. A fixed ring of blocks: memory
// stays the same whatever is written. A block carries one or more parts (small
// files share one, up to BLOCK_WRITER_MAX_PARTS), and the threads hand over
// once per block. Besides its bytes a part may open a stream first and close it
// after, or make a folder: the caller supplies those steps, which run on the
// writer's thread in the order the parts were taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "support/sha256.h"

const size_t WRITE_BLOCK_SIZE = 256 * 1024;
const size_t BLOCK_WRITER_MAX_PARTS = 256;
const int BLOCK_WRITER_MAX_BLOCKS = 8;

// What a part asks for besides writing its bytes (flags).
const unsigned BLOCK_OPEN = 1;    // open the stream named by the part before its bytes
const unsigned BLOCK_CLOSE = 2;   // close it after them, with the part's stamp
const unsigned BLOCK_FOLDER = 4;  // make the folder named by the part (no bytes)

struct BlockWriterSetup {
  int blocks = 4;             // the ring's length, 1..BLOCK_WRITER_MAX_BLOCKS
  FILE* out = nullptr;        // the stream written until a part opens another; stays open
  Sha256* hash = nullptr;     // when set, every byte is added to it before it is written
  // The steps, called on the writer's thread with context; each logs its own failure.
  void* context = nullptr;
  // Opens the stream that the part's bytes go to; null when it cannot.
  FILE* (*open)(void* context, const std::string& name) = nullptr;
  // Closes a stream that open gave, with the stamp of its last part; 0 or -1.
  int (*close)(void* context, FILE* out, uint32_t stamp) = nullptr;
  // Makes a folder; 0 or -1.
  int (*folder)(void* context, const std::string& name) = nullptr;
};

struct BlockWriter;

// Starts the writer; null when its thread or blocks cannot be had (nothing
// logged: the caller names what failed).
BlockWriter* block_writer_start(const BlockWriterSetup& setup);
// Where the next part's bytes go, and in *room how many fit (at least 1; a whole
// block when the last part filled one); waits while every block is in flight.
// Null once something has failed: nothing more is written then.
char* block_writer_space(BlockWriter* w, size_t* room);
// Takes the n bytes just put at the space as the next part, with the steps
// (BLOCK_ flags) it asks for; name is the stream's or folder's (copied),
// stamp is handed to close. A full block is handed over at once.
void block_writer_part(BlockWriter* w, size_t n, unsigned steps = 0, const std::string& name = std::string(),
                       uint32_t stamp = 0);
// Hands over what was taken, waits until all is done, closes a stream left open
// by a part (as it is: a partly written file stays), ends the thread and releases
// w. 0, or -1 when something failed; when that was a write, its errno (never 0)
// is in *write_error, left alone otherwise (the failed step logged its line).
int block_writer_finish(BlockWriter* w, int* write_error = nullptr);

// How the writer's thread is started (plat_thread_start); tests make it fail.
extern plat_thread (*block_writer_start_thread)(plat_thread_fn fn, void* arg);
