// Program text: how the program holds a name or a text inside the process.
//
// It is CP932, byte for byte what the format and the configuration block
// store, so that every Japanese name stays what it always was and every
// double-byte-aware routine keeps working. A character that CP932 lacks is
// carried as an escape that no CP932 text contains:
//   a BMP character U:    0xFD, 0xA0+(U>>12), 0xA0+(U>>6&63), 0xA0+(U&63)
//   a character above it: 0xFE, 0xA0+(U>>18), 0xA0+(U>>12&63), ... (5 bytes)
// (added, not or-ed: 0xA0 has bit 5 set, so 0xA0|x would lose it).
// 0xFD and 0xFE are no CP932 bytes, and the continuation bytes 0xA0-0xDF are
// single-byte CP932 characters that never start a pair: a walker that does
// not know escapes steps over them one at a time, and no separator or
// forbidden byte can hide inside one. An escape is valid only in its one
// canonical form (the shortest, no surrogate, not U+0000, at most U+10FFFF)
// and only for a character without an exact CP932 form: whatever an archive
// forges, an escape never stands for '/', '\' or any character that has a
// plain form. Escapes never leave the process: the platform layers decode
// them (strictly: an invalid one fails) where text reaches the system.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

constexpr unsigned char TEXT_ESCAPE_BMP = 0xFD;
constexpr unsigned char TEXT_ESCAPE_ASTRAL = 0xFE;
constexpr size_t TEXT_ESCAPE_MAX = 5;

inline bool isEscapeContinuation(unsigned char byte) { return byte >= 0xA0 && byte <= 0xDF; }

// The length of the escape at p (4 or 5) when its bytes have an escape's
// shape, with the code point in *c; 0 otherwise. Whether the character may
// be escaped at all (it has no CP932 form) is the platform's to say.
inline size_t readEscape(const char* p, uint32_t* c) {
  const unsigned char first = static_cast<unsigned char>(p[0]);
  const size_t length = first == TEXT_ESCAPE_BMP ? 4 : first == TEXT_ESCAPE_ASTRAL ? 5 : 0;
  if (!length) return 0;
  uint32_t value = 0;
  for (size_t i = 1; i < length; ++i) {
    const unsigned char byte = static_cast<unsigned char>(p[i]);
    if (!isEscapeContinuation(byte)) return 0;  // also stops at the terminator
    value = value << 6 | (byte - 0xA0u);
  }
  // The shortest form only, and nothing a UTF-16 text could not hold.
  if (length == 4 ? (value == 0 || value > 0xFFFF || (value >= 0xD800 && value < 0xE000))
                  : (value < 0x10000 || value > 0x10FFFF))
    return 0;
  *c = value;
  return length;
}

// Writes the escape of c (not ASCII, no surrogate, at most U+10FFFF) to out
// and returns its length.
inline size_t writeEscape(uint32_t c, char* out) {
  const size_t length = c < 0x10000 ? 4 : 5;
  out[0] = static_cast<char>(length == 4 ? TEXT_ESCAPE_BMP : TEXT_ESCAPE_ASTRAL);
  for (size_t i = length - 1; i > 0; --i, c >>= 6) out[i] = static_cast<char>(0xA0 + (c & 63));
  return length;
}

// The UTF-16 units of length bytes of program text: one for each CP932
// character and each BMP escape, two for an escape beyond the BMP. What
// Windows counts against a component's limit of 255.
inline size_t programTextUnits(const char* text, size_t length) {
  size_t units = 0;
  for (size_t i = 0; i < length; ++units) {
    uint32_t c = 0;
    if (const size_t escape = readEscape(text + i, &c)) {
      units += escape == 5;
      i += escape;
    } else {
      i += platformIsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < length ? 2 : 1;
    }
  }
  return units;
}
