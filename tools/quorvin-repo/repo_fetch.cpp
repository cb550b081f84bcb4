#include "repo_fetch.h"

#include <cstdio>
#include <string>
#include <vector>

#include "net/http.h"
#include "net/socket.h"
#include "platform/platform.h"
#include "repo_names.h"
#include "repo_report.h"

namespace {

// A server that sends nothing for this long is given up, so that a stalled
// upload cannot hang the check (the installer leaves that to its user).
const int FETCH_STALL_MS = 60000;
const int CHUNK = 65536;

// What went wrong, from the client's result: the connection's failure, the
// client's own reason, else the server's status; and where the redirects led.
std::string failure_reason(const NetResult& r) {
  std::string reason;
  if (r.outcome == NET_CANNOT_CONNECT)
    reason = "no connection to the server (is it running, with that host and port?)";
  else if (r.outcome == NET_CANNOT_RESOLVE)
    reason = "the host name cannot be resolved";
  else if (!r.detail.empty())
    reason = "the installer's client says \"" + r.detail + "\"";
  else if (r.outcome == NET_HTTP_STATUS)
    reason = "the server answered " + std::to_string(r.status) +
             (r.status == 404 ? " (not found: a wrong --base-url, or not uploaded)" : "");
  else
    reason = "the installer's client gave up";
  if (r.redirects > 0) reason += " after redirects to " + r.url;
  return reason;
}

bool found(const std::string& url) {
  if (net_open(url.c_str()) != 0) return false;
  socket_close();
  return true;
}

// Where else the server has a file it answered 404 for: the slips of an upload
// or of the folder served, said with their fix; empty when none is found.
std::string found_elsewhere(const std::string& url) {
  size_t slash = url.rfind('/');
  size_t path = url.find('/', url.find("://") + 3);
  std::string name = url.substr(slash + 1), lower = fold_case(name);
  if (lower != name && found(url.substr(0, slash + 1) + lower))
    return "; the server has it as " + lower + ": the upload changed the case of its name, "
           "upload it as " + name;
  for (size_t cut = url.find('/', path + 1); cut != std::string::npos && cut <= slash;
       cut = url.find('/', cut + 1)) {
    std::string other = url.substr(0, path) + url.substr(cut);
    if (found(other))
      return "; the server has it at " + other + ", nearer its root than the base URL says: serve "
             "the folder above the repository, or build with --base-url " +
             other.substr(0, other.rfind('/'));
  }
  return std::string();
}

}  // namespace

void fetch_begin() { socket_init(); }

void fetch_end() { socket_done(); }

int fetch_compare(const std::string& label, const std::string& url, const std::string& local,
                  bool unfetchable_warns) {
  if (net_open(url.c_str()) != 0) {
    const NetResult& r = net_last_result();
    std::string why = failure_reason(r);
    // found_elsewhere fetches again, which replaces the result.
    if (r.outcome == NET_HTTP_STATUS && r.status == 404) why += found_elsewhere(url);
    if (unfetchable_warns) {
      repo_warning("%s: %s cannot be fetched: %s", label.c_str(), url.c_str(), why.c_str());
      return 1;
    }
    repo_error("%s: %s cannot be fetched: %s", label.c_str(), url.c_str(), why.c_str());
    return -1;
  }
  int64_t announced = net_content_length();
  uint64_t local_size = 0;
  FILE* in = plat_fopen(local.c_str(), "rb");
  if (!in || plat_file_size(local.c_str(), &local_size) != 0) {
    if (in) std::fclose(in);
    socket_close();
    repo_error("%s: %s cannot be read", label.c_str(), local.c_str());
    return -1;
  }
  std::vector<char> got(CHUNK), want(CHUNK);
  uint64_t received = 0, first_other = 0;
  bool differs = false, crlf = false;
  for (;;) {
    socket_set_deadline(FETCH_STALL_MS);
    int n = socket_read(got.data(), CHUNK);
    size_t m = std::fread(want.data(), 1, static_cast<size_t>(n), in);
    for (size_t i = 0; !differs && i < static_cast<size_t>(n); ++i)
      if (i >= m || got[i] != want[i]) {
        differs = true;
        first_other = received + i;
        crlf = i < m && got[i] == '\r' && want[i] == '\n';
      }
    received += static_cast<uint64_t>(n);
    if (n < CHUNK) break;
  }
  int state = socket_recv_state();
  socket_close();
  std::fclose(in);
  unsigned long long r = received, l = local_size;
  if (state != SOCKET_RECV_OK) {
    repo_error("%s: %s: the download %s after %llu bytes", label.c_str(), url.c_str(),
               state == SOCKET_RECV_TIMED_OUT ? "stalled (nothing for 60 s)" : "failed", r);
  } else if (announced > 0 && received != static_cast<uint64_t>(announced)) {
    repo_error("%s: %s: the server announced %lld bytes and sent %llu", label.c_str(), url.c_str(),
               static_cast<long long>(announced), r);
  } else if (crlf) {
    repo_error("%s: %s: the server's copy has CR LF line ends from byte %llu on, where the local "
               "one has LF: upload it again in binary mode", label.c_str(), url.c_str(),
               static_cast<unsigned long long>(first_other));
  } else if (received != local_size) {
    repo_error("%s: %s: the server's copy has %llu bytes, the local one %llu (a stale or "
               "unfinished upload?)", label.c_str(), url.c_str(), r, l);
  } else if (differs) {
    repo_error("%s: %s: the server's copy differs from the local one from byte %llu on (a stale "
               "upload?)", label.c_str(), url.c_str(),
               static_cast<unsigned long long>(first_other));
  } else {
    return 0;
  }
  return -1;
}
