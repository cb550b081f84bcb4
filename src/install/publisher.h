// The publisher key built into the program, and the proof that the manifest
// and the archives come from that publisher.
#pragma once

#include <cstdint>
#include <string>

struct FileListEntry;

// The base64 line of the publisher's minisign.pub, or several separated by ';'
// (the current key and the next, while a publisher moves to it); empty when
// none is built in.
// Defined in a generated file of each program (tests set it).
extern const char* publisher_key;

// True when a key is built in: the manifest must then be signed and every
// archive of it carry its SHA-256.
bool publisher_key_built_in();

// Where a keyed run fetches the list (and, beside it, its signature) before
// every check has passed: a refused list never replaces the last good one.
const char PUBLISHER_FETCH_SUFFIX[] = ".new";

// With a key built in, fetches url + ".minisig" to fetched + ".minisig" (url
// null: the signature must already lie there), checks the list at fetched
// against it and its dates: the trusted comment must give a timestamp, not be
// past its expiry (or, without one, not be older than the build's maximum
// age), and not be older than the newest one accepted for manifest before
// (kept in manifest + ".timestamp"), nor than installed, the newest one
// installed from in the install directory (0: none). When fetched is not
// manifest, both files then take the places of manifest and its signature. 0
// when no key is built in or all is well; -1 after a log line saying what is
// wrong, the files fetched removed and manifest left as it was.
int publisher_check_manifest(const char* url, const std::string& fetched, const std::string& manifest,
                             int64_t installed = 0);
// The signed timestamp of the list the last publisher_check_manifest accepted;
// 0 when none was, or no key is built in.
extern int64_t publisher_signed_at;
// The clock the dates are judged by (Unix time); tests set another.
extern int64_t (*publisher_clock)();

// With a key built in, an entry the run may act on must name its archive's
// SHA-256 and size: the signature covers the archive only through them. 0, or -1 after a
// log line naming the entry (number is 1-based).
int publisher_require_hash(const FileListEntry* e, const char* name, int number);

// Whether the archive of e already at local_path may be used: only when its
// size is the "s:" and its SHA-256 the "h:" given (a mismatch is logged).
bool archive_matches(const FileListEntry* e, const std::string& local_path, const char* name);
