// Program text on the POSIX side: names and texts beyond CP932 carried as
// escapes, converted without loss both ways, and escapes that do not stand
// for their character refused where a name reaches the system.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/text.h"
#include "platform/program_text.h"

namespace {

std::string programText(const std::string& utf8) {
  char out[256];
  return utf8ToProgramText(utf8.c_str(), out, sizeof out) ? out : "<refused>";
}

std::string utf8Of(const std::string& text, bool strict) {
  char out[256];
  return cp932ToUtf8(text.c_str(), out, sizeof out, strict) ? out : "<refused>";
}

std::string fromUtf16(const std::vector<uint16_t>& units, size_t size = 256) {
  std::vector<uint8_t> bytes;
  for (uint16_t u : units) bytes.insert(bytes.end(), {uint8_t(u), uint8_t(u >> 8)});
  std::vector<char> out(size);
  const bool whole = platformTextFromUtf16(bytes.data(), units.size(), out.data(), size);
  return std::string(whole ? "" : "<cut>") + out.data();
}

TEST(ProgramTextTest, CharactersCp932LacksTravelAsEscapesAndComeBackExact) {
  const struct {
    const char* utf8;
    const char* text;
  } cases[] = {
      {"abc", "abc"},
      {"表", "\x95\x5C"},                     // CP932, byte for byte as always
      {"～", "\x81\x60"},                     // U+FF5E FULLWIDTH TILDE is CP932 0x8160
      {"〜", "\xFD\xA3\xA0\xBC"},             // U+301C WAVE DASH is not: no look-alike
      {"é", "\xFD\xA0\xA3\xC9"},              // U+00E9: 0xA0 + 0x29, bit 5 kept
      {"한", "\xFD\xAD\xB5\xBC"},             // U+D55C
      {"\xEF\xA3\xB1", "\xFD\xAF\xC3\xD1"},   // U+F8F1: never a raw 0xFD
      {"😀", "\xFE\xA0\xBF\xB8\xA0"},          // U+1F600, beyond the BMP
      {"ｱ/Ä", "\xB1/\xFD\xA0\xA3\xA4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(programText(c.utf8), c.text);
    EXPECT_EQ(utf8Of(c.text, true), c.utf8);
  }
  // Every BMP character and a few beyond, through UTF-16 and back.
  for (uint32_t c = 1; c < 0x110000; c = c < 0x10000 ? c + 1 : c + 0x1111) {
    if (c >= 0xD800 && c < 0xE000) continue;
    std::vector<uint16_t> units;
    if (c < 0x10000)
      units = {uint16_t(c)};
    else
      units = {uint16_t(0xD800 + ((c - 0x10000) >> 10)), uint16_t(0xDC00 + (c & 0x3FF))};
    const std::string text = fromUtf16(units);
    ASSERT_FALSE(text.empty()) << std::hex << c;
    char utf8[8] = {};
    ASSERT_TRUE(cp932ToUtf8(text.c_str(), utf8, sizeof utf8, true)) << std::hex << c;
    ASSERT_EQ(programText(utf8), text) << std::hex << c;
  }
}

TEST(ProgramTextTest, EscapesThatDoNotStandForTheirCharacterAreRefused) {
  const struct {
    const char* what;
    const char* text;
  } forged[] = {
      {"'/' escaped", "a\xFD\xA0\xA0\xCF" "b"},
            {"'\\' escaped", "\xFD\xA0\xA1\xBC"},
      {"'..' escaped", "\xFD\xA0\xA0\xCE\xFD\xA0\xA0\xCE"},
      {"U+0000", "\xFD\xA0\xA0\xA0"},
      {"a surrogate", "\xFD\xAD\xC0\xA0"},
      {"'/' in the long form", "\xFE\xA0\xA0\xA0\xCF"},
      {"a BMP character in the long form", "\xFE\xA0\xAF\xDF\xDF"},
      {"beyond U+10FFFF", "\xFE\xA5\xA0\xA0\xA0"},
      {"a BMP escape past U+FFFF", "\xFD\xB0\xA0\xA0"},
      {"cut short", "\xFD\xA3\xA0"},
      {"a byte out of range", "\xFD\xA3\xA0\xE0"},
      {"a CP932 kanji escaped", "\xFD\xA8\xC1\xC8"},  // U+8868 is 0x955C
      {"FULLWIDTH TILDE escaped", "\xFD\xAF\xDD\xBE"},
      {"a lone 0xFE", "\xFE"},
  };
  for (const auto& c : forged) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(utf8Of(c.text, true), "<refused>");
    char native[64];
    EXPECT_FALSE(nativePath(c.text, native, sizeof native));
    // Shown, never taken for its character.
    const std::string shown = utf8Of(c.text, false);
    EXPECT_EQ(shown.find_first_of("/\\"), std::string::npos) << shown;
  }
}

TEST(ProgramTextTest, Utf16NamesWithoutACharacterOrThatDoNotFitAreRefused) {
  EXPECT_EQ(fromUtf16({'a', 0, 'b'}), "<cut>");
  EXPECT_EQ(fromUtf16({'a', 0xD800}), "<cut>");
  EXPECT_EQ(fromUtf16({0xDC00, 'a'}), "<cut>");
  EXPECT_EQ(fromUtf16({0xDC00, 0xD800}), "<cut>");
  EXPECT_EQ(fromUtf16({0xD83D, 0xDE00}), "\xFE\xA0\xBF\xB8\xA0");
  // A text too long keeps its whole characters.
  EXPECT_EQ(fromUtf16({'a', 0x301C, 'b'}, 5), "<cut>a");
  EXPECT_EQ(fromUtf16({'a', 0x301C, 'b'}, 6), "<cut>a\xFD\xA3\xA0\xBC");
  EXPECT_EQ(fromUtf16({'a', 0x301C, 'b'}, 7), "a\xFD\xA3\xA0\xBC" "b");
}

TEST(ProgramTextTest, ComponentLengthsAreCountedAsEachSystemCounts) {
  const struct {
    const char* text;
    size_t linuxBytes;  // UTF-8 on the disk
    size_t windowsUnits;
  } cases[] = {
      {"abc", 3, 3},
      {"\x95\x5C", 3, 1},                  // 表
      {"\xB1", 3, 1},                      // half-width katakana
      {"\x81\x4C", 2, 1},                  // U+00B4
      {"\xFD\xA0\xA3\xA9", 2, 1},          // é
      {"\xFE\xA0\xBF\xB8\xA0", 4, 2},      // U+1F600: a surrogate pair
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(platformComponentLength(c.text, std::strlen(c.text)), c.linuxBytes);
    EXPECT_EQ(programTextUnits(c.text, std::strlen(c.text)), c.windowsUnits);
  }
  // 129 kanji: 258 bytes of CP932, 129 units on Windows, 387 bytes on Linux.
  std::string kanji;
  for (int i = 0; i < 129; ++i) kanji += "\x8A\xBF";
  EXPECT_EQ(programTextUnits(kanji.c_str(), kanji.size()), 129u);
  EXPECT_EQ(platformComponentLength(kanji.c_str(), kanji.size()), 387u);
}

}  // namespace
