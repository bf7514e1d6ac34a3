// The compressed-data input: reads from the source that stop at the end of
// the member, and the MSB-first bit reader on top of them.
#include "lzh/bit_input.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/platform_posix.h"
#include "support/sfx_fixture.h"

namespace {

const std::vector<uint8_t> kNext = {'N', 'E', 'X', 'T'};

std::vector<uint8_t> randomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> out(size);
  for (auto& b : out) b = static_cast<uint8_t>(random());
  return out;
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// n bits of data starting at bit index `bit`, MSB first; zeros past the end.
uint32_t bitsAt(const std::vector<uint8_t>& data, size_t bit, unsigned n) {
  uint32_t value = 0;
  for (unsigned k = 0; k < n; ++k) {
    const size_t at = bit + k;
    const unsigned b = at / 8 < data.size() ? (data[at / 8] >> (7 - at % 8)) & 1 : 0;
    value = value << 1 | b;
  }
  return value;
}

bool readFile(void* context, uint8_t* buffer, uint32_t count) {
  uint32_t got = 0;
  return platformRead(*static_cast<FileHandle*>(context), buffer, count, &got) && got == count;
}

class BitInputTest : public SfxTest {
 protected:
  void TearDown() override {
    closeFile();
    SfxTest::TearDown();
  }
  void closeFile() {
    if (file != PLATFORM_INVALID_FILE) platformClose(file);
    file = PLATFORM_INVALID_FILE;
  }

  // Writes fileBytes as the archive and begins a member of compressedSize
  // bytes at its start.
  void openMember(const std::vector<uint8_t>& fileBytes, uint64_t compressedSize) {
    closeFile();
    const std::string archivePath = path("archive.bin");
    testkit::writeFile(archivePath, fileBytes);
    file = platformOpenRead(archivePath.c_str());
    ASSERT_NE(file, PLATFORM_INVALID_FILE);
    in.beginInput(LzhSource{readFile, &file}, compressedSize);
  }

  // Bytes taken from the file so far.
  off_t filePosition() const { return posixReadPosition(file); }

  std::vector<uint8_t> readFromFile(uint32_t count) {
    std::vector<uint8_t> out(count);
    uint32_t got = 0;
    EXPECT_TRUE(platformRead(file, out.data(), count, &got));
    out.resize(got);
    return out;
  }

  FileHandle file = PLATFORM_INVALID_FILE;
  std::unique_ptr<BitInput> owner{new BitInput()};
  BitInput& in = *owner;
};

TEST_F(BitInputTest, EmptyMemberReadsNothingAndYieldsZeros) {
  openMember({0xAA, 0xBB, 0xCC}, 0);
  in.startBitInput();
  EXPECT_EQ(in.lookahead16(), 0);
  EXPECT_EQ(in.getBits(5), 0u);
  EXPECT_EQ(in.getBits(16), 0u);
  EXPECT_EQ(in.status, LZH_OK);
  EXPECT_EQ(filePosition(), 0);
}

TEST_F(BitInputTest, OneByteMemberFillsTheHighHalf) {
  openMember({0xA5, 0x3C, 0x3C}, 1);
  in.startBitInput();
  EXPECT_EQ(in.lookahead16(), 0xA500);
  EXPECT_EQ(filePosition(), 1);
}

// A buffer's worth is one read; one byte more is a second read of one byte,
// made only when the first buffer is nearly used up, and neither touches
// what follows the member.
TEST_F(BitInputTest, RefillsStopExactlyAtTheMemberEnd) {
  for (size_t size : {size_t{16384}, size_t{16385}}) {
    SCOPED_TRACE(size);
    const auto data = randomBytes(size, static_cast<uint32_t>(size));
    openMember(concat(data, kNext), size);
    std::vector<uint8_t> bytes;
    std::vector<off_t> positions;  // file position after each getBits(8)
    in.startBitInput();
    const off_t afterStart = filePosition();
    for (size_t i = 0; i < size; ++i) {
      bytes.push_back(static_cast<uint8_t>(in.getBits(8)));
      positions.push_back(filePosition());
    }
    EXPECT_EQ(in.status, LZH_OK);
    EXPECT_EQ(afterStart, 16384);
    EXPECT_TRUE(bytes == data);
    ASSERT_EQ(positions.size(), size);
    // The second read comes with the buffer's last word: not before the
    // 16376th byte has been handed out.
    EXPECT_EQ(positions[16375], 16384);
    EXPECT_EQ(positions.back(), static_cast<off_t>(size));
    EXPECT_EQ(readFromFile(4), kNext);
  }
}

TEST_F(BitInputTest, GetBitsOfZeroConsumesNothing) {
  openMember({0x81, 0x42, 0x24}, 3);
  in.startBitInput();
  in.getBits(3);
  const uint16_t before = in.lookahead16();
  EXPECT_EQ(in.getBits(0), 0u);
  EXPECT_EQ(in.lookahead16(), before);
  EXPECT_EQ(in.getBits(5), 0x01u);  // the low five bits of 0x81
  EXPECT_EQ(in.getBits(8), 0x42u);
}

TEST_F(BitInputTest, RandomFieldWidthsFollowTheStream) {
  const auto data = randomBytes(3000, 11);
  openMember(data, data.size());
  std::mt19937 random(5);
  std::vector<unsigned> widths;
  size_t bits = 0;
  while (bits + 16 < data.size() * 8) {
    widths.push_back(random() % 17);
    bits += widths.back();
  }
  in.startBitInput();
  size_t at = 0;
  for (size_t i = 0; i < widths.size(); ++i) {
    ASSERT_EQ(in.getBits(widths[i]), bitsAt(data, at, widths[i]))
        << "field " << i << " of " << widths[i];
    at += widths[i];
  }
  EXPECT_EQ(in.status, LZH_OK);
}

// Damaged data can ask for up to 20 bits at once; the look-ahead then shows
// the 16 bits after them, from any bit alignment.
TEST_F(BitInputTest, FillBitsAboveSixteen) {
  const auto data = randomBytes(16, 3);
  for (unsigned prefix : {0u, 1u, 3u, 7u, 8u}) {
    for (unsigned n : {16u, 17u, 19u, 20u}) {
      openMember(data, data.size());
      in.startBitInput();
      in.getBits(prefix);
      in.fillBits(n);
      EXPECT_EQ(in.lookahead16(), bitsAt(data, prefix + n, 16)) << prefix << " then " << n;
    }
  }
}

// The next member starts from its own first byte, even though the previous
// member's last buffer still held bytes that were never handed out.
TEST_F(BitInputTest, ConsecutiveMembersRefillFromTheNewMember) {
  const auto first = randomBytes(100, 1);
  const auto second = randomBytes(50, 2);
  openMember(concat(concat(first, second), kNext), first.size());
  in.startBitInput();
  in.getBits(8);
  in.getBits(8);
  ASSERT_EQ(filePosition(), 100);  // the whole first member sits in the buffer
  in.beginInput(LzhSource{readFile, &file}, second.size());
  in.startBitInput();
  EXPECT_EQ(in.lookahead16(), second[0] << 8 | second[1]);
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < second.size(); ++i) bytes.push_back(static_cast<uint8_t>(in.getBits(8)));
  EXPECT_TRUE(bytes == second);
  EXPECT_EQ(in.status, LZH_OK);
  EXPECT_EQ(readFromFile(4), kNext);
}

struct ShortReadCase {
  const char* name;
  size_t fileSize;
  uint64_t compressedSize;
  size_t goodCalls;  // getBits(8) calls that a byte-at-a-time reader completes
};

// A short read fails the input; the bytes before the failing read were all
// delivered (but for the last word of the buffer, which the wider reader
// asks the next read for).
TEST_F(BitInputTest, ShortReadFailsTheInput) {
  const ShortReadCase cases[] = {
      {"first refill", 10, 20, 0},
      {"second refill", 16384 + 50, 16384 + 100, 16382},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto data = randomBytes(c.fileSize, 9);
    openMember(data, c.compressedSize);
    in.startBitInput();
    size_t calls = 0;
    while (in.status == LZH_OK && calls < c.compressedSize) {
      ASSERT_EQ(in.getBits(8), data[calls]);
      ++calls;
    }
    EXPECT_EQ(in.status, LZH_READ_FAILED);
    EXPECT_LE(calls, c.goodCalls);
    EXPECT_GE(calls + sizeof(BitWord), c.goodCalls);
  }
}

// Past the member's data the stream reads as zero bytes, for eight bytes
// fetched by a 16-bit look-ahead, that is 48 bits consumed beyond the last
// byte; one bit more means the decoder is reading a broken archive.
TEST_F(BitInputTest, OverrunMarginAcceptsEightZeroBytesThenFails) {
  for (size_t size : {size_t{0}, size_t{2}, size_t{5}}) {
    SCOPED_TRACE(size);
    auto data = randomBytes(size, 4);
    for (auto& b : data) b |= 1;  // never zero, unlike the margin
    // What follows the member in the file must not show up in the stream.
    openMember(concat(data, std::vector<uint8_t>(32, 0xFF)), size);
    in.startBitInput();
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < size + 6; ++i) {
      bytes.push_back(static_cast<uint8_t>(in.getBits(8)));
      ASSERT_TRUE(in.withinMargin()) << "after byte " << i;
    }
    std::vector<uint8_t> expected = data;
    expected.resize(size + 6, 0);
    EXPECT_TRUE(bytes == expected);
    EXPECT_EQ(in.status, LZH_OK);
    in.getBits(1);
    EXPECT_FALSE(in.withinMargin());
    for (int i = 0; i < 64 && in.status == LZH_OK; ++i) in.getBits(8);
    EXPECT_EQ(in.status, LZH_BROKEN);
    EXPECT_EQ(filePosition(), static_cast<off_t>(size));
  }
}

}  // namespace
