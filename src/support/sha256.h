// SHA-256 (OpenSSL's, which uses the processor's SHA instructions where there
// are any) of a stream of bytes or of a file, written as 64 lower-case
// hexadecimal digits.
#pragma once

#include <openssl/sha.h>

#include <cstddef>
#include <string>

const size_t SHA256_HEX_LENGTH = 64;

struct Sha256 {
  SHA256_CTX state;
};

void sha256_start(Sha256& hash);
void sha256_add(Sha256& hash, const void* data, size_t size);
// Ends the hash and returns its digits.
std::string sha256_finish(Sha256& hash);

// The SHA-256 of a whole file into *hex; -1 (after a log line) when it cannot be read.
int sha256_file(const std::string& path, std::string* hex);

// 64 hexadecimal digits of either case, and nothing else.
bool sha256_text_valid(const char* text);
// text in lower case (the form sha256_finish writes).
std::string sha256_text_lower(const char* text);
