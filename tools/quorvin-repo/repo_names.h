// Which names the installer accepts: zip member names, archive names, URLs and
// the relative paths of "d:" and "e:". Each returns null when the name is fine,
// otherwise the reason in plain words. build and check ask the same questions,
// so that they refuse the same names in the same words.
#pragma once

#include <string>

#include "rules/names.h"
#include "rules/urls.h"

// Plain ASCII only, for the paths of "d:" and "e:".
const char* ascii_refusal(const std::string& name);
// A "d:" or "e:" value: the installer's rule, in plain ASCII.
const char* path_value_refusal(const std::string& value);
// A file or folder name in a source tree: one component that the installer
// would take as a member name, in UTF-8.
const char* source_name_refusal(const std::string& name);
// An archive's file name, the last part of its URL: beyond the installer's
// rule, nothing that a server would read as an escape or the path's end.
const char* published_name_refusal(const std::string& name);

// Lower-case copy (ASCII), for the comparisons Windows makes.
std::string fold_case(const std::string& text);
// '\\' to '/', runs of '/' to one, no trailing '/'.
std::string normal_rel_path(const std::string& path);
