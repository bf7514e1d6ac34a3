// The exact texts of the configuration for the resource the stub prefers to
// the block's CP932 renditions (startup/exact_texts.h has the layout).
#pragma once

#include <cstdint>
#include <vector>

#include "tools/pack/stub_image.h"

namespace pack {

// The resource's data for texts (the last of each option counts); empty
// when CP932 holds every text exactly, so that such a stub stays as it was.
// False (reported) when a text is not UTF-8 or holds U+0000, or is longer
// than a count of UTF-16 units can say.
bool exactTextsResource(const std::vector<BlockText>& texts, std::vector<uint8_t>& data);

// The texts for the block (fillBlockTexts): each beyond CP932 replaced by
// its rendition, '_' for what CP932 lacks, which older readers show.
std::vector<BlockText> blockRenditions(const std::vector<BlockText>& texts);

}  // namespace pack
