// Deterministic test data for the encoder: text, binary of mixed kinds,
// noise, and data repeating with a given period.
#ifndef KASUMIRO_TESTS_SUPPORT_SAMPLE_DATA_H
#define KASUMIRO_TESTS_SUPPORT_SAMPLE_DATA_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testkit {

// Words in lines: compressible, with matches at every distance.
std::vector<uint8_t> sampleText(size_t size, uint64_t seed);
// Noise, zero runs, small alphabets, tables and copies from up to 64 KiB back.
std::vector<uint8_t> sampleBinary(size_t size, uint64_t seed);
// Incompressible bytes.
std::vector<uint8_t> sampleNoise(size_t size, uint64_t seed);
// Noise of `period` bytes repeated up to `size`: its only matches lie
// exactly `period` bytes back.
std::vector<uint8_t> samplePeriodic(size_t size, size_t period, uint64_t seed);

}  // namespace testkit

#endif  // KASUMIRO_TESTS_SUPPORT_SAMPLE_DATA_H
