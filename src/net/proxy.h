// Which way a request goes: straight to its host, or through the HTTP proxy
// that the system's settings name for its URL.
#pragma once

#include <string>

#include "platform/platform.h"

struct ProxyRoute {
  bool through = false;       // through the proxy below; false: straight to the host
  bool named = false;         // the settings name a proxy for this URL, used or bypassed
  std::string host;           // the proxy's
  int port = 0;
  std::string authorization;  // "Basic ..." from the setting's user:password@, or empty
};

// The route for a request to host:port (path as sent), over TLS or not: the
// system's settings for the URL, then proxy_choose. 0 with *route set; -1
// when the settings name a proxy that cannot be used, the logged line in *why.
int proxy_route(const std::string& host, int port, const std::string& path, bool tls,
                ProxyRoute* route, std::string* why);

// The choice itself, from settings in the seam's form: the entry for scheme
// ("http" or "https"), else the first bare one; the bypass list; then the
// value, which must name an http:// proxy (no scheme counts as http://;
// the port defaults to 80). A "socks=" entry, kept for every scheme when
// none names this one, is refused too.
int proxy_choose(const PlatProxySettings& settings, const char* scheme, const std::string& host,
                 int port, ProxyRoute* route, std::string* why);
