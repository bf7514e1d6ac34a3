#include "tools/pack/exact_texts_resource.h"

#include <cstring>
#include <string>

#include "platform/posix/text.h"
#include "startup/exact_texts.h"
#include "tools/pack/pack_support.h"

namespace pack {

namespace {

// In the resource's order.
const char* const TEXT_OPTIONS[EXACT_TEXT_COUNT] = {"--title", "--message", "--dir", "--prompt",
                                                    "--command"};

// Appends utf8 (checked) as UTF-16LE units; false when it is not UTF-8.
bool appendUtf16(const std::string& utf8, std::vector<uint8_t>& units) {
  std::vector<char> check(utf8.size() * 2 + 8);
  if (!utf8ToProgramText(utf8.c_str(), check.data(), check.size())) return false;
  for (const char16_t unit : utf16Of(utf8)) {
    units.push_back(static_cast<uint8_t>(unit));
    units.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return true;
}

// Whether CP932 holds utf8 exactly: it comes back as the same UTF-8 (a
// character that CP932 only approximates, such as U+301C for U+FF5E, does
// not).
bool exactInCp932(const std::string& utf8) {
  std::string cp932;
  std::vector<char> back(utf8.size() + 1);
  return toCp932(utf8, cp932) && cp932ToUtf8(cp932.c_str(), back.data(), back.size()) &&
         utf8 == back.data();
}

}  // namespace

bool exactTextsResource(const std::vector<BlockText>& texts, std::vector<uint8_t>& data) {
  data.clear();
  bool needed = false;
  for (int i = 0; i < EXACT_TEXT_COUNT; ++i) {
    const BlockText* last = nullptr;
    for (const BlockText& t : texts)
      if (t.option == TEXT_OPTIONS[i]) last = &t;
    std::vector<uint8_t> units;
    // A text that CP932 holds exactly is the block's: count 0.
    if (last && !exactInCp932(last->utf8)) {
      if (last->utf8.find('\0') != std::string::npos || !appendUtf16(last->utf8, units))
        return fail(last->option + " is not UTF-8 text");
      // The stub would cut a longer one where it holds the text.
      std::vector<char> held(CONFIG_TEXTS[i].runSize);
      if (units.size() / 2 > 0xFFFF ||
          !utf8ToProgramText(last->utf8.c_str(), held.data(), held.size()))
        return fail(last->option + " is too long: the stub holds " +
                    std::to_string(CONFIG_TEXTS[i].runSize - 1) +
                    " bytes of it (a character beyond CP932 takes four or five)");
      needed = true;
    }
    data.push_back(static_cast<uint8_t>(units.size() / 2));
    data.push_back(static_cast<uint8_t>(units.size() / 2 >> 8));
    data.insert(data.end(), units.begin(), units.end());
  }
  if (!needed) data.clear();
  return true;
}

std::vector<BlockText> blockRenditions(const std::vector<BlockText>& texts) {
  std::vector<BlockText> rendered = texts;
  for (BlockText& t : rendered) {
    if (exactInCp932(t.utf8)) continue;
    // Back to UTF-8, which fillBlockTexts converts: the rendition is CP932.
    std::vector<char> utf8(t.utf8.size() * 3 + 8);
    if (cp932ToUtf8(cp932Rendition(t.utf8).c_str(), utf8.data(), utf8.size())) t.utf8 = utf8.data();
  }
  return rendered;
}

}  // namespace pack
