// The SHA256_* calls: the EVP interface would bring most of libcrypto into the
// statically linked program for one hash.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "support/sha256.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/platform.h"
#include "support/log.h"

namespace {
const size_t READ_SIZE = 256 * 1024;

// Not isxdigit: its answer may depend on the locale.
bool hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
}  // namespace

void sha256_start(Sha256& hash) { SHA256_Init(&hash.state); }

void sha256_add(Sha256& hash, const void* data, size_t size) { SHA256_Update(&hash.state, data, size); }

std::string sha256_finish(Sha256& hash) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256_Final(digest, &hash.state);
  static const char digits[] = "0123456789abcdef";
  std::string hex(SHA256_HEX_LENGTH, '0');
  for (size_t i = 0; i < sizeof digest; ++i) {
    hex[2 * i] = digits[digest[i] >> 4];
    hex[2 * i + 1] = digits[digest[i] & 15];
  }
  return hex;
}

int sha256_file(const std::string& path, std::string* hex) {
  FILE* in = plat_fopen(path.c_str(), "rb");
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
