#include <errno.h>
#include <iconv.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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
      return false;
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

namespace {

char* nativeRoots[NATIVE_ROOT_SLOTS];

// The registered root that text starts with, or null.
const char* rootOf(const char* text) {
  if (text[0] != NATIVE_ROOT_MARK || text[1] < '0' || text[1] >= '0' + NATIVE_ROOT_SLOTS)
    return nullptr;
  return nativeRoots[text[1] - '0'];
}

}  // namespace

void setNativeRoot(int slot, const char* native, char* standIn) {
  if (slot < 0 || slot >= NATIVE_ROOT_SLOTS) return;
  delete[] nativeRoots[slot];
  nativeRoots[slot] = nullptr;
  if (native && *native) {
    nativeRoots[slot] = new char[std::strlen(native) + 1];
    std::strcpy(nativeRoots[slot], native);
  }
  if (standIn) {
    standIn[0] = NATIVE_ROOT_MARK;
    standIn[1] = static_cast<char>('0' + slot);
    standIn[2] = 0;
  }
}

bool nativePath(const char* path, char* out, size_t outSize) {
  size_t used = 0;
  if (const char* root = rootOf(path)) {
    used = std::strlen(root);
    if (used + 1 > outSize) return false;
    std::memcpy(out, root, used);
    path += 2;
  }
  if (!cp932ToUtf8(path, out + used, outSize - used)) return false;
  // In UTF-8 a 0x5C byte is always a backslash, never half of a character.
  // The native root keeps its own bytes.
  for (char* p = out + used; *p; ++p)
    if (*p == '\\') *p = '/';
  return true;
}

// The text as UTF-8 with every stand-in replaced by its native path.
static bool toNativeText(const char* in, std::string& utf8) {
  std::string segment;
  std::vector<char> converted;
  for (const char* p = in; *p;) {
    if (const char* root = rootOf(p)) {
      utf8 += root;
      p += 2;
      continue;
    }
    const char* end = p;
    while (*end && !rootOf(end)) ++end;
    segment.assign(p, end);
    converted.resize(segment.size() * 3 + 1);
    if (!cp932ToUtf8(segment.c_str(), converted.data(), converted.size())) return false;
    utf8 += converted.data();
    p = end;
  }
  return true;
}

bool nativeText(const char* in, char* out, size_t outSize) {
  std::string utf8;
  if (!toNativeText(in, utf8) || utf8.size() + 1 > outSize) return false;
  std::memcpy(out, utf8.c_str(), utf8.size() + 1);
  return true;
}

bool cp932ToDisplay(const char* in, char* out, size_t outSize, bool multiline) {
  std::string utf8;
  return toNativeText(in, utf8) && escapeForDisplay(utf8.c_str(), out, outSize, multiline);
}

bool escapeForDisplay(const char* in, char* out, size_t outSize, bool multiline) {
  const std::string utf8(in);
  std::string shown;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    char escaped[8];
    if (multiline && c == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n') continue;
    if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
      // C1 controls (CSI among them) act as escape sequences on some terminals.
      std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned char>(utf8[++i]));
      shown += escaped;
    } else if ((c < 0x20 && !(multiline && (c == '\n' || c == '\t'))) || c == 0x7F) {
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      shown += escaped;
    } else {
      shown += static_cast<char>(c);
    }
  }
  if (shown.size() + 1 > outSize) return false;
  std::memcpy(out, shown.c_str(), shown.size() + 1);
  return true;
}
