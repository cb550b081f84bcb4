#include "support/sha256.h"

#include <sodium/core.h>
#include <sodium/utils.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "support/log.h"

namespace {
const size_t READ_SIZE = 256 * 1024;

// Not isxdigit: its answer may depend on the locale.
bool hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
}  // namespace

void sha256_start(Sha256& hash) {
  // Picks the library's implementations; later calls return at once.
  if (sodium_init() < 0) log_message("sodium_init() failed");
  crypto_hash_sha256_init(&hash.state);
}

void sha256_add(Sha256& hash, const void* data, size_t size) {
  crypto_hash_sha256_update(&hash.state, static_cast<const unsigned char*>(data), size);
}

std::string sha256_finish(Sha256& hash) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&hash.state, digest);
  char hex[SHA256_HEX_LENGTH + 1];
  sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
  return std::string(hex, SHA256_HEX_LENGTH);
}

int sha256_file(const std::string& path, std::string* hex) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) {
    log_message("can't open %s for reading: %s", path.c_str(), std::strerror(errno));
    return -1;
  }
  std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[READ_SIZE]);
  if (!block) {
    log_message("malloc() failed");
    std::fclose(in);
    return -1;
  }
  Sha256 hash;
  sha256_start(hash);
  size_t n;
  while ((n = std::fread(block.get(), 1, READ_SIZE, in)) > 0) sha256_add(hash, block.get(), n);
  bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed) {
    log_message("fread() failed: %s", path.c_str());
    return -1;
  }
  *hex = sha256_finish(hash);
  return 0;
}

bool sha256_text_valid(const char* text) {
  size_t n = 0;
  for (; text[n]; ++n)
    if (n == SHA256_HEX_LENGTH || !hex_digit(text[n])) return false;
  return n == SHA256_HEX_LENGTH;
}

std::string sha256_text_lower(const char* text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}
