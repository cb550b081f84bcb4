#include "repo_names.h"

#include <cstring>

#include "support/paths.h"

const char* source_name_refusal(const std::string& name) {
  if (name == ".") return "'.' is not a file name";
  if (name.find('\\') != std::string::npos) return "character that Windows does not allow in file names";
  return member_name_refusal(name);
}

const char* archive_folder_refusal(const std::string& name) {
  if (const char* why = archive_name_refusal(name)) return why;
  if (name.find_first_of("/ %#") != std::string::npos)
    return "archive names hold no space, '%' or '#'";
  return nullptr;
}

const char* publish_url_refusal(const std::string& url) {
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string::npos || scheme_end == 0)
    return "the URL has no scheme and host (scheme://host/path)";
  if (fold_case(url.substr(0, scheme_end)) == "https")
    return "the installer speaks plain HTTP only; https:// would not work";
  for (unsigned char c : url)
    if (c <= ' ' || c >= 0x7F) return "spaces and control or non-ASCII characters are not allowed in a URL";
  size_t host = scheme_end + 3;
  size_t host_end = url.find_first_of(":/", host);
  if (host_end == host || host == url.size()) return "the URL names no host";
  if (host_end == std::string::npos || url.find('/', host) == std::string::npos)
    return "the URL has no path after the host";
  if (url[host_end] == ':') {
    size_t slash = url.find('/', host_end);
    std::string port = url.substr(host_end + 1, slash - host_end - 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) < 1 || std::stoi(port) > 65535)
      return "the port is not a number from 1 to 65535";
  }
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
  for (char c : path) {
    if (is_sep(c)) {
      if (!out.empty() && out.back() != '/') out += '/';
    } else {
      out += c;
    }
  }
  if (!out.empty() && out.back() == '/') out.pop_back();
  return out;
}
