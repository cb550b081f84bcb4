#include "repo_names.h"

#include "support/paths.h"

const char* ascii_refusal(const std::string& name) {
  for (unsigned char c : name)
    if (c >= 0x80)
      return "not plain ASCII: the installer creates files through Windows' 8-bit interface, "
             "which would turn it into another name on the user's machine; rename it in plain ASCII";
  return nullptr;
}

const char* path_value_refusal(const std::string& value) {
  const char* why = relative_path_refusal(value);
  return why ? why : ascii_refusal(value);
}

const char* source_name_refusal(const std::string& name) {
  if (name == ".") return "'.' is not a file name";
  if (name.find('\\') != std::string::npos) return "character that Windows does not allow in file names";
  const char* why = member_name_refusal(name);
  return why ? why : ascii_refusal(name);
}

const char* published_name_refusal(const std::string& name) {
  if (const char* why = archive_name_refusal(name)) return why;
  if (name.find_first_of("/ %#") != std::string::npos)
    return "archive names hold no space, '%' or '#' (a server reads them as escapes or the "
           "end of the path)";
  return nullptr;
}

const char* publish_url_refusal(const std::string& url) {
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string::npos || scheme_end == 0)
    return "the URL has no scheme and host (http://host/path)";
  std::string scheme = fold_case(url.substr(0, scheme_end));
  if (scheme == "https") return "the installer speaks plain HTTP only; https:// would not work";
  if (scheme != "http" && scheme != "ftp")
    return "the installer fetches every URL with plain HTTP; write http://";
  for (unsigned char c : url)
    if (c <= ' ' || c >= 0x7F) return "spaces and control or non-ASCII characters are not allowed in a URL";
  if (url.find('\\') != std::string::npos) return "'\\' is not a separator in a URL; write '/'";
  if (url.find('?') != std::string::npos)
    return "a query ('?') cannot be used: the installer names an archive by the URL's text "
           "after the last '/', which would hold the query";
  if (url.find('#') != std::string::npos)
    return "a fragment ('#') cannot be used: the installer would send it to the server as "
           "part of the path";
  size_t host = scheme_end + 3;
  size_t path = url.find('/', host);
  std::string authority = url.substr(host, path == std::string::npos ? std::string::npos : path - host);
  if (authority.find('@') != std::string::npos)
    return "a user name or password (user:password@host) cannot be used: the installer sends "
           "no credentials; serve the files without a login";
  if (authority.find_first_of("[]") != std::string::npos)
    return "a bracketed (IPv6) address cannot be used: the installer connects over IPv4 only; "
           "give a host name or an IPv4 address";
  size_t colon = authority.find(':');
  if (colon == 0 || authority.empty()) return "the URL names no host";
  if (path == std::string::npos) return "the URL has no path after the host";
  if (authority.substr(0, colon) == "0.0.0.0")
    return "0.0.0.0 is where a server listens, not an address to connect to; give the server's "
           "name or address (127.0.0.1 for this machine)";
  if (colon != std::string::npos) {
    std::string port = authority.substr(colon + 1);
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
  for (char c : path)
    if (!is_sep(c))
      out += c;
    else if (!out.empty() && out.back() != '/')
      out += '/';
  if (!out.empty() && out.back() == '/') out.pop_back();
  return out;
}
