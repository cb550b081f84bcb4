// The proxy settings on POSIX: the environment variables that the system's
// command-line tools read.
#include <strings.h>

#include <cstdlib>

#include "platform/platform.h"

namespace {
// The first of the two that is set (an empty value counts as set: "go direct").
const char* first_set(const char* name, const char* other) {
  const char* value = std::getenv(name);
  if (!value && other) value = std::getenv(other);
  return value;
}
}  // namespace

int plat_proxy_settings(const char* url, PlatProxySettings* out) {
  out->proxies.clear();
  out->bypass.clear();
  out->bypass_suffixes = true;
  // HTTP_PROXY is not read: a CGI program gets the request's "Proxy:" header
  // under that name, and would send its own requests wherever a client says.
  const char* proxy = strncasecmp(url, "https://", 8) == 0 ? first_set("https_proxy", "HTTPS_PROXY")
                                                           : first_set("http_proxy", nullptr);
  if (proxy) out->proxies = proxy;
  const char* bypass = first_set("no_proxy", "NO_PROXY");
  if (bypass) out->bypass = bypass;
  return 0;
}
