#include "startup/exact_texts.h"

#include <cstring>

#include "platform/platform.h"

bool parseExactTexts(const uint8_t* data, size_t size, ExactText (&texts)[EXACT_TEXT_COUNT]) {
  size_t at = 0;
  for (ExactText& text : texts) {
    if (size - at < 2) return false;
    text.count = static_cast<size_t>(data[at] | data[at + 1] << 8);
    at += 2;
    if ((size - at) / 2 < text.count) return false;
    text.units = data + at;
    at += 2 * text.count;
  }
  return true;
}

bool applyExactTexts(const uint8_t* data, size_t size, RunConfig& config) {
  ExactText texts[EXACT_TEXT_COUNT];
  if (!data || !parseExactTexts(data, size, texts)) return false;
  static char converted[sizeof config.defaultDir];
  for (int i = 0; i < EXACT_TEXT_COUNT; ++i) {
    if (!texts[i].count) continue;
    // A text that does not fit keeps its whole characters; one that cannot
    // be converted at all leaves the field as the block has it.
    if (!platformTextFromUtf16(texts[i].units, texts[i].count, converted,
                               CONFIG_TEXTS[i].runSize) &&
        !converted[0])
      continue;
    std::strcpy(reinterpret_cast<char*>(&config) + CONFIG_TEXTS[i].runOffset, converted);
  }
  return true;
}
