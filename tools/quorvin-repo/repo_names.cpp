#include "repo_names.h"

#include "support/paths.h"

const char* ascii_refusal(const std::string& name) {
  for (unsigned char c : name)
    if (c >= 0x80) return "not plain ASCII: the installer takes \"d\" and \"e\" paths in plain ASCII; rename it so";
  return nullptr;
}

const char* path_value_refusal(const std::string& value) {
  const char* why = relative_path_refusal(value);
  return why ? why : ascii_refusal(value);
}

const char* source_name_refusal(const std::string& name) {
  if (name == ".") return "'.' is not a file name";
  if (name.find('\\') != std::string::npos) return "character that Windows does not allow in file names";
  if (const char* why = member_name_refusal(name)) return why;
  // Stored as UTF-8, flagged so, the name arrives as it is on any machine.
  if (!valid_utf8(name.data(), name.size())) return "not UTF-8 text; rename it";
  return nullptr;
}

const char* published_name_refusal(const std::string& name) {
  if (const char* why = archive_name_refusal(name)) return why;
  if (name.find_first_of("/ %#") != std::string::npos)
    return "archive names hold no space, '%' or '#' (a server reads them as escapes or the "
           "end of the path)";
  return nullptr;
}

std::string fold_case(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string normal_rel_path(const std::string& path) {
  std::string out;
  for (char c : path)
    if (!is_sep(c))
      out += c;
    else if (!out.empty() && out.back() != '/')
      out += '/';
  if (!out.empty() && out.back() == '/') out.pop_back();
  return out;
}
