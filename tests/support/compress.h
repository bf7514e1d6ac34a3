// Member data compressed by the program's own encoder, as `kasumiro a`
// compresses it: the valid streams that tests of the reader start from.
#ifndef KASUMIRO_TESTS_SUPPORT_COMPRESS_H
#define KASUMIRO_TESTS_SUPPORT_COMPRESS_H

#include <cstdint>
#include <vector>

#include "lzh/lzh_encoder.h"

namespace testkit {

// The whole stream for `data` with method '5', '6' or '7'; empty data gives an
// empty stream. '4' gives the '5' stream: the two methods differ only in the
// window, which the program reads alike; other readers take it for -lh4-
// only while the data is at most 4097 bytes (no distance beyond 4096).
// Throws std::invalid_argument for other methods.
std::vector<uint8_t> compress(char method, const std::vector<uint8_t>& data,
                              int level = LZH_DEFAULT_LEVEL);

}  // namespace testkit

#endif  // KASUMIRO_TESTS_SUPPORT_COMPRESS_H
