// The compressed-data input: the 16 KiB byte layer that stops at the end of
// the member, and the MSB-first bit reader on top of it.
#include "lzh/bit_input.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "startup/messages.h"
#include "startup/sfx_state.h"
#include "support/guarded_call.h"
#include "support/scripted_host.h"
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

std::string box(int message, const std::string& shownPath) {
  return "\"" + shownPath + "\" " + loadMessage(message);
}

class BitInputTest : public SfxTest {
 protected:
  void TearDown() override {
    if (sfxState.archiveFile != PLATFORM_INVALID_FILE) platformClose(sfxState.archiveFile);
    sfxState.archiveFile = PLATFORM_INVALID_FILE;
    SfxTest::TearDown();
  }

  // Writes fileBytes as the archive and prepares a member of compressedSize
  // bytes at its start, as the driver does before decoding.
  void openMember(const std::vector<uint8_t>& fileBytes, uint64_t compressedSize) {
    archivePath = path("archive.bin");
    testkit::writeFile(archivePath, fileBytes);
    std::strcpy(sfxState.selfPath, archivePath.c_str());
    sfxState.archiveFile = platformOpenRead(sfxState.selfPath);
    ASSERT_NE(sfxState.archiveFile, PLATFORM_INVALID_FILE);
    beginMemberInput(compressedSize);
  }

  // Bytes taken from the file so far.
  off_t filePosition() const {
    return lseek(static_cast<int>(reinterpret_cast<intptr_t>(sfxState.archiveFile)), 0, SEEK_CUR);
  }

  std::vector<uint8_t> readFromFile(uint32_t count) {
    std::vector<uint8_t> out(count);
    uint32_t got = 0;
    EXPECT_TRUE(platformRead(sfxState.archiveFile, out.data(), count, &got));
    out.resize(got);
    return out;
  }

  std::string archivePath;
};

TEST_F(BitInputTest, EmptyMemberReadsNothingAndYieldsZeros) {
  openMember({0xAA, 0xBB, 0xCC}, 0);
  uint16_t afterStart = 0xFFFF, field = 0xFFFF, wide = 0xFFFF;
  EXPECT_TRUE(runGuardedCall([&] {
    startBitInput();
    afterStart = compressedInput.bitBuffer;
    field = getBits(5);
    wide = getBits(16);
  }));
  EXPECT_EQ(afterStart, 0);
  EXPECT_EQ(field, 0);
  EXPECT_EQ(wide, 0);
  EXPECT_EQ(filePosition(), 0);
}

TEST_F(BitInputTest, OneByteMemberFillsTheHighHalf) {
  openMember({0xA5, 0x3C, 0x3C}, 1);
  EXPECT_TRUE(runGuardedCall([] { startBitInput(); }));
  EXPECT_EQ(compressedInput.bitBuffer, 0xA500);
  EXPECT_EQ(compressedInput.pendingBits, 0);
  EXPECT_EQ(filePosition(), 1);
}

// A buffer's worth is one read; one byte more is a second read of one byte,
// and neither touches what follows the member.
TEST_F(BitInputTest, RefillsStopExactlyAtTheMemberEnd) {
  for (size_t size : {size_t{16384}, size_t{16385}}) {
    SCOPED_TRACE(size);
    const auto data = randomBytes(size, static_cast<uint32_t>(size));
    openMember(concat(data, kNext), size);
    std::vector<uint8_t> bytes;
    std::vector<off_t> positions;  // file position after each getBits(8)
    off_t afterStart = -1;
    EXPECT_TRUE(runGuardedCall([&] {
      startBitInput();
      afterStart = filePosition();
      for (size_t i = 0; i < size; ++i) {
        bytes.push_back(static_cast<uint8_t>(getBits(8)));
        positions.push_back(filePosition());
      }
    }));
    EXPECT_EQ(afterStart, 16384);
    EXPECT_TRUE(bytes == data);
    // getBits call k fetches byte k + 2: the 16385th byte (index 16384) is
    // fetched by call 16382, which reads one byte.
    ASSERT_EQ(positions.size(), size);
    EXPECT_EQ(positions[16381], 16384);
    EXPECT_EQ(positions[16382], size == 16385 ? 16385 : 16384);
    EXPECT_EQ(positions.back(), static_cast<off_t>(size));
    EXPECT_EQ(readFromFile(4), kNext);
    platformClose(sfxState.archiveFile);
    sfxState.archiveFile = PLATFORM_INVALID_FILE;
  }
}

TEST_F(BitInputTest, GetBitsOfZeroConsumesNothing) {
  openMember({0x81, 0x42, 0x24}, 3);
  uint16_t zero = 0xFFFF, first = 0, second = 0;
  uint16_t bufferBefore = 0, bufferAfter = 1;
  uint8_t pendingBefore = 0, pendingAfter = 1;
  EXPECT_TRUE(runGuardedCall([&] {
    startBitInput();
    getBits(3);
    bufferBefore = compressedInput.bitBuffer;
    pendingBefore = compressedInput.pendingBits;
    zero = getBits(0);
    bufferAfter = compressedInput.bitBuffer;
    pendingAfter = compressedInput.pendingBits;
    first = getBits(5);
    second = getBits(8);
  }));
  EXPECT_EQ(zero, 0);
  EXPECT_EQ(bufferAfter, bufferBefore);
  EXPECT_EQ(pendingAfter, pendingBefore);
  EXPECT_EQ(first, 0x01);  // the low five bits of 0x81
  EXPECT_EQ(second, 0x42);
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
  std::vector<uint16_t> values;
  EXPECT_TRUE(runGuardedCall([&] {
    startBitInput();
    for (unsigned n : widths) values.push_back(getBits(n));
  }));
  ASSERT_EQ(values.size(), widths.size());
  size_t at = 0;
  for (size_t i = 0; i < widths.size(); ++i) {
    ASSERT_EQ(values[i], bitsAt(data, at, widths[i])) << "field " << i << " of " << widths[i];
    at += widths[i];
  }
}

// Damaged data can ask for up to 20 bits at once; the look-ahead then shows
// the 16 bits after them, from any bit alignment.
TEST_F(BitInputTest, FillBitsAboveSixteen) {
  const auto data = randomBytes(16, 3);
  for (unsigned prefix : {0u, 1u, 3u, 7u, 8u}) {
    for (unsigned n : {16u, 17u, 19u, 20u}) {
      openMember(data, data.size());
      uint16_t shown = 0;
      EXPECT_TRUE(runGuardedCall([&] {
        startBitInput();
        getBits(prefix);
        fillBits(n);
        shown = compressedInput.bitBuffer;
      }));
      EXPECT_EQ(shown, bitsAt(data, prefix + n, 16)) << prefix << " then " << n;
      platformClose(sfxState.archiveFile);
      sfxState.archiveFile = PLATFORM_INVALID_FILE;
    }
  }
}

// The next member starts from its own first byte, even though the previous
// member's last buffer still held bytes that were never handed out.
TEST_F(BitInputTest, ConsecutiveMembersRefillFromTheNewMember) {
  const auto first = randomBytes(100, 1);
  const auto second = randomBytes(50, 2);
  openMember(concat(concat(first, second), kNext), first.size());
  std::vector<uint8_t> bytes;
  uint16_t secondStart = 0;
  EXPECT_TRUE(runGuardedCall([&] {
    startBitInput();
    getBits(8);
    getBits(8);
  }));
  ASSERT_EQ(filePosition(), 100);  // the whole first member sits in the buffer
  beginMemberInput(second.size());
  EXPECT_TRUE(runGuardedCall([&] {
    startBitInput();
    secondStart = compressedInput.bitBuffer;
    for (size_t i = 0; i < second.size(); ++i) bytes.push_back(static_cast<uint8_t>(getBits(8)));
  }));
  EXPECT_EQ(secondStart, second[0] << 8 | second[1]);
  EXPECT_TRUE(bytes == second);
  EXPECT_EQ(readFromFile(4), kNext);
}

struct ShortReadCase {
  const char* name;
  size_t fileSize;
  uint64_t compressedSize;
  size_t goodCalls;  // getBits(8) calls that succeed before the failing fetch
};

TEST_F(BitInputTest, ShortReadShowsReadErrorNamingTheImage) {
  const ShortReadCase cases[] = {
      {"first refill", 10, 20, 0},
      {"second refill", 16384 + 50, 16384 + 100, 16382},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    scriptedHost.reset();
    openMember(randomBytes(c.fileSize, 9), c.compressedSize);
    bool started = false;
    size_t calls = 0;
    EXPECT_FALSE(runGuardedCall([&] {
      startBitInput();
      started = true;
      for (;;) {
        getBits(8);
        ++calls;
      }
    }));
    EXPECT_EQ(started, c.goodCalls > 0);
    EXPECT_EQ(calls, c.goodCalls);
    ASSERT_EQ(scriptedHost.errorBoxes.size(), 1u);
    EXPECT_EQ(scriptedHost.errorBoxes[0].text, box(MSG_READ_ERROR, archivePath));
    platformClose(sfxState.archiveFile);
    sfxState.archiveFile = PLATFORM_INVALID_FILE;
  }
}

// Past the member's data the stream reads as zero bytes, for eight bytes;
// the ninth means the decoder is reading a broken archive.
TEST_F(BitInputTest, OverrunMarginAcceptsEightZeroBytesThenFails) {
  for (size_t size : {size_t{0}, size_t{2}, size_t{5}}) {
    SCOPED_TRACE(size);
    scriptedHost.reset();
    auto data = randomBytes(size, 4);
    for (auto& b : data) b |= 1;  // never zero, unlike the margin
    // What follows the member in the file must not show up in the stream.
    openMember(concat(data, std::vector<uint8_t>(32, 0xFF)), size);
    std::vector<uint8_t> bytes;
    EXPECT_FALSE(runGuardedCall([&] {
      startBitInput();
      for (;;) bytes.push_back(static_cast<uint8_t>(getBits(8)));
    }));
    // startBitInput fetched two bytes ahead: size + 8 fetches in all.
    ASSERT_EQ(bytes.size(), size + 6);
    std::vector<uint8_t> expected = data;
    expected.resize(size + 6, 0);
    EXPECT_TRUE(bytes == expected);
    EXPECT_EQ(filePosition(), static_cast<off_t>(size));
    ASSERT_EQ(scriptedHost.errorBoxes.size(), 1u);
    EXPECT_EQ(scriptedHost.errorBoxes[0].text, box(MSG_ARCHIVE_BROKEN, archivePath));
    platformClose(sfxState.archiveFile);
    sfxState.archiveFile = PLATFORM_INVALID_FILE;
  }
}

}  // namespace
