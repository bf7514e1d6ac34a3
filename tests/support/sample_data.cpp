#include "support/sample_data.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace testkit {

namespace {

// splitmix64: the same bytes on every machine.
struct Random {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  size_t below(size_t n) { return static_cast<size_t>(next() % n); }
};

}  // namespace

std::vector<uint8_t> sampleText(size_t size, uint64_t seed) {
  Random random{seed};
  std::vector<std::string> words;
  static const char* const SYLLABLES[] = {"ka", "su", "mi",  "ro",  "ta",  "na", "ha", "ma", "ya",
                                          "ra", "wa", "shi", "chi", "tsu", "no", "to", "ko"};
  for (int w = 0; w < 2000; ++w) {
    std::string word;
    for (size_t s = 1 + random.below(4); s > 0; --s) word += SYLLABLES[random.below(17)];
    words.push_back(word);
  }
  std::vector<uint8_t> out;
  out.reserve(size + 128);
  while (out.size() < size) {
    for (size_t w = 6 + random.below(10); w > 0; --w) {
      // Zipf-like: a few words are frequent.
      const std::string& word = words[random.below(1 + random.below(words.size()))];
      out.insert(out.end(), word.begin(), word.end());
      out.push_back(w > 1 ? ' ' : '.');
    }
    if (random.below(10) == 0) {
      const std::string number = " (" + std::to_string(random.below(100000)) + ")";
      out.insert(out.end(), number.begin(), number.end());
    }
    out.push_back('\n');
  }
  out.resize(size);
  return out;
}

std::vector<uint8_t> sampleBinary(size_t size, uint64_t seed) {
  Random random{seed};
  std::vector<uint8_t> out;
  out.reserve(size + 9000);
  while (out.size() < size) {
    const size_t length = 64 + random.below(8192);
    switch (random.below(5)) {
      case 0:
        for (size_t i = 0; i < length; ++i) out.push_back(static_cast<uint8_t>(random.next()));
        break;
      case 1:
        out.insert(out.end(), length, 0);
        break;
      case 2: {
        uint32_t value = static_cast<uint32_t>(random.below(10000000));
        for (size_t i = 0; i < length / 4; ++i) {
          value += 16 + static_cast<uint32_t>(random.below(8));
          for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(value >> (8 * b)));
        }
        break;
      }
      case 3:
        for (size_t i = 0; i < length; ++i)
          out.push_back(static_cast<uint8_t>(0x40 + random.below(12)));
        break;
      default:
        for (int copies = 0; copies < 8 && out.size() > 70000; ++copies) {
          const size_t distance = 1 + random.below(65535);
          const size_t count = 3 + random.below(512);
          for (size_t i = 0; i < count; ++i) out.push_back(out[out.size() - distance]);
        }
        break;
    }
  }
  out.resize(size);
  return out;
}

std::vector<uint8_t> sampleNoise(size_t size, uint64_t seed) {
  Random random{seed};
  std::vector<uint8_t> out(size);
  for (auto& b : out) b = static_cast<uint8_t>(random.next() >> 24);
  return out;
}

std::vector<uint8_t> samplePeriodic(size_t size, size_t period, uint64_t seed) {
  const std::vector<uint8_t> unit = sampleNoise(period, seed);
  std::vector<uint8_t> out(size);
  for (size_t i = 0; i < size; ++i) out[i] = unit[i % period];
  return out;
}

}  // namespace testkit
