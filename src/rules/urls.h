// The URLs the installer can fetch. This file and its source use nothing but
// the standard library: the build compiles them on their own to check the
// manifest URL built into the installer when it is configured, so that the
// build, quorvin-repo and the program share one rule.
#pragma once

#include <string>

// An entry's URL as the installer takes it: no spaces or control characters,
// which would break the request line or smuggle header lines into it.
const char* url_refusal(const std::string& url);
// "http://host[:port]/path" (or ftp://, which the installer fetches with HTTP
// too): no credentials, IPv6 address, query, fragment or '\\'; printable ASCII
// only. Null when the URL is fine, otherwise the reason in plain words.
const char* fetchable_url_refusal(const std::string& url);
// The manifest's URL: fetchable, and naming a file rather than a folder.
const char* manifest_url_refusal(const std::string& url);
