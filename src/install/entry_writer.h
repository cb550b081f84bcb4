// Writes an archive's entries on a second thread while the caller inflates the
// next ones: folders, file opening, writes, closing and file times all happen
// there, in the order handed over, from a fixed ring of blocks (memory stays the
// same whatever the archive holds). A block carries the next bytes of one or
// more entries (small files share one), each part possibly opening its file
// first or closing it after.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

const size_t ENTRY_BLOCK_SIZE = 256 * 1024;

struct EntryWriter;

// Starts the writer; null (after a log line) when its thread or blocks cannot be had.
EntryWriter* entry_writer_start();
// Where the next part's bytes go, and in *room how many fit (at least 1); waits
// while every block is in flight. Null once something has failed: the failure's
// line is logged, and nothing more is written.
char* entry_writer_space(EntryWriter* w, size_t* room);
// Takes the n bytes just put at the space as the next part of the entry at path.
// open: make the file's folder and create the file first (logging "opened ... for
// writing"); close: close it and give it the DOS date and time after its last byte.
// A full block is handed over at once.
void entry_writer_part(EntryWriter* w, const std::string& path, size_t n, bool open, bool close,
                       uint32_t dos_date);
// Takes a folder entry (made with its parents, in turn with the files).
void entry_writer_folder(EntryWriter* w, const std::string& path);
// Hands over what was taken, waits until all is done, closes a file left open (a
// partly written file stays), ends the thread and releases w. 0, or -1 when
// something failed.
int entry_writer_finish(EntryWriter* w);
