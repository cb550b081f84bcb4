#include "net/proxy.h"

#include <sodium.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/log.h"

namespace {
// ASCII only: the locale must not change how a host name compares.
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered(std::string text) {
  for (char& c : text) c = lower(c);
  return text;
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The pieces of a list separated by any of seps, empty ones left out.
std::vector<std::string> split(const std::string& list, const char* seps) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < list.size()) {
    size_t end = list.find_first_of(seps, at);
    if (end == std::string::npos) end = list.size();
    if (end > at) out.push_back(list.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

// '*' for any run of characters (none too); both sides already in lower case.
bool wildcard_match(const char* pattern, const char* text) {
  if (!*pattern) return !*text;
  if (*pattern == '*') {
    for (const char* t = text;; ++t) {
      if (wildcard_match(pattern + 1, t)) return true;
      if (!*t) return false;
    }
  }
  return *pattern == *text && wildcard_match(pattern + 1, text + 1);
}

bool all_digits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// Whether one entry of the bypass list covers host:port (host in lower case).
bool bypass_covers(std::string entry, const std::string& host, int port, bool suffixes) {
  entry = lowered(entry);
  if (entry == "<local>") return host.find('.') == std::string::npos;
  size_t colon = entry.rfind(':');
  if (colon != std::string::npos && all_digits(entry.substr(colon + 1))) {
    if (std::atoi(entry.c_str() + colon + 1) != port) return false;
    entry.erase(colon);
  }
  if (entry.find('*') != std::string::npos) return wildcard_match(entry.c_str(), host.c_str());
  if (entry[0] == '.') return ends_with(host, entry) || host == entry.substr(1);
  return host == entry || (suffixes && ends_with(host, "." + entry));
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = lower(c);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string percent_decoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    int high = text[i] == '%' && i + 2 < text.size() ? hex_value(text[i + 1]) : -1;
    int low = high >= 0 ? hex_value(text[i + 2]) : -1;
    if (low >= 0) {
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The setting as the log may show it: a password stays out of install.log.
std::string shown(const std::string& value) {
  size_t start = value.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  size_t at = value.rfind('@', value.find('/', start));
  if (at == std::string::npos || at < start) return value;
  return value.substr(0, start) + "...@" + value.substr(at + 1);
}

bool host_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}
}  // namespace

int proxy_choose(const PlatProxySettings& settings, const char* scheme, const std::string& host,
                 int port, ProxyRoute* route, std::string* why) {
  *route = ProxyRoute();
  why->clear();
  // The entry for this scheme, else the first for every scheme, else a SOCKS
  // one (which the system's browser would use for any scheme).
  std::string mine, any, socks;
  for (const std::string& entry : split(settings.proxies, "; \t\r\n")) {
    size_t eq = entry.find('=');
    size_t stop = entry.find_first_of(":/@");
    if (eq == std::string::npos || (stop != std::string::npos && stop < eq)) {
      if (any.empty()) any = entry;
      continue;
    }
    std::string key = lowered(entry.substr(0, eq));
    if (key == scheme && mine.empty()) mine = entry.substr(eq + 1);
    if (key == "socks" && socks.empty()) socks = "socks://" + entry.substr(eq + 1);
  }
  std::string value = !mine.empty() ? mine : !any.empty() ? any : socks;
  if (value.empty()) return 0;
  route->named = true;

  std::string target = lowered(host);
  for (const std::string& entry : split(settings.bypass, ";, \t\r\n"))
    if (entry == "*" || bypass_covers(entry, target, port, settings.bypass_suffixes)) return 0;

  // [http://][user:password@]host[:port][/]
  std::string rest = value;
  size_t sep = rest.find("://");
  if (sep != std::string::npos) {
    std::string kind = lowered(rest.substr(0, sep));
    // Going around a proxy that is there on purpose would send the requests
    // where the user did not want them, and on a network that reaches out only
    // through it the direct attempt would fail later with a misleading cause.
    if (kind != "http") {
      *why = log_line("proxy_route: can't use proxy %s: only http:// proxies are supported",
                      shown(value).c_str());
      return -1;
    }
    rest.erase(0, sep + 3);
  }
  rest.erase(std::min(rest.find('/'), rest.size()));
  size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    std::string user = rest.substr(0, at);
    size_t colon = user.find(':');
    std::string pair = percent_decoded(user.substr(0, colon)) + ":" +
                       (colon == std::string::npos ? std::string() : percent_decoded(user.substr(colon + 1)));
    std::string text(sodium_base64_ENCODED_LEN(pair.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(&text[0], text.size(), reinterpret_cast<const unsigned char*>(pair.data()),
                      pair.size(), sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.find('\0'));
    route->authorization = "Basic " + text;
    rest.erase(0, at + 1);
  }
  route->port = 80;
  size_t colon = rest.rfind(':');
  if (colon != std::string::npos) {
    std::string digits = rest.substr(colon + 1);
    route->port = digits.size() <= 5 && all_digits(digits) ? std::atoi(digits.c_str()) : 0;
    rest.erase(colon);
  }
  bool readable = !rest.empty() && route->port > 0 && route->port <= 65535;
  for (char c : rest) readable = readable && host_char(c);
  if (!readable) {
    *route = ProxyRoute();
    route->named = true;
    *why = log_line("proxy_route: can't read the proxy setting \"%s\"", shown(value).c_str());
    return -1;
  }
  route->host = rest;
  route->through = true;
  return 0;
}

int proxy_route(const std::string& host, int port, const std::string& path, bool tls, ProxyRoute* route,
                std::string* why) {
  // The URL as this client speaks it: an ftp:// one is fetched with HTTP too.
  std::string url = (tls ? "https://" : "http://") + host + ":" + std::to_string(port) + path;
  PlatProxySettings settings;
  if (plat_proxy_settings(url.c_str(), &settings) != 0) settings = PlatProxySettings();
  return proxy_choose(settings, tls ? "https" : "http", host, port, route, why);
}
