#include <errno.h>
#include <iconv.h>

#include <cstdio>
#include <cstring>

#include "platform/posix/text.h"

namespace {

// Converts with a cached descriptor; invalid input bytes go through escape.
bool convert(iconv_t& cd, const char* to, const char* from, const char* in, char* out,
             size_t outSize, bool escapeInvalid) {
  if (outSize == 0) return false;
  if (cd == reinterpret_cast<iconv_t>(-1)) cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* src = const_cast<char*>(in);
  size_t srcLeft = std::strlen(in);
  char* dst = out;
  size_t dstLeft = outSize - 1;
  while (srcLeft > 0) {
    if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) return false;
    // EILSEQ or EINVAL: one byte that has no character; keep it visible.
    if (escapeInvalid) {
      if (dstLeft < 3) return false;
      std::snprintf(dst, 4, "%%%02X", static_cast<unsigned char>(*src));
      dst += 3;
      dstLeft -= 3;
    } else {
      if (dstLeft < 1) return false;
      *dst++ = '?';
      --dstLeft;
    }
    ++src;
    --srcLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  *dst = 0;
  return true;
}

iconv_t toUtf8 = reinterpret_cast<iconv_t>(-1);
iconv_t toCp932 = reinterpret_cast<iconv_t>(-1);

}  // namespace

bool cp932ToUtf8(const char* in, char* out, size_t outSize) {
  return convert(toUtf8, "UTF-8", "CP932", in, out, outSize, true);
}

bool utf8ToCp932(const char* in, char* out, size_t outSize) {
  return convert(toCp932, "CP932", "UTF-8", in, out, outSize, false);
}

bool nativePath(const char* path, char* out, size_t outSize) {
  if (!cp932ToUtf8(path, out, outSize)) return false;
  // In UTF-8 a 0x5C byte is always a backslash, never half of a character.
  for (char* p = out; *p; ++p)
    if (*p == '\\') *p = '/';
  return true;
}
