#include "tools/pack/pack_support.h"

#include <errno.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/posix/text.h"

namespace pack {

volatile sig_atomic_t interrupted = 0;

bool fail(const std::string& message) {
  std::fprintf(stderr, "kasumiro: %s\n", message.c_str());
  return false;
}

std::string reason() { return std::strerror(errno); }

std::string shown(const std::string& utf8) {
  std::vector<char> out(utf8.size() * 4 + 16);
  return escapeForDisplay(utf8.c_str(), out.data(), out.size(), false) ? out.data() : "?";
}

bool toCp932(const std::string& utf8, std::string& cp932) {
  std::vector<char> out(utf8.size() * 2 + 2);
  if (!utf8ToCp932(utf8.c_str(), out.data(), out.size())) return false;
  cp932 = out.data();
  return true;
}

std::string cp932Rendition(const std::string& utf8) {
  std::string cp932;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char lead = static_cast<unsigned char>(utf8[i]);
    const size_t length = lead < 0xC0 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    std::string character;
    cp932 += toCp932(utf8.substr(i, length), character) ? character : "_";
    i += length;
  }
  return cp932;
}

}  // namespace pack
