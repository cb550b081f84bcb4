#include "rules/urls.h"

namespace {
// Characters a part of the URL may not hold, and why.
struct Refused {
  const char* chars;
  const char* why;
};

const char* refused_in(const std::string& text, const Refused* table, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (text.find_first_of(table[i].chars) != std::string::npos) return table[i].why;
  return nullptr;
}

const Refused kInUrl[] = {
    {"\\", "'\\' is not a separator in a URL; write '/'"},
    {"?", "a query ('?') cannot be used: the installer names an archive by the URL's text after the "
          "last '/', which would hold the query"},
    {"#", "a fragment ('#') cannot be used: the installer would send it to the server as part of the path"},
};
const Refused kInAuthority[] = {
    {"@", "a user name or password (user:password@host) cannot be used: the installer sends no "
          "credentials; serve the files without a login"},
    {"[]", "a bracketed (IPv6) address cannot be used: the installer connects over IPv4 only; give a "
           "host name or an IPv4 address"},
};
}  // namespace

const char* url_refusal(const std::string& url) {
  for (unsigned char c : url)
    if (c <= ' ' || c == 0x7F) return "space or control character in the URL";
  return nullptr;
}

const char* fetchable_url_refusal(const std::string& url) {
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string::npos || scheme_end == 0)
    return "the URL has no scheme and host (http://host/path)";
  std::string scheme = url.substr(0, scheme_end);
  for (char& c : scheme)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (scheme != "http" && scheme != "https" && scheme != "ftp")
    return "the installer fetches URLs over HTTP or HTTPS; write http:// or https://";
  for (unsigned char c : url)
    if (c <= ' ' || c >= 0x7F) return "spaces and control or non-ASCII characters are not allowed in a URL";
  if (const char* why = refused_in(url, kInUrl, sizeof kInUrl / sizeof kInUrl[0])) return why;
  size_t host = scheme_end + 3;
  size_t path = url.find('/', host);
  std::string authority = url.substr(host, path == std::string::npos ? std::string::npos : path - host);
  if (const char* why = refused_in(authority, kInAuthority, sizeof kInAuthority / sizeof kInAuthority[0]))
    return why;
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
