#include "lzh/crc16.h"

#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define LZH_CRC_CARRYLESS 1
#endif

namespace {

constexpr void fillSlices(CrcTable& table, uint16_t polynomial, int slices) {
  for (unsigned i = 0; i < 256; ++i) {
    unsigned r = i;
    for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ polynomial : r >> 1;
    table.entry[0][i] = static_cast<uint16_t>(r);
  }
  for (int slice = 1; slice < slices; ++slice) {
    for (unsigned i = 0; i < 256; ++i) {
      const unsigned previous = table.entry[slice - 1][i];
      table.entry[slice][i] =
          static_cast<uint16_t>((previous >> 8) ^ table.entry[0][previous & 0xFF]);
    }
  }
}

constexpr CrcTable buildTable(uint16_t polynomial) {
  CrcTable table{};
  fillSlices(table, polynomial, CRC_SLICES);
  return table;
}

// Read-only: built by the compiler.
constexpr CrcTable kArcTable = buildTable(CRC16_POLYNOMIAL);

}  // namespace

void makeCrcTable(CrcTable& table, uint16_t polynomial) {
  fillSlices(table, polynomial, CRC_SLICES);
}

uint16_t updateCrcBytewise(const CrcTable& table, uint16_t crc, const uint8_t* data,
                           size_t length) {
  const uint16_t* t = table.entry[0];
  for (size_t i = 0; i < length; ++i) crc = t[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

uint16_t updateCrcSliced(const CrcTable& table, uint16_t crc, const uint8_t* data, size_t length) {
  const auto& t = table.entry;
  // The running value only meets the first two bytes of each group of
  // eight; the other six enter through the slices for their distance from
  // the group's end.
  for (; length >= 8; data += 8, length -= 8) {
    uint32_t low, high;
    std::memcpy(&low, data, 4);
    std::memcpy(&high, data + 4, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    low = __builtin_bswap32(low);
    high = __builtin_bswap32(high);
#endif
    low ^= crc;
    crc = static_cast<uint16_t>(t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^
                                t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^ t[3][high & 0xFF] ^
                                t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^
                                t[0][high >> 24]);
  }
  return updateCrcBytewise(table, crc, data, length);
}

#if defined(LZH_CRC_CARRYLESS)
namespace {

// Carry-less multiplication folds the data 64 bytes at a time into four
// 16-byte remainders, then those into one, which the table finishes. With
// the bytes of a block loaded little-endian, bit k stands for x^(127-k) of
// the block's polynomial: the first 8 bytes (low half) are its high part.
// Folding a block across n bits multiplies its high half by x^(n+64) and its
// low half by x^n modulo the polynomial; the constants below are those
// residues times x^-1 (the product of two such 64-bit halves comes out one
// bit short of the block's bit order), each a 16-bit residue in reflected
// order at the top of its 64 bits.
constexpr long long FOLD_128_HIGH = static_cast<long long>(0xCCD0000000000000ull);  // x^191
constexpr long long FOLD_128_LOW = static_cast<long long>(0xC100000000000000ull);   // x^127
constexpr long long FOLD_512_HIGH = static_cast<long long>(0xC450000000000000ull);  // x^575
constexpr long long FOLD_512_LOW = static_cast<long long>(0x8101000000000000ull);   // x^511

__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i x, __m128i next,
                                                           __m128i constants) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, constants, 0x00),
                                     _mm_clmulepi64_si128(x, constants, 0x11)),
                       next);
}

__attribute__((target("pclmul,sse2"))) uint16_t updateCrcCarryless(const CrcTable& table,
                                                                   uint16_t crc,
                                                                   const uint8_t* data,
                                                                   size_t length) {
  auto load = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  const __m128i by128 = _mm_set_epi64x(FOLD_128_LOW, FOLD_128_HIGH);
  const __m128i by512 = _mm_set_epi64x(FOLD_512_LOW, FOLD_512_HIGH);
  // The running value enters as the first two bytes, as in the table update.
  __m128i x0 = _mm_xor_si128(load(data), _mm_cvtsi32_si128(crc));
  __m128i x1 = load(data + 16);
  __m128i x2 = load(data + 32);
  __m128i x3 = load(data + 48);
  data += 64;
  length -= 64;
  for (; length >= 64; data += 64, length -= 64) {
    x0 = fold(x0, load(data), by512);
    x1 = fold(x1, load(data + 16), by512);
    x2 = fold(x2, load(data + 32), by512);
    x3 = fold(x3, load(data + 48), by512);
  }
  __m128i x = fold(fold(fold(x0, x1, by128), x2, by128), x3, by128);
  for (; length >= 16; data += 16, length -= 16) x = fold(x, load(data), by128);
  uint8_t rest[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(rest), x);
  return updateCrcSliced(table, updateCrcSliced(table, 0, rest, 16), data, length);
}

}  // namespace
#endif

#if defined(LZH_CRC_CARRYLESS)
namespace {

// Asked of the processor itself, once: the stub has no C runtime to set up
// the compiler's own record of the processor's features. 0: not asked yet.
int carrylessState;

bool hasCarryless() {
  if (carrylessState == 0) {
    unsigned a, b, c, d;
    carrylessState = __get_cpuid(1, &a, &b, &c, &d) && (c & bit_PCLMUL) ? 1 : -1;
  }
  return carrylessState > 0;
}

}  // namespace
#endif

uint16_t updateCrc(const CrcTable& table, uint16_t crc, const uint8_t* data, size_t length) {
#if defined(LZH_CRC_CARRYLESS)
  if (length >= 64 && hasCarryless()) return updateCrcCarryless(table, crc, data, length);
#endif
  return updateCrcSliced(table, crc, data, length);
}

uint16_t crc16Update(uint16_t crc, const uint8_t* data, size_t length) {
  return updateCrc(kArcTable, crc, data, length);
}
