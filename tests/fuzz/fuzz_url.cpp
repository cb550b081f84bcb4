// net_set_url on arbitrary text: any URL is split without a crash or an
// out-of-bounds read, and the content length is always cleared.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Up to the first NUL: the URL reaches the program as C text.
  std::string url(reinterpret_cast<const char*>(data), size);
  url.resize(std::char_traits<char>::length(url.c_str()));
  net_set_url(url.c_str());
  if (net_content_length() != 0) std::abort();
  return 0;
}
