// The proxy settings on Win32: the current user's, as the system's browser
// keeps them, read through WinHTTP (which only finds the proxy here; the
// requests themselves stay the program's own).
#include <windows.h>
#include <winhttp.h>

#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/win32/win32.h"

namespace {
// How long automatic detection or a configuration script may hold a request.
const DWORD AUTOMATIC_WAIT_MS = 5000;
// Once they have failed or run out of time they are not asked again: every
// later request would wait as long for the same answer.
volatile LONG automatic_failed = 0;

// One question to WinHTTP, asked on a thread of its own so that the wait can
// be cut short whatever WinHTTP does with its time-outs. The caller and the
// thread each hold a reference; the last one out frees it.
struct Lookup {
  volatile LONG refs = 2;
  std::wstring url;
  std::wstring script;
  bool detect = false;
  bool answered = false;
  std::string proxies;
  std::string bypass;
};

void release(Lookup* lookup) {
  if (InterlockedDecrement(&lookup->refs) == 0) delete lookup;
}

DWORD WINAPI lookup_thread(void* arg) {
  Lookup* lookup = static_cast<Lookup*>(arg);
  HINTERNET session =
      WinHttpOpen(L"Quorvin", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (session) {
    int ms = static_cast<int>(AUTOMATIC_WAIT_MS);
    WinHttpSetTimeouts(session, ms, ms, ms, ms);
    WINHTTP_AUTOPROXY_OPTIONS options;
    ZeroMemory(&options, sizeof options);
    if (lookup->detect) {
      options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
      options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (!lookup->script.empty()) {
      options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
      options.lpszAutoConfigUrl = lookup->script.c_str();
    }
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info;
    ZeroMemory(&info, sizeof info);
    if (WinHttpGetProxyForUrl(session, lookup->url.c_str(), &options, &info)) {
      lookup->answered = true;
      if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
        lookup->proxies = win32_utf8(info.lpszProxy);
        lookup->bypass = win32_utf8(info.lpszProxyBypass);
      }
    }
    if (info.lpszProxy) GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass) GlobalFree(info.lpszProxyBypass);
    WinHttpCloseHandle(session);
  }
  release(lookup);
  return 0;
}

// Automatic detection and/or the configuration script, for url: 0 with the
// answer (possibly "direct"), -1 when there was none in time.
int ask_automatic(const char* url, bool detect, const std::wstring& script, PlatProxySettings* out) {
  Lookup* lookup = new (std::nothrow) Lookup;
  if (!lookup) return -1;
  lookup->url = win32_wide(url);
  lookup->script = script;
  lookup->detect = detect;
  HANDLE thread = CreateThread(nullptr, 0, lookup_thread, lookup, 0, nullptr);
  if (!thread) {
    delete lookup;
    return -1;
  }
  bool ended = WaitForSingleObject(thread, AUTOMATIC_WAIT_MS) == WAIT_OBJECT_0;
  CloseHandle(thread);
  int result = -1;
  if (ended && lookup->answered) {
    out->proxies = lookup->proxies;
    out->bypass = lookup->bypass;
    result = 0;
  }
  release(lookup);
  return result;
}
}  // namespace

int plat_proxy_settings(const char* url, PlatProxySettings* out) {
  out->proxies.clear();
  out->bypass.clear();
  out->bypass_suffixes = false;
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config;
  ZeroMemory(&config, sizeof config);
  if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return -1;
  std::string manual = win32_utf8(config.lpszProxy);
  std::string manual_bypass = win32_utf8(config.lpszProxyBypass);
  std::wstring script = config.lpszAutoConfigUrl ? config.lpszAutoConfigUrl : L"";
  bool detect = config.fAutoDetect != FALSE;
  if (config.lpszProxy) GlobalFree(config.lpszProxy);
  if (config.lpszProxyBypass) GlobalFree(config.lpszProxyBypass);
  if (config.lpszAutoConfigUrl) GlobalFree(config.lpszAutoConfigUrl);

  // As the browser does: automatic settings first, the manual ones when they
  // give no answer.
  if ((detect || !script.empty()) && !automatic_failed) {
    if (ask_automatic(url, detect, script, out) == 0) return 0;
    InterlockedExchange(&automatic_failed, 1);
  }
  out->proxies = manual;
  out->bypass = manual_bypass;
  return 0;
}
