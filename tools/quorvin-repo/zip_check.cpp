#include "zip_check.h"

#include <unzip.h>

#include <algorithm>
#include <vector>

#include "repo_names.h"
#include "repo_report.h"

namespace {

// Longer than any zip name field (16 bits), so nothing is ever cut.
const size_t NAME_BUFFER = 65536 + 1;

// Reads the current member to its end; the CRC is checked when it is closed.
int read_member(unzFile zip, const std::string& label, const char* name, std::vector<char>& buf) {
  if (unzOpenCurrentFile(zip) != UNZ_OK) {
    repo_error("%s: member %s cannot be opened", label.c_str(), name);
    return -1;
  }
  int n;
  while ((n = unzReadCurrentFile(zip, buf.data(), static_cast<unsigned>(buf.size()))) > 0) {
  }
  int closed = unzCloseCurrentFile(zip);
  if (n < 0) {
    repo_error("%s: member %s: its data is damaged", label.c_str(), name);
    return -1;
  }
  if (closed != UNZ_OK) {
    repo_error("%s: member %s: CRC mismatch, its data is not what was stored", label.c_str(), name);
    return -1;
  }
  return 0;
}

// The file a member names, as the installer compares them: "." components
// left out, case folded.
std::string member_file(const std::string& name) {
  std::string path = normal_rel_path(name), out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = std::min(path.find('/', start), path.size());
    std::string part = path.substr(start, end - start);
    if (part != "." && !part.empty()) out += (out.empty() ? "" : "/") + part;
    start = end + 1;
  }
  return fold_case(out);
}

void add_installed(std::set<std::string>& installed, const std::string& name) {
  std::string path = normal_rel_path(name);
  // Extraction creates every parent folder of a member too.
  for (size_t cut = path.find('/'); cut != std::string::npos; cut = path.find('/', cut + 1))
    installed.insert(fold_case(path.substr(0, cut)));
  if (!path.empty()) installed.insert(fold_case(path));
}

}  // namespace

int zip_check(const std::string& path, const std::string& label, std::set<std::string>& installed) {
  unzFile zip = unzOpen64(path.c_str());
  if (!zip) {
    repo_error("%s: not a readable zip archive", label.c_str());
    return -1;
  }
  std::vector<char> name(NAME_BUFFER), buf(8192);
  std::set<std::string> files, named;
  int result = 0;
  uint64_t next_entry = 0;  // where a directory entry after the current one would start
  int at = unzGoToFirstFile(zip);
  while (at == UNZ_OK) {
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(zip, &info, name.data(), name.size(), nullptr, 0, nullptr, 0) !=
        UNZ_OK) {
      repo_error("%s: a member's header cannot be read", label.c_str());
      result = -1;
      break;
    }
    next_entry = unzGetOffset64(zip) + 46 + info.size_filename + info.size_file_extra + info.size_file_comment;
    std::string member(name.data(), info.size_filename);
    std::string shown = member.substr(0, member.find('\0'));
    if (const char* why = member_name_refusal(member)) {
      repo_error("%s: member \"%s\" would be refused: %s", label.c_str(), shown.c_str(), why);
      result = -1;
    } else if (const char* why = ascii_refusal(member)) {
      repo_error("%s: member \"%s\": %s", label.c_str(), shown.c_str(), why);
      result = -1;
    } else if (member.back() == '/' || member.back() == '\\') {
      add_installed(installed, member);
    } else if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) {
      repo_error("%s: member %s uses compression method %lu; only stored (0) and deflated (8) "
                 "can be extracted", label.c_str(), shown.c_str(),
                 static_cast<unsigned long>(info.compression_method));
      result = -1;
    } else if (info.flag & 1) {
      repo_error("%s: member %s is encrypted", label.c_str(), shown.c_str());
      result = -1;
    } else if (info.compression_method == 0 && info.compressed_size != info.uncompressed_size) {
      repo_error("%s: stored member %s holds %llu bytes of data for a size of %llu", label.c_str(),
                 shown.c_str(), static_cast<unsigned long long>(info.compressed_size),
                 static_cast<unsigned long long>(info.uncompressed_size));
      result = -1;
    } else if (read_member(zip, label, shown.c_str(), buf) != 0) {
      result = -1;
    } else if (!named.insert(member_file(member)).second) {
      // The installer refuses it: the later would replace the earlier.
      repo_error("%s: member %s names the same file as another member", label.c_str(), shown.c_str());
      result = -1;
    } else {
      add_installed(installed, member);
      files.insert(fold_case(normal_rel_path(member)));
    }
    at = unzGoToNextFile(zip);
  }
  if (at != UNZ_OK && at != UNZ_END_OF_LIST_OF_FILE && result == 0) {
    repo_error("%s: the list of members is damaged", label.c_str());
    result = -1;
  }
  // Entries past the end record's count are left out by minizip, and refused by the installer.
  if (at == UNZ_END_OF_LIST_OF_FILE && next_entry > 0 && unzSetOffset64(zip, next_entry) == UNZ_OK) {
    repo_error("%s: the archive's directory holds more members than its end record counts", label.c_str());
    result = -1;
  }
  unzClose(zip);
  // A file where another member needs a folder cannot be extracted.
  for (const std::string& f : files) {
    auto below = installed.lower_bound(f + "/");
    if (below != installed.end() && below->compare(0, f.size() + 1, f + "/") == 0) {
      repo_error("%s: %s is a file and also a folder of another member", label.c_str(), f.c_str());
      return -1;
    }
  }
  return result;
}

int zip_installed_size(const std::string& path, uint64_t* bytes) {
  unzFile zip = unzOpen64(path.c_str());
  if (!zip) return -1;
  uint64_t total = 0;
  int at = unzGoToFirstFile(zip);
  for (; at == UNZ_OK; at = unzGoToNextFile(zip)) {
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) break;
    total += info.uncompressed_size;
  }
  unzClose(zip);
  *bytes = total;
  return at == UNZ_END_OF_LIST_OF_FILE ? 0 : -1;
}
