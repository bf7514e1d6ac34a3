// Match finders of the encoder over its input buffer: hash chains for the
// greedy and lazy levels, binary trees for the levels that parse by cost.
//
// Positions are absolute 32-bit numbers (buffer index + the buffer's base),
// so sliding the buffer touches no table. Both finders keep their links in
// rings of 64 KiB slots indexed by position; a candidate is followed only
// while its distance is within the caller's maxDistance (at most 65535), so
// a slot is never read after a newer position has reused it. Stale entries
// (from an earlier member, which the encoder places at least 64 KiB lower,
// or zero) always lie beyond that distance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

constexpr uint32_t LZ_MIN_MATCH = 3;
constexpr uint32_t LZ_MAX_MATCH = 256;
constexpr uint32_t LZ_RING_SIZE = 65536;
constexpr uint32_t LZ_RING_MASK = LZ_RING_SIZE - 1;
// The longest distance any finder reports: one less than the ring.
constexpr uint32_t LZ_MAX_DISTANCE = LZ_RING_SIZE - 1;

inline uint32_t loadLe32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Length of the common prefix of a and b, from start (already known to
// match) up to limit.
inline uint32_t matchLength(const uint8_t* a, const uint8_t* b, uint32_t start, uint32_t limit) {
  uint32_t len = start;
  while (len + 8 <= limit) {
    uint64_t x, y;
    std::memcpy(&x, a + len, 8);
    std::memcpy(&y, b + len, 8);
    if (x != y) return len + static_cast<uint32_t>(__builtin_ctzll(x ^ y) >> 3);
    len += 8;
  }
  while (len < limit && a[len] == b[len]) ++len;
  return len;
}

// One match: its length and its distance (1 = the byte before).
struct LzMatch {
  uint16_t length;
  uint16_t distance;
};

class HashChainFinder {
 public:
  static constexpr int HASH4_BITS = 16;
  static constexpr int HASH3_BITS = 14;

  HashChainFinder()
      : head4_(new uint32_t[1u << HASH4_BITS]()),
        head3_(new uint32_t[1u << HASH3_BITS]()),
        prev_(new uint32_t[LZ_RING_SIZE]()) {}

  // Subtracts delta from every stored position (those below it become 0).
  void rebase(uint32_t delta);

  // Enters the position whose bytes start at p (4 bytes readable).
  void insert(const uint8_t* p, uint32_t pos) {
    const uint32_t v = loadLe32(p);
    const uint32_t h4 = hash4(v);
    prev_[pos & LZ_RING_MASK] = head4_[h4];
    head4_[h4] = pos;
    head3_[hash3(v)] = pos;
  }

  // Enters the position and returns the length of its longest match (0 when
  // there is none of at least 3 bytes), its distance in *distance. maxLength
  // is at least 4 and that many bytes are readable at p; the search stops at
  // niceLength (<= maxLength) or after depth chain links.
  uint32_t find(const uint8_t* p, uint32_t pos, uint32_t maxLength, uint32_t niceLength,
                uint32_t depth, uint32_t maxDistance, uint32_t* distance) {
    const uint32_t v = loadLe32(p);
    const uint32_t h4 = hash4(v);
    const uint32_t h3 = hash3(v);
    uint32_t candidate = head4_[h4];
    const uint32_t candidate3 = head3_[h3];
    prev_[pos & LZ_RING_MASK] = candidate;
    head4_[h4] = pos;
    head3_[h3] = pos;

    uint32_t best = 0;
    // The most recent position with the same 3-byte hash: the nearest
    // 3-byte match, which the 4-byte chains cannot see.
    uint32_t d = pos - candidate3;
    if (d - 1 < maxDistance && ((loadLe32(p - d) ^ v) & 0xFFFFFF) == 0) {
      best = matchLength(p - d, p, 3, maxLength);
      *distance = d;
      if (best >= niceLength) return best;
    }
    for (;;) {
      d = pos - candidate;
      if (d - 1 >= maxDistance) break;
      const uint8_t* m = p - d;
      // Cheap rejection first: a longer match must agree at index best.
      if (best < 4 ? loadLe32(m) == v
                   : loadLe32(m + best - 3) == loadLe32(p + best - 3) && loadLe32(m) == v) {
        const uint32_t len = matchLength(m, p, 4, maxLength);
        if (len > best) {
          best = len;
          *distance = d;
          if (len >= niceLength) break;
        }
      }
      if (--depth == 0) break;
      candidate = prev_[candidate & LZ_RING_MASK];
    }
    return best;
  }

 private:
  static uint32_t hash4(uint32_t v) { return (v * 0x9E3779B1u) >> (32 - HASH4_BITS); }
  static uint32_t hash3(uint32_t v) { return ((v & 0xFFFFFF) * 0x9E3779B1u) >> (32 - HASH3_BITS); }

  std::unique_ptr<uint32_t[]> head4_;
  std::unique_ptr<uint32_t[]> head3_;
  std::unique_ptr<uint32_t[]> prev_;
};

// Binary trees of the earlier positions per 4-byte hash, ordered by the bytes
// that follow them; every step down the tree both searches and re-links the
// tree under the new position, which becomes the root. Matches come out with
// strictly increasing lengths, each found at the nearest place the walk met.
class BinaryTreeFinder {
 public:
  static constexpr int HASH4_BITS = 16;
  static constexpr int HASH3_BITS = 14;

  BinaryTreeFinder()
      : head4_(new uint32_t[1u << HASH4_BITS]()),
        head3_(new uint32_t[1u << HASH3_BITS]()),
        left_(new uint32_t[LZ_RING_SIZE]()),
        right_(new uint32_t[LZ_RING_SIZE]()) {}

  void rebase(uint32_t delta);

  // Enters the position (maxLength >= 4 bytes readable at p). With Record,
  // stores its matches of 3 or more bytes in out (at most maxMatches, the
  // longest kept when there are more) and returns how many; otherwise only
  // the tree is updated and 0 is returned. niceLength <= maxLength.
  template <bool Record>
  uint32_t advance(const uint8_t* p, uint32_t pos, uint32_t maxLength, uint32_t niceLength,
                   uint32_t depth, uint32_t maxDistance, LzMatch* out, uint32_t maxMatches) {
    const uint32_t v = loadLe32(p);
    const uint32_t h4 = hash4(v);
    const uint32_t h3 = hash3(v);
    uint32_t candidate = head4_[h4];
    const uint32_t candidate3 = head3_[h3];
    head4_[h4] = pos;
    head3_[h3] = pos;

    uint32_t count = 0;
    uint32_t best = 3;
    if (Record) {
      const uint32_t d = pos - candidate3;
      if (d - 1 < maxDistance && ((loadLe32(p - d) ^ v) & 0xFFFFFF) == 0) {
        best = matchLength(p - d, p, 3, maxLength);
        out[count++] = LzMatch{static_cast<uint16_t>(best), static_cast<uint16_t>(d)};
      }
    }

    // Slots still to be filled: the place for the next smaller and the next
    // greater node under the new root.
    uint32_t* pendingSmaller = &left_[pos & LZ_RING_MASK];
    uint32_t* pendingGreater = &right_[pos & LZ_RING_MASK];
    uint32_t lenSmaller = 0, lenGreater = 0;
    for (;;) {
      const uint32_t d = pos - candidate;
      if (d - 1 >= maxDistance || depth-- == 0) {
        *pendingSmaller = 0;
        *pendingGreater = 0;
        break;
      }
      const uint8_t* m = p - d;
      // Everything below this node shares at least the shorter of the two
      // bounds' prefixes with p.
      uint32_t len = lenSmaller < lenGreater ? lenSmaller : lenGreater;
      if (m[len] == p[len]) {
        len = matchLength(m, p, len + 1, maxLength);
        if (Record && len > best) {
          best = len;
          if (count == maxMatches) --count;
          out[count++] = LzMatch{static_cast<uint16_t>(len), static_cast<uint16_t>(d)};
        }
        if (len >= niceLength) {
          // p takes the node's place, and its subtrees.
          *pendingSmaller = left_[candidate & LZ_RING_MASK];
          *pendingGreater = right_[candidate & LZ_RING_MASK];
          break;
        }
      }
      if (m[len] < p[len]) {
        *pendingSmaller = candidate;
        pendingSmaller = &right_[candidate & LZ_RING_MASK];
        candidate = *pendingSmaller;
        lenSmaller = len;
      } else {
        *pendingGreater = candidate;
        pendingGreater = &left_[candidate & LZ_RING_MASK];
        candidate = *pendingGreater;
        lenGreater = len;
      }
    }
    return count;
  }

 private:
  static uint32_t hash4(uint32_t v) { return (v * 0x9E3779B1u) >> (32 - HASH4_BITS); }
  static uint32_t hash3(uint32_t v) { return ((v & 0xFFFFFF) * 0x9E3779B1u) >> (32 - HASH3_BITS); }

  std::unique_ptr<uint32_t[]> head4_;
  std::unique_ptr<uint32_t[]> head3_;
  std::unique_ptr<uint32_t[]> left_;
  std::unique_ptr<uint32_t[]> right_;
};
