#include "tools/pack/pack_support.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/posix/text.h"

namespace pack {

volatile sig_atomic_t interrupted = 0;

namespace {
std::string failurePlace;
}

bool fail(const std::string& message) {
  std::fprintf(stderr, "kasumiro: %s%s\n", failurePlace.c_str(), message.c_str());
  return false;
}

FailurePlace::FailurePlace(const std::string& place) : outer_(failurePlace) {
  failurePlace = place;
}
FailurePlace::~FailurePlace() { failurePlace = outer_; }

bool readSmallFile(const std::string& path, size_t limit, const std::string& what,
                   std::string& bytes) {
  // Not blocking: a pipe without a writer is refused, not waited for.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    const std::string why = reason();
    if (fd >= 0) close(fd);
    return fail("cannot open " + what + " " + shown(path) + ": " + why);
  }
  const bool regular = S_ISREG(st.st_mode);
  ssize_t n = 0;
  bytes.clear();
  if (regular && static_cast<uint64_t>(st.st_size) <= limit) {
    char chunk[65536];
    while (bytes.size() <= limit && (n = read(fd, chunk, sizeof chunk)) > 0)
      bytes.append(chunk, static_cast<size_t>(n));
  }
  const std::string why = reason();
  close(fd);
  if (!regular) return fail(what + " " + shown(path) + " is not a regular file");
  if (n < 0) return fail("cannot read " + what + " " + shown(path) + ": " + why);
  if (static_cast<uint64_t>(st.st_size) > limit || bytes.size() > limit)
    return fail(what + " " + shown(path) + " is longer than " + std::to_string(limit) + " bytes");
  return true;
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

namespace {

// The bytes of the UTF-8 character that starts with lead (1 for a stray
// continuation byte, which checked text never holds).
size_t characterLength(unsigned char lead) {
  return lead < 0xC0 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
}

}  // namespace

std::u16string utf16Of(const std::string& utf8) {
  std::u16string text;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char lead = static_cast<unsigned char>(utf8[i]);
    const size_t length = characterLength(lead);
    uint32_t c = length == 1 ? lead : lead & (0x3F >> (length - 1));
    for (size_t k = 1; k < length && i + k < utf8.size(); ++k) c = c << 6 | (utf8[i + k] & 0x3F);
    i += length;
    if (c >= 0x10000) {
      text += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      c = 0xDC00 + (c & 0x3FF);
    }
    text += static_cast<char16_t>(c);
  }
  return text;
}

std::string cp932Rendition(const std::string& utf8) {
  std::string cp932;
  for (size_t i = 0; i < utf8.size();) {
    const size_t length = characterLength(static_cast<unsigned char>(utf8[i]));
    std::string character;
    cp932 += toCp932(utf8.substr(i, length), character) ? character : "_";
    i += length;
  }
  return cp932;
}

}  // namespace pack
