// URL splitting and the HTTP/1.0 GET client over the single connection.
#pragma once

#include <cstdint>
#include <string>

// A redirect chain longer than this fails, so a loop cannot hang the program.
const int HTTP_MAX_REDIRECTS = 20;

// What a fetch came to: one outcome for each way it can fail that a caller
// may want to tell apart (the client's log lines say the same in words).
enum NetOutcome {
  NET_OK = 0,
  NET_REDIRECT,               // http_try only: the URL state now holds the Location
  NET_NO_HOST,                // the URL names no host
  NET_CANNOT_RESOLVE,         // the host name did not resolve
  NET_NO_SOCKET,              // no socket could be made
  NET_CANNOT_CONNECT,
  NET_CONNECT_TIMED_OUT,      // the host gave no answer in time
  NET_RECEIVE_FAILED,         // a receive failed, in the headers or the body
  NET_TIMED_OUT,              // the status line and headers did not come in time
  NET_BAD_STATUS_LINE,        // no status code, or a number that is none of HTTP's
  NET_PARTIAL_CONTENT,        // 206: a part of the file
  NET_HTTP_STATUS,            // a status that gives no file (3xx without a Location, 4xx, 5xx)
  NET_BAD_LOCATION,           // a Location that cannot be followed
  NET_TOO_MANY_REDIRECTS,
  NET_BAD_TRANSFER_ENCODING,  // a body in chunks or any other coding
  NET_BAD_CONTENT_LENGTH,     // not a number, too large, or two that differ
  NET_HEADERS_CUT,            // the reply ended before its headers did
  NET_TLS_FAILED,             // the TLS handshake failed or the certificate was refused
  NET_TLS_CUT,                // a TLS stream ended without close_notify before the body's end
  NET_INSECURE_REDIRECT,      // an https URL redirected to one without TLS
  NET_PROXY_REFUSED,          // the proxy would not open a tunnel or forward the request
  NET_PROXY_AUTH,             // the proxy asked for credentials it was not given, or refused them
  // net_get's own, after the exchange:
  NET_TOO_LARGE,              // more than the caller allows, announced or sent
  NET_NO_SPACE,               // the drive cannot take the announced length
  NET_WRITE_FAILED,           // the file could not be created, written, closed or renamed
  NET_NO_THREAD,              // the worker could not be started
  NET_CANCELLED,              // the user's quit request
  NET_BODY_TOO_SHORT,         // fewer bytes than the Content-Length
  NET_BODY_TOO_LONG,          // more bytes than the Content-Length
  NET_BODY_EMPTY,             // no bytes where some are needed
  NET_HASH_MISMATCH,
};

struct NetResult {
  NetOutcome outcome = NET_OK;
  int status = 0;      // the last reply's status code as read; 0 when none was
  std::string url;     // the URL that answered, after redirects (when they ran out: the last one's target)
  int redirects = 0;   // Locations followed
  std::string detail;  // the log line that said why it failed; empty when none did
};

// The result of the last net_open or net_get (of http_try, for the fields it sets).
const NetResult& net_last_result();
// Records a failure that the download found after the exchange. The first
// failure stands: what fails after it follows from it.
void net_record_failure(NetOutcome outcome, const std::string& detail = std::string());

// Sets the URL and fetches it, following redirects. 0 with the connection open
// at the first body byte, -1 on failure (connection closed).
int net_open(const char* url);
// Replaces the URL state (host, port, path) and clears the content length.
void net_set_url(const char* url);
// http_try until it gives something other than a redirect. 0 / -1.
int http_open();
// One request: NET_OK at the body, NET_REDIRECT with the URL state replaced,
// else the failure; closed unless NET_OK.
NetOutcome http_try();
// The last successful reply's Content-Length; 0 when it had none.
int64_t net_content_length();
// Whether it had one: a Content-Length of 0 is a length too.
bool net_content_length_given();
