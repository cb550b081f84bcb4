// Signatures in minisign's format: a publisher's public key, and the check of a
// file against its signature file. The cryptography (Ed25519, BLAKE2b-512,
// base64) is libsodium's; only the text format is read here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A signature file larger than this is refused unread; minisign writes about
// 300 bytes, and at most about 8.4 KiB (both comments at its limit of about 4 KiB).
const size_t SIGNATURE_FILE_MAX = 16384;

struct PublisherKey {
  unsigned char id[8];    // as stored in the key and the signature
  unsigned char key[32];  // Ed25519 public key
};

// The key line of a minisign.pub: base64 of "Ed", the key id and the key.
// 0, or -1 with *why.
int publisher_key_parse(const std::string& line, PublisherKey* key, std::string* why);
// A minisign.pub file: an optional "untrusted comment: " line, then the key line.
int publisher_key_read(const std::string& path, PublisherKey* key, std::string* why);
// A key id as minisign shows it: upper-case hexadecimal, without leading zeros.
std::string key_id_text(const unsigned char id[8]);

enum SignatureVerdict {
  SIGNATURE_GOOD = 0,
  SIGNATURE_MISSING,           // no signature file
  SIGNATURE_UNREADABLE,        // the signature or the signed file cannot be read
  SIGNATURE_TOO_LARGE,         // the signature file exceeds SIGNATURE_FILE_MAX
  SIGNATURE_MALFORMED,         // not minisign's four lines
  SIGNATURE_OTHER_KEY,         // made with another key
  SIGNATURE_NO_MATCH,          // the file is not the one that was signed
  SIGNATURE_COMMENT_NO_MATCH,  // the trusted comment is not the one that was signed
};

// Checks file against the signature in sig_path made with key: the file's
// signature ("Ed": of its bytes; "ED": of their BLAKE2b-512 hash) and the
// global signature over that signature and the trusted comment. *text gets one
// sentence: what is wrong, or on success the key id and the trusted comment.
SignatureVerdict signature_check(const std::string& file, const std::string& sig_path,
                                 const PublisherKey& key, std::string* text);
// The same with any of several keys trusted (a publisher moving to a new key):
// the one the signature names is used, and the success names it. On success
// *trusted_comment, when given, gets the trusted comment.
SignatureVerdict signature_check(const std::string& file, const std::string& sig_path,
                                 const std::vector<PublisherKey>& keys, std::string* text,
                                 std::string* trusted_comment = nullptr);

// What a trusted comment says of the signed file's age: minisign's own
// "timestamp:SECONDS" and "expires:SECONDS" (Unix time, UTC), each among other
// name:value fields separated by tabs or spaces.
struct SignedDates {
  bool has_timestamp = false;
  int64_t timestamp = 0;
  bool has_expires = false;
  int64_t expires = 0;
};
// 0, or -1 with *why when a timestamp or expires field is there but is no
// decimal number of seconds (a field given twice counts as such too).
int signed_dates(const std::string& comment, SignedDates* dates, std::string* why);
// Unix time as "2026-12-10 12:00:00 UTC".
std::string utc_text(int64_t seconds);
