#include "rules/signature.h"

#include <sodium/core.h>
#include <sodium/crypto_generichash_blake2b.h>
#include <sodium/crypto_sign_ed25519.h>
#include <sodium/utils.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/platform.h"
#include "support/paths.h"

namespace {

const char UNTRUSTED_PREFIX[] = "untrusted comment: ";
const char TRUSTED_PREFIX[] = "trusted comment: ";
const size_t ALG_BYTES = 2;
const size_t ID_BYTES = 8;
const size_t SIG_BYTES = crypto_sign_ed25519_BYTES;
const size_t KEY_LINE_BYTES = ALG_BYTES + ID_BYTES + crypto_sign_ed25519_PUBLICKEYBYTES;
const size_t SIG_LINE_BYTES = ALG_BYTES + ID_BYTES + SIG_BYTES;
const size_t HASH_BYTES = crypto_generichash_blake2b_BYTES_MAX;  // 64: minisign's prehash
// A legacy ("Ed") signature covers the bytes themselves, so they are held whole;
// no real manifest comes near this.
const size_t LEGACY_FILE_MAX = 64u << 20;
const size_t READ_SIZE = 64 * 1024;

bool starts_with(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// Exactly size bytes of padded base64, nothing before or after them.
bool base64_exact(const std::string& text, unsigned char* out, size_t size) {
  size_t got = 0;
  if (sodium_base642bin(out, size, text.data(), text.size(), nullptr, &got, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0)
    return false;
  return got == size;
}

// The lines of text without their line ends (LF or CR LF).
std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    at = end + 1;
  }
  return lines;
}

// Only empty lines may follow the ones that were read.
bool rest_empty(const std::vector<std::string>& lines, size_t from) {
  for (size_t i = from; i < lines.size(); ++i)
    if (!lines[i].empty()) return false;
  return true;
}

enum ReadResult { READ_OK, READ_MISSING, READ_FAILED, READ_TOO_LARGE };

// Reads at most max bytes of path.
ReadResult read_small(const std::string& path, size_t max, std::string* data, std::string* why) {
  int read = read_whole_file(path, data, max);
  int e = errno;
  if (read == 0) return READ_OK;
  if (read == 1) return READ_TOO_LARGE;
  *why = read == -1 ? std::strerror(e) : "read error";
  return read == -1 && e == ENOENT ? READ_MISSING : READ_FAILED;
}

// What the signature covers: the BLAKE2b-512 hash of the file, or for a legacy
// signature the file's bytes. -1 when the file cannot be read.
int signed_message(const std::string& file, bool hashed, std::string* message, std::string* why) {
  FILE* in = plat_fopen(file.c_str(), "rb");
  if (!in) {
    *why = "can't open " + file + " for reading: " + std::strerror(errno);
    return -1;
  }
  crypto_generichash_blake2b_state state;
  crypto_generichash_blake2b_init(&state, nullptr, 0, HASH_BYTES);
  message->clear();
  std::vector<unsigned char> block(READ_SIZE);
  size_t n;
  int result = 0;
  while ((n = std::fread(block.data(), 1, block.size(), in)) > 0) {
    if (hashed) {
      crypto_generichash_blake2b_update(&state, block.data(), n);
    } else if (message->size() + n > LEGACY_FILE_MAX) {
      *why = file + " is too large for a legacy signature";
      result = -1;
      break;
    } else {
      message->append(reinterpret_cast<const char*>(block.data()), n);
    }
  }
  if (result == 0 && std::ferror(in)) {
    *why = "can't read " + file;
    result = -1;
  }
  std::fclose(in);
  if (result == 0 && hashed) {
    unsigned char hash[HASH_BYTES];
    crypto_generichash_blake2b_final(&state, hash, sizeof hash);
    message->assign(reinterpret_cast<const char*>(hash), sizeof hash);
  }
  return result;
}

SignatureVerdict malformed(const std::string& sig_path, const char* why, std::string* text) {
  *text = sig_path + " is not a minisign signature: " + why;
  return SIGNATURE_MALFORMED;
}

}  // namespace

int publisher_key_parse(const std::string& line, PublisherKey* key, std::string* why) {
  unsigned char raw[KEY_LINE_BYTES];
  if (!base64_exact(line, raw, sizeof raw)) {
    *why = "not the base64 line of a minisign public key";
    return -1;
  }
  if (raw[0] != 'E' || raw[1] != 'd') {
    *why = "not an Ed25519 minisign public key";
    return -1;
  }
  std::memcpy(key->id, raw + ALG_BYTES, ID_BYTES);
  std::memcpy(key->key, raw + ALG_BYTES + ID_BYTES, sizeof key->key);
  return 0;
}

int publisher_key_read(const std::string& path, PublisherKey* key, std::string* why) {
  std::string data, error;
  switch (read_small(path, SIGNATURE_FILE_MAX, &data, &error)) {
    case READ_OK: break;
    case READ_TOO_LARGE: *why = path + " is larger than a public key file"; return -1;
    default: *why = "can't open " + path + " for reading: " + error; return -1;
  }
  std::vector<std::string> lines = split_lines(data);
  size_t at = !lines.empty() && starts_with(lines[0], UNTRUSTED_PREFIX) ? 1 : 0;
  if (at >= lines.size() || !rest_empty(lines, at + 1)) {
    *why = path + " is not a minisign public key file";
    return -1;
  }
  if (publisher_key_parse(lines[at], key, &error) != 0) {
    *why = path + ": " + error;
    return -1;
  }
  return 0;
}

std::string key_id_text(const unsigned char id[8]) {
  // minisign shows the id as a little-endian 64-bit number without leading zeros, in the key's
  // comment and in its own messages: show it the same way so a publisher can match them.
  char text[2 * ID_BYTES + 1];
  for (size_t i = 0; i < ID_BYTES; ++i)
    std::snprintf(text + 2 * i, 3, "%02X", static_cast<unsigned>(id[ID_BYTES - 1 - i]));
  std::string shown(text);
  size_t first = shown.find_first_not_of('0');
  return first == std::string::npos ? "0" : shown.substr(first);
}

SignatureVerdict signature_check(const std::string& file, const std::string& sig_path,
                                 const PublisherKey& key, std::string* text) {
  return signature_check(file, sig_path, std::vector<PublisherKey>{key}, text);
}

SignatureVerdict signature_check(const std::string& file, const std::string& sig_path,
                                 const std::vector<PublisherKey>& keys, std::string* text,
                                 std::string* trusted_comment) {
  if (sodium_init() < 0) {
    *text = "sodium_init() failed";
    return SIGNATURE_UNREADABLE;
  }
  std::string data, why;
  switch (read_small(sig_path, SIGNATURE_FILE_MAX, &data, &why)) {
    case READ_OK: break;
    case READ_MISSING: *text = sig_path + " is missing"; return SIGNATURE_MISSING;
    case READ_TOO_LARGE:
      *text = sig_path + " is larger than " + std::to_string(SIGNATURE_FILE_MAX) + " bytes";
      return SIGNATURE_TOO_LARGE;
    case READ_FAILED:
      *text = "can't open " + sig_path + " for reading: " + why;
      return SIGNATURE_UNREADABLE;
  }
  if (data.empty()) return malformed(sig_path, "the file is empty", text);
  std::vector<std::string> lines = split_lines(data);
  lines.resize(std::max<size_t>(lines.size(), 4));
  if (!starts_with(lines[0], UNTRUSTED_PREFIX))
    return malformed(sig_path, "line 1 is not an untrusted comment", text);
  unsigned char sig[SIG_LINE_BYTES];
  if (!base64_exact(lines[1], sig, sizeof sig))
    return malformed(sig_path, "line 2 is not a signature (base64 of 74 bytes)", text);
  if (!starts_with(lines[2], TRUSTED_PREFIX))
    return malformed(sig_path, "line 3 is not a trusted comment", text);
  unsigned char global[SIG_BYTES];
  if (!base64_exact(lines[3], global, sizeof global))
    return malformed(sig_path, "line 4 is not a signature (base64 of 64 bytes)", text);
  if (!rest_empty(lines, 4)) return malformed(sig_path, "text after line 4", text);
  bool hashed = sig[0] == 'E' && sig[1] == 'D';
  if (!hashed && !(sig[0] == 'E' && sig[1] == 'd'))
    return malformed(sig_path, "unknown signature algorithm", text);

  // The signature names its key: any of those trusted will do.
  auto named = std::find_if(keys.begin(), keys.end(), [&](const PublisherKey& k) {
    return std::memcmp(sig + ALG_BYTES, k.id, ID_BYTES) == 0;
  });
  if (named == keys.end()) {
    std::string ids;
    for (const PublisherKey& k : keys) ids += (ids.empty() ? "" : ", ") + key_id_text(k.id);
    *text = sig_path + " was made with key " + key_id_text(sig + ALG_BYTES) +
            (keys.size() == 1 ? ", not with the publisher's key " : ", not with any of the publisher's keys ") + ids;
    return SIGNATURE_OTHER_KEY;
  }
  const PublisherKey& key = *named;
  std::string message;
  if (signed_message(file, hashed, &message, &why) != 0) {
    *text = why;
    return SIGNATURE_UNREADABLE;
  }
  const unsigned char* file_sig = sig + ALG_BYTES + ID_BYTES;
  if (crypto_sign_ed25519_verify_detached(file_sig,
                                          reinterpret_cast<const unsigned char*>(message.data()),
                                          message.size(), key.key) != 0) {
    *text = "the signature in " + sig_path + " does not match " + file;
    return SIGNATURE_NO_MATCH;
  }
  std::string comment = lines[2].substr(std::strlen(TRUSTED_PREFIX));
  std::string covered(reinterpret_cast<const char*>(file_sig), SIG_BYTES);
  covered += comment;
  if (crypto_sign_ed25519_verify_detached(global,
                                          reinterpret_cast<const unsigned char*>(covered.data()),
                                          covered.size(), key.key) != 0) {
    *text = "the trusted comment in " + sig_path + " does not match its signature";
    return SIGNATURE_COMMENT_NO_MATCH;
  }
  *text = file + ": good signature by key " + key_id_text(key.id) + ", trusted comment: " + comment;
  if (trusted_comment) *trusted_comment = comment;
  return SIGNATURE_GOOD;
}

int signed_dates(const std::string& comment, SignedDates* dates, std::string* why) {
  *dates = SignedDates();
  size_t pos = 0;
  while (pos < comment.size()) {
    size_t end = comment.find_first_of(" \t", pos);
    if (end == std::string::npos) end = comment.size();
    std::string field = comment.substr(pos, end - pos);
    pos = end + 1;
    size_t colon = field.find(':');
    std::string name = field.substr(0, colon);
    if (colon == std::string::npos || (name != "timestamp" && name != "expires")) continue;
    bool* has = name == "timestamp" ? &dates->has_timestamp : &dates->has_expires;
    int64_t* value = name == "timestamp" ? &dates->timestamp : &dates->expires;
    std::string digits = field.substr(colon + 1);
    // Up to 18 digits: no overflow, and far past any date a list may name.
    if (*has || digits.empty() || digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos) {
      *why = "the trusted comment's " + name + " is not one number of seconds: " + field;
      return -1;
    }
    *has = true;
    *value = std::stoll(digits);
  }
  return 0;
}

std::string utc_text(int64_t seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
#ifdef _WIN32
  // The C runtime's gmtime keeps its result per thread there.
  const std::tm* got = std::gmtime(&t);
  if (!got) return std::to_string(seconds);
  parts = *got;
#else
  if (!gmtime_r(&t, &parts)) return std::to_string(seconds);
#endif
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}
