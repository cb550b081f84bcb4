// URL splitting and the HTTP/1.0 GET client over the single connection.
#pragma once

#include <cstdint>

// A redirect chain longer than this fails, so a loop cannot hang the program.
const int HTTP_MAX_REDIRECTS = 20;

// Sets the URL and fetches it, following redirects. 0 with the connection open
// at the first body byte, -1 on failure (connection closed).
int net_open(const char* url);
// Replaces the URL state (host, port, path) and clears the content length.
void net_set_url(const char* url);
// http_try until it gives something other than a redirect. 0 / -1.
int http_open();
// One request: 0 success (at the body), 1 failure (closed), 2 redirect (URL
// state replaced, closed).
int http_try();
// The last successful reply's Content-Length; 0 when it had none.
int64_t net_content_length();
// Whether it had one: a Content-Length of 0 is a length too.
bool net_content_length_given();
