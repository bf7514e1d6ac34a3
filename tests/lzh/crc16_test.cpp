// CRC-16/ARC: table, check value, the sliced update against the byte-wise
// one, and the process's running value.
#include "lzh/crc16.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "extract/running_crc.h"
#include "startup/sfx_state.h"

namespace {

// Bit-at-a-time CRC of a single byte with the reflected polynomial.
uint16_t bitwiseByteCrc(uint8_t byte) {
  unsigned r = byte;
  for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ 0xA001u : r >> 1;
  return static_cast<uint16_t>(r);
}

uint16_t crcOf(const uint8_t* data, int64_t length) {
  sfxState.runningCrc = 0;
  return addToRunningCrc(data, length);
}

class Crc16Test : public ::testing::Test {
 protected:
  void SetUp() override {
    resetSfxState();
    prepareRunningCrc();
    makeCrcTable(table, CRC16_POLYNOMIAL);
  }
  CrcTable table;
};

TEST_F(Crc16Test, TableMatchesBitwiseReference) {
  const uint16_t* bytes = table.entry[0];
  for (unsigned i = 0; i < 256; ++i)
    EXPECT_EQ(bytes[i], bitwiseByteCrc(static_cast<uint8_t>(i))) << "entry " << i;
  // A few published entries of the CRC-16/ARC table.
  EXPECT_EQ(bytes[0], 0x0000);
  EXPECT_EQ(bytes[1], 0xC0C1);
  EXPECT_EQ(bytes[0x80], 0xA001);
  EXPECT_EQ(bytes[0xFF], 0x4040);
}

TEST_F(Crc16Test, RebuildingTheTableGivesTheSameContents) {
  CrcTable first = table;
  std::memset(&table, 0x5A, sizeof table);
  makeCrcTable(table, CRC16_POLYNOMIAL);
  EXPECT_EQ(std::memcmp(&first, &table, sizeof first), 0);
}

TEST_F(Crc16Test, CheckValueOfTheNineDigits) {
  const auto* digits = reinterpret_cast<const uint8_t*>("123456789");
  EXPECT_EQ(crcOf(digits, 9), 0xBB3D);
  EXPECT_EQ(sfxState.runningCrc, 0xBB3D);
  EXPECT_EQ(updateCrcBytewise(table, 0, digits, 9), 0xBB3D);
  EXPECT_EQ(updateCrcSliced(table, 0, digits, 9), 0xBB3D);
  EXPECT_EQ(crc16Update(0, digits, 9), 0xBB3D);
}

TEST_F(Crc16Test, EmptyAndNegativeLengthsChangeNothing) {
  const uint8_t byte = 0x41;
  EXPECT_EQ(crcOf(&byte, 0), 0);
  EXPECT_EQ(sfxState.runningCrc, 0);
  sfxState.runningCrc = 0x1234;
  EXPECT_EQ(addToRunningCrc(&byte, 0), 0x1234);
  EXPECT_EQ(addToRunningCrc(&byte, -5), 0x1234);
  EXPECT_EQ(sfxState.runningCrc, 0x1234);
}

TEST_F(Crc16Test, SplitFeedingEqualsOneCall) {
  std::mt19937 random(7);
  std::vector<uint8_t> data(5000);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  const uint16_t whole = crcOf(data.data(), static_cast<int64_t>(data.size()));
  // A different value for different data, or the comparison proves little.
  data[4321] ^= 1;
  EXPECT_NE(crcOf(data.data(), static_cast<int64_t>(data.size())), whole);
  data[4321] ^= 1;

  for (size_t piece : {1, 2, 3, 255, 256, 4096, 4999}) {
    sfxState.runningCrc = 0;
    uint16_t result = 0;
    for (size_t at = 0; at < data.size(); at += piece) {
      const size_t n = std::min(piece, data.size() - at);
      result = addToRunningCrc(data.data() + at, static_cast<int64_t>(n));
    }
    EXPECT_EQ(result, whole) << "pieces of " << piece;
  }
}

// Eight bytes at a time, and the folding of long runs, must give what one
// byte at a time gives, for every length around the group sizes, from every
// alignment and start value.
TEST_F(Crc16Test, WideUpdatesEqualBytewise) {
  std::mt19937 random(11);
  std::vector<uint8_t> data(65536 + 300);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  std::vector<size_t> lengths;
  for (size_t length = 0; length <= 300; ++length) lengths.push_back(length);
  for (size_t length : {1000, 4096, 65535, 65536}) lengths.push_back(length);
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t length : lengths) {
      const uint16_t start = static_cast<uint16_t>(random());
      const uint16_t expected = updateCrcBytewise(table, start, data.data() + offset, length);
      ASSERT_EQ(updateCrcSliced(table, start, data.data() + offset, length), expected)
          << "offset " << offset << ", length " << length;
      ASSERT_EQ(updateCrc(table, start, data.data() + offset, length), expected)
          << "offset " << offset << ", length " << length;
    }
  }
}

}  // namespace
