// The exact texts: the configuration's texts in any Unicode. The block holds
// them in CP932 (what CP932 lacks as '_'), so that its layout and older
// readers stay as they are; the exact ones travel in a resource of the
// program's image, which the program prefers when it is there:
//   type RT_RCDATA (10), id 1, language neutral;
//   for title, message, defaultDir, prompt and runCommand in that order, a
//   u16 count of UTF-16 units and the units (all little-endian). A count of
//   0 keeps the block's text. Bytes after the five texts are left for later
//   versions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "startup/config_block.h"

constexpr unsigned EXACT_TEXTS_TYPE = 10;  // RT_RCDATA
constexpr unsigned EXACT_TEXTS_ID = 1;
constexpr int EXACT_TEXT_COUNT = 5;

struct ExactText {
  const uint8_t* units;  // UTF-16LE
  size_t count;          // 0: the block's text stands
};

// Finds the five texts in data. False when data is too short for them.
bool parseExactTexts(const uint8_t* data, size_t size, ExactText (&texts)[EXACT_TEXT_COUNT]);

// Replaces the texts of config that data holds by their program text: a text
// too long for its field is cut after its last whole character, and one that
// cannot be converted (U+0000, an unpaired surrogate) keeps the block's text.
// False (config unchanged) when data is malformed.
bool applyExactTexts(const uint8_t* data, size_t size, RunConfig& config);
