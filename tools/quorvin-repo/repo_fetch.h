// Fetching a published file the way the installer does (its own HTTP/1.0
// client, redirects followed) and comparing it with the local copy.
#pragma once

#include <string>

// Starts and stops the installer's network layer around a run of fetches.
void fetch_begin();
void fetch_end();

// Fetches url and compares the body byte for byte with the file at local.
// 0 when they are the same; -1 after a message starting with label that says
// why (the server's answer, a cut body, another size, the first other byte).
// unfetchable_warns: a url that cannot be fetched gives a warning and 1.
int fetch_compare(const std::string& label, const std::string& url, const std::string& local,
                  bool unfetchable_warns = false);
