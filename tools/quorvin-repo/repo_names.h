// Which names the installer accepts: zip member names, archive names, URLs and
// the relative paths of "d:" and "e:". Each returns null when the name is fine,
// otherwise the reason in plain words.
#pragma once

#include <cstddef>
#include <string>

// A member name as stored in a zip (len bytes, may hold a NUL), refused where
// the installer's extraction refuses it.
const char* member_name_refusal(const char* name, size_t len);
inline const char* member_name_refusal(const std::string& name) {
  return member_name_refusal(name.data(), name.size());
}
// A file or folder name in a source tree: beyond what the installer refuses,
// names that Windows cannot create or that collide on it.
const char* source_name_refusal(const std::string& name);
// The file name an archive is stored under in the download directory.
const char* archive_name_refusal(const std::string& name);
// A URL the installer can fetch: "scheme://host[:port]/path", plain HTTP.
const char* url_refusal(const std::string& url);

// Lower-case copy (ASCII), for the comparisons Windows makes.
std::string fold_case(const std::string& text);
// '\\' to '/', runs of '/' to one, no trailing '/'.
std::string normal_rel_path(const std::string& path);
