#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/text.h"
#include "platform/program_text.h"

namespace {

// The tables, made from the C library's CP932 converter when the program is
// built: lookups instead of a converter loaded at run time.
#include "cp932_tables.inc"

// Appends bytes to out, keeping room for the terminator.
struct Output {
  char* at;
  size_t left;  // bytes left before the terminator's place
  bool put(const char* bytes, size_t count) {
    if (count > left) return false;
    std::memcpy(at, bytes, count);
    at += count;
    left -= count;
    return true;
  }
};

bool putUtf8(Output& out, uint32_t c) {
  char bytes[4];
  if (c < 0x80) {
    bytes[0] = static_cast<char>(c);
    return out.put(bytes, 1);
  }
  if (c < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | c >> 6);
    bytes[1] = static_cast<char>(0x80 | (c & 0x3F));
    return out.put(bytes, 2);
  }
  if (c < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | c >> 12);
    bytes[1] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (c & 0x3F));
    return out.put(bytes, 3);
  }
  bytes[0] = static_cast<char>(0xF0 | c >> 18);
  bytes[1] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
  bytes[2] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
  bytes[3] = static_cast<char>(0x80 | (c & 0x3F));
  return out.put(bytes, 4);
}

// The code point of the UTF-8 sequence at p and its length; 0 for anything
// that is not the shortest form of one character (an overlong '/' must not
// become a separator), surrogates included.
size_t readUtf8(const unsigned char* p, uint32_t& c) {
  if (p[0] < 0x80) {
    c = p[0];
    return 1;
  }
  size_t length = p[0] >= 0xF0 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC0 ? 2 : 0;
  if (length == 0 || p[0] >= 0xF5) return 0;
  c = p[0] & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    c = c << 6 | (p[i] & 0x3F);
  }
  static const uint32_t SHORTEST[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < SHORTEST[length] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return 0;
  return length;
}

// The CP932 bytes of a code point above ASCII (0x00XX or 0xLLTT), or
// CP932_NONE.
uint16_t cp932Of(uint32_t c) {
  size_t low = 0, high = sizeof CP932_FROM_UNICODE / sizeof CP932_FROM_UNICODE[0];
  while (low < high) {
    size_t middle = (low + high) / 2;
    uint32_t entry = CP932_FROM_UNICODE[middle];
    if (entry >> 16 == c) return static_cast<uint16_t>(entry);
    if (entry >> 16 < c)
      low = middle + 1;
    else
      high = middle;
  }
  return CP932_NONE;
}

// The code point of one or two CP932 bytes at p (*length set), CP932_NONE
// when they start no character.
uint16_t unicodeOf(const unsigned char* p, size_t* length) {
  uint16_t c = CP932_SINGLE[p[0]];
  *length = 1;
  if (c == CP932_LEAD) {
    const unsigned trail = p[1];
    c = trail >= CP932_TRAIL_FIRST
            ? CP932_PAIRS[CP932_LEAD_INDEX[p[0]] * CP932_TRAILS + trail - CP932_TRAIL_FIRST]
            : CP932_NONE;
    *length = 2;
  }
  return c;
}

// The exact CP932 form of c, CP932_NONE when it has none: the character must
// come back unchanged (no look-alike, such as U+301C WAVE DASH for 0x8160,
// which is U+FF5E), and no single byte may be an escape's first byte.
uint16_t exactCp932(uint32_t c) {
  if (c < 0x80) return static_cast<uint16_t>(c);
  const uint16_t code = cp932Of(c);
  if (code == CP932_NONE || (code <= 0xFF && code >= TEXT_ESCAPE_BMP)) return CP932_NONE;
  const unsigned char bytes[3] = {static_cast<unsigned char>(code > 0xFF ? code >> 8 : code),
                                  static_cast<unsigned char>(code > 0xFF ? code : 0), 0};
  size_t length = 0;
  return unicodeOf(bytes, &length) == c ? code : CP932_NONE;
}

// Appends c as program text: its exact CP932 form or its escape.
bool putProgramCharacter(Output& out, uint32_t c) {
  const uint16_t code = c < 0x10000 ? exactCp932(c) : CP932_NONE;
  char bytes[TEXT_ESCAPE_MAX];
  if (code == CP932_NONE) return out.put(bytes, writeEscape(c, bytes));
  bytes[0] = static_cast<char>(code >> 8);
  bytes[1] = static_cast<char>(code);
  return code > 0xFF ? out.put(bytes, 2) : out.put(bytes + 1, 1);
}

}  // namespace

bool cp932ToUtf8(const char* in, char* out, size_t outSize, bool strictEscapes) {
  if (outSize == 0) return false;
  Output output{out, outSize - 1};
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(in); *p;) {
    uint32_t c = 0;
    size_t length = readEscape(reinterpret_cast<const char*>(p), &c);
    // An escape stands only for a character that has no CP932 form; any
    // other (a forged '/', say) is not the character it claims to be.
    if (length && c < 0x10000 && exactCp932(c) != CP932_NONE) length = 0;
    if (!length && (p[0] == TEXT_ESCAPE_BMP || p[0] == TEXT_ESCAPE_ASTRAL) && strictEscapes)
      return false;
    if (!length && (c = unicodeOf(p, &length)) == CP932_NONE) {
      // Bytes that are no character are kept visible. A lead byte and a
      // byte of the trail range go together, as the core walks them: a
      // 0x5C among them must not become a separator here.
      const bool pair = length == 2 && p[1] >= CP932_TRAIL_FIRST;
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, pair ? "%%%02X%%%02X" : "%%%02X", p[0], p[1]);
      if (!output.put(escaped, pair ? 6 : 3)) return false;
      p += pair ? 2 : 1;
      continue;
    }
    if (!putUtf8(output, c)) return false;
    p += length;
  }
  *output.at = 0;
  return true;
}

bool utf8ToCp932(const char* in, char* out, size_t outSize) {
  if (outSize == 0) return false;
  Output output{out, outSize - 1};
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(in); *p;) {
    uint32_t c = 0;
    const size_t length = readUtf8(p, c);
    if (length == 0) return false;
    p += length;
    const uint16_t code = c < 0x10000 ? exactCp932(c) : CP932_NONE;
    if (code == CP932_NONE) return false;
    const char bytes[2] = {static_cast<char>(code >> 8), static_cast<char>(code)};
    if (!(code > 0xFF ? output.put(bytes, 2) : output.put(bytes + 1, 1))) return false;
  }
  *output.at = 0;
  return true;
}

bool utf8ToProgramText(const char* in, char* out, size_t outSize) {
  if (outSize == 0) return false;
  Output output{out, outSize - 1};
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(in); *p;) {
    uint32_t c = 0;
    const size_t length = readUtf8(p, c);
    if (length == 0 || !putProgramCharacter(output, c)) {
      *out = 0;
      return false;
    }
    p += length;
  }
  *output.at = 0;
  return true;
}

bool platformTextFromUtf16(const uint8_t* utf16le, size_t units, char* out, size_t size) {
  if (size == 0) return false;
  Output output{out, size - 1};
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = static_cast<uint32_t>(utf16le[2 * i] | utf16le[2 * i + 1] << 8);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
      const uint32_t low = static_cast<uint32_t>(utf16le[2 * i + 2] | utf16le[2 * i + 3] << 8);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c == 0 || (c >= 0xD800 && c < 0xE000)) {
      *out = 0;
      return false;
    }
    if (!putProgramCharacter(output, c)) {
      *output.at = 0;
      return false;
    }
  }
  *output.at = 0;
  return true;
}

void platformTextFromUtf8(const char* utf8, char* out, size_t size) {
  if (size == 0) return;
  Output output{out, size - 1};
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8); *p;) {
    uint32_t c = 0xFFFD;
    size_t length = readUtf8(p, c);
    if (length == 0) {
      c = 0xFFFD;
      length = 1;
    }
    if (!putProgramCharacter(output, c)) break;
    p += length;
  }
  *output.at = 0;
}

size_t platformComponentLength(const char* component, size_t bytes) {
  // What the name becomes on the disk; the component ends at bytes (it
  // usually stands before a '/' inside a longer path).
  char copy[1024];
  char utf8[4 * sizeof copy];
  if (bytes >= sizeof copy) return bytes * 3;
  std::memcpy(copy, component, bytes);
  copy[bytes] = 0;
  return cp932ToUtf8(copy, utf8, sizeof utf8) ? std::strlen(utf8) : bytes * 3;
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
  if (!cp932ToUtf8(path, out + used, outSize - used, true)) return false;
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
