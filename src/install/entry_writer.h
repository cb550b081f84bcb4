// Writes an archive's entries on a second thread while the caller inflates the
// next ones: folders, file opening, writes, closing and file times all happen
// there, in the order handed over, from a fixed ring of blocks (memory stays the
// same whatever the archive holds). Each piece handed over is an entry's next
// run of bytes, and may open the entry's file first or close it after.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

const size_t ENTRY_BLOCK_SIZE = 256 * 1024;

struct EntryWriter;

// Starts the writer; null (after a log line) when its thread or blocks cannot be had.
EntryWriter* entry_writer_start();
// A free block of ENTRY_BLOCK_SIZE bytes to fill; waits while all are in flight.
// Null once something has failed: the failure's line is logged, nothing more is written.
char* entry_writer_block(EntryWriter* w);
// Hands the block last returned over, holding n bytes of the entry at path. open:
// make the file's folder and create the file first (logging "opened ... for writing");
// close: close it and give it the DOS date and time after its last byte.
void entry_writer_piece(EntryWriter* w, const std::string& path, size_t n, bool open, bool close,
                        uint32_t dos_date);
// Hands a folder entry over in the block last returned, its bytes unused (the
// folder is made with its parents, in turn with the files).
void entry_writer_folder(EntryWriter* w, const std::string& path);
// Waits until everything handed over is done, closes a file left open (a partly
// written file stays), ends the thread and releases w. 0, or -1 when something failed.
int entry_writer_finish(EntryWriter* w);
