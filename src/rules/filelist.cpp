#include "rules/filelist.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "support/log.h"
#include "support/sha256.h"

namespace {

char* dup_text(const char* text) {
  size_t len = std::strlen(text);
  char* copy = static_cast<char*>(std::malloc(len + 1));
  if (copy) std::memcpy(copy, text, len + 1);
  return copy;
}

void append(FileList* list, FileListEntry* e) {
  if (list->tail)
    list->tail->next = e;
  else
    list->head = e;
  list->tail = e;
}

FilelistResult fail(int line, FilelistOutcome outcome) {
  FilelistResult result;
  result.outcome = outcome;
  result.line = line;
  return result;
}

// Replaces *slot with a copy of value; -1 when the copy cannot be made.
int store(char** slot, const char* value) {
  char* copy = dup_text(value);
  if (!copy) {
    log_message("malloc() failed");
    return -1;
  }
  std::free(*slot);
  *slot = copy;
  return 0;
}

}  // namespace

FilelistResult filelist_parse(FILE* stream, FileList* list) {
  FileListEntry* current = nullptr;
  char line[1024];
  int number = 0;
  // A line longer than the buffer arrives in pieces; each counts as a line, but
  // only the first piece of a physical line gets a new line number.
  bool continued = false;
  while (std::fgets(line, sizeof line, stream)) {
    if (!continued) ++number;
    size_t len = std::strlen(line);
    bool line_end = len > 0 && line[len - 1] == '\n';
    if (line_end) line[--len] = '\0';
    // "rt" only folds CR LF on Windows; elsewhere the CR is still there, and a
    // CR LF split by the buffer's end must still count as one line end.
    if (len > 0 && line[len - 1] == '\r') {
      if (line_end) {
        line[--len] = '\0';
      } else {
        int c = std::fgetc(stream);
        if (c == '\n') {
          line[--len] = '\0';
          line_end = true;
        } else if (c != EOF) {
          std::ungetc(c, stream);
        }
      }
    }
    continued = !line_end;

    if (len == 0 || line[0] == '#') {
      current = nullptr;
      continue;
    }
    if (line[1] != ':') {
      log_message("expected ':'");
      return fail(number, FILELIST_NO_COLON);
    }
    if (line[0] == 'v') {
      int variant;
      switch (line[2]) {
        case '\0': variant = -1; break;
        case 't': variant = 0; break;
        case 'm': variant = 1; break;
        case 'p': variant = 2; break;
        case 'w': variant = 3; break;
        default: return fail(number, FILELIST_UNKNOWN_VARIANT);
      }
      FileListEntry* e = static_cast<FileListEntry*>(std::calloc(1, sizeof(FileListEntry)));
      if (!e) {
        log_message("malloc() failed");
        return fail(number, FILELIST_NO_MEMORY);
      }
      e->variant = variant;
      e->line = number;
      append(list, e);
      current = e;
      continue;
    }
    if (!current) {
      log_message("missing 'v' declaration");
      return fail(number, FILELIST_NO_ENTRY);
    }
    char** slot = nullptr;
    switch (line[0]) {
      case 'u': slot = &current->url; break;
      case 'd': slot = &current->dest_subdir; break;
      case 'e': slot = &current->check_path; break;
      case 'h':
        if (!sha256_text_valid(line + 2)) {
          log_message("filelist_parse: line %d: h:%.80s is not a SHA-256 (64 hexadecimal digits)",
                      number, line + 2);
          return fail(number, FILELIST_BAD_HASH);
        }
        if (store(&current->sha256, sha256_text_lower(line + 2).c_str()) != 0)
          return fail(number, FILELIST_NO_MEMORY);
        continue;
      case 's': {
        // Decimal digits alone, up to 18 of them: nothing a reader could take two ways.
        size_t digits = std::strspn(line + 2, "0123456789");
        if (digits == 0 || digits > 18 || line[2 + digits] != '\0') {
          log_message("filelist_parse: line %d: s:%.80s is not a size in bytes", number, line + 2);
          return fail(number, FILELIST_BAD_SIZE);
        }
        current->size = std::strtoll(line + 2, nullptr, 10);
        current->has_size = 1;
        continue;
      }
      default: return fail(number, FILELIST_UNKNOWN_KEY);
    }
    if (store(slot, line + 2) != 0) return fail(number, FILELIST_NO_MEMORY);
  }
  // A read error ends the file like its end does.
  return FilelistResult();
}

FilelistResult filelist_read(const char* path, FileList* list) {
  FILE* stream = plat_fopen(path, "rt");
  if (!stream) {
    log_message("can't open %s for reading", path);
    return fail(0, FILELIST_CANNOT_OPEN);
  }
  FilelistResult result = filelist_parse(stream, list);
  std::fclose(stream);
  return result;
}

void FileList::clear() {
  FileListEntry* e = head;
  while (e) {
    FileListEntry* next = e->next;
    std::free(e->url);
    std::free(e->dest_subdir);
    std::free(e->check_path);
    std::free(e->sha256);
    std::free(e);
    e = next;
  }
  head = tail = nullptr;
}
