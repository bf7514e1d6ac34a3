// The runner's CP932 <-> UTF-8 conversion (lookup tables) against the C
// library's converter, which the tables are made from, over every single
// byte, every byte pair and every code point of the 16-bit range.
#include <errno.h>
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/posix/text.h"

namespace {

// The conversion as the C library's converter does it: a byte that starts
// no character is kept as "%XX" and the next byte read on its own (a lead
// byte with the byte after it when that is of the trail range); false on
// anything else that fails.
bool oracle(const char* to, const char* from, const std::string& in, std::string& out,
            bool escapeInvalid) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.clear();
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  bool ok = true;
  while (ok && srcLeft > 0) {
    char buffer[64];
    char* dst = buffer;
    size_t dstLeft = sizeof buffer;
    size_t result = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    out.append(buffer, dst);
    if (result != static_cast<size_t>(-1) || errno == E2BIG) continue;
    ok = escapeInvalid;
    if (ok) {
      // A lead byte goes with a byte of the trail range (0x40 and up), as
      // the core walks them; any other byte on its own.
      const unsigned char lead = static_cast<unsigned char>(*src);
      const bool pair = ((lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC)) &&
                        srcLeft > 1 && static_cast<unsigned char>(src[1]) >= 0x40;
      for (int i = 0; i < (pair ? 2 : 1); ++i) {
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(*src));
        out += escaped;
        ++src;
        --srcLeft;
      }
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return ok;
}

std::string toUtf8(const std::string& cp932, bool* ok = nullptr) {
  char out[64];
  bool converted = cp932ToUtf8(cp932.c_str(), out, sizeof out);
  if (ok) *ok = converted;
  return converted ? out : "";
}

TEST(Cp932TextTest, EveryByteAndPairReadsAsTheCLibraryReadsIt) {
  std::string expected;
  for (unsigned lead = 1; lead < 0x100; ++lead) {
    for (unsigned trail = 0; trail < 0x100; ++trail) {
      std::string in(1, static_cast<char>(lead));
      if (trail) in += static_cast<char>(trail);
      ASSERT_TRUE(oracle("UTF-8", "CP932", in, expected, true));
      bool ok = false;
      ASSERT_EQ(expected, toUtf8(in, &ok)) << std::hex << lead << " " << trail;
      ASSERT_TRUE(ok);
    }
  }
}

TEST(Cp932TextTest, EveryCodePointWritesAsTheCLibraryWritesItExactly) {
  for (unsigned c = 1; c < 0x10000; ++c) {
    if (c >= 0xD800 && c < 0xE000) continue;
    std::string utf8;
    if (c < 0x80) {
      utf8 = std::string(1, static_cast<char>(c));
    } else if (c < 0x800) {
      utf8 = {static_cast<char>(0xC0 | c >> 6), static_cast<char>(0x80 | (c & 0x3F))};
    } else {
      utf8 = {static_cast<char>(0xE0 | c >> 12), static_cast<char>(0x80 | (c >> 6 & 0x3F)),
              static_cast<char>(0x80 | (c & 0x3F))};
    }
    // Only an exact form counts: one that reads back as the same character
    // (no look-alike such as 0x8160 for U+301C) and is not an escape's
    // first byte.
    std::string expected, back;
    const bool expectedOk = oracle("CP932", "UTF-8", utf8, expected, false) &&
                            oracle("UTF-8", "CP932", expected, back, false) && back == utf8 &&
                            static_cast<unsigned char>(expected[0]) < 0xFD;
    char out[8];
    const bool ok = utf8ToCp932(utf8.c_str(), out, sizeof out);
    ASSERT_EQ(expectedOk, ok) << std::hex << c;
    if (ok) {
      ASSERT_EQ(expected, out) << std::hex << c;
    }
  }
}

TEST(Cp932TextTest, MalformedUtf8AndShortBuffersAreRefused) {
  char out[16];
  for (const char* bad :
       {"\xC0\xAF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF", "\xED\xA0\x80", "\x80", "\xE3\x81", "a\xE3",
        "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF0\x9F\x98\x80"}) {
    EXPECT_FALSE(utf8ToCp932(bad, out, sizeof out)) << bad;
  }
  // "表" is 0x95 0x5C: two bytes and the terminator.
  EXPECT_FALSE(utf8ToCp932("表", out, 2));
  ASSERT_TRUE(utf8ToCp932("表", out, 3));
  EXPECT_STREQ("\x95\x5C", out);
  EXPECT_FALSE(cp932ToUtf8("\x95\x5C", out, 3));
  EXPECT_FALSE(cp932ToUtf8("\x80", out, 3));  // "%80" does not fit
  ASSERT_TRUE(cp932ToUtf8("\x95\x5C", out, 4));
  EXPECT_STREQ("表", out);
}

}  // namespace
