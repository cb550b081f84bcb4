// Which names the installer accepts: zip member names, archive names, URLs and
// the relative paths of "d:" and "e:". Each returns null when the name is fine,
// otherwise the reason in plain words.
#pragma once

#include <cstddef>
#include <string>

#include "install/names.h"

// A file or folder name in a source tree: one component that the installer
// would take as a member name.
const char* source_name_refusal(const std::string& name);
// The name of an archive folder, which becomes the archive's file name and
// the last part of its URL: beyond the installer's rule, nothing that would
// need escaping in a URL.
const char* archive_folder_refusal(const std::string& name);
// A URL the installer can fetch: "scheme://host[:port]/path", plain HTTP.
const char* publish_url_refusal(const std::string& url);

// Lower-case copy (ASCII), for the comparisons Windows makes.
std::string fold_case(const std::string& text);
// '\\' to '/', runs of '/' to one, no trailing '/'.
std::string normal_rel_path(const std::string& path);
