#include "rules/urls.h"

const char* fetchable_url_refusal(const std::string& url) {
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string::npos || scheme_end == 0)
    return "the URL has no scheme and host (http://host/path)";
  std::string scheme = url.substr(0, scheme_end);
  for (char& c : scheme)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
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

const char* manifest_url_refusal(const std::string& url) {
  if (const char* why = fetchable_url_refusal(url)) return why;
  if (url.back() == '/') return "it names a folder (it ends in '/'), not the manifest file";
  return nullptr;
}
