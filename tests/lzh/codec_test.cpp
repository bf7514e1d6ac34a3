// The decoder through its own interface: a source, a sink and a status. The
// same tests run against the codec with a 64-bit look-ahead and, in a test
// program of their own, with the 32-bit one of the i686 stub (LZH_WORD32):
// both must give the same bytes and the same verdicts.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "lzh/block_decoder.h"
#include "lzh/crc16.h"
#include "support/compress.h"
#include "support/lzh_writer.h"

namespace {

using testkit::BitWriter;
using testkit::BlockSpec;
using testkit::CodeSpec;
using testkit::Token;

struct Result {
  LzhStatus status;
  std::vector<uint8_t> output;
  std::vector<uint32_t> writes;  // sizes handed to the sink
  uint64_t delivered;            // bytes the source delivered
  int64_t produced;
};

struct Source {
  const std::vector<uint8_t>* bytes;
  uint64_t delivered;
};

bool readSource(void* context, uint8_t* buffer, uint32_t count) {
  auto* s = static_cast<Source*>(context);
  if (s->bytes->size() - s->delivered < count) return false;
  std::memcpy(buffer, s->bytes->data() + s->delivered, count);
  s->delivered += count;
  return true;
}

struct Sink {
  Result* result;
  size_t stopAt;  // the sink refuses this write (0: none)
};

bool writeSink(void* context, const uint8_t* data, uint32_t count) {
  auto* s = static_cast<Sink*>(context);
  s->result->writes.push_back(count);
  if (s->result->writes.size() == s->stopAt) return false;
  s->result->output.insert(s->result->output.end(), data, data + count);
  return true;
}

class CodecTest : public ::testing::Test {
 protected:
  // Decodes a member of size bytes whose compressed data is stream (the
  // member claiming compressedSize bytes of it, by default all).
  Result decode(char method, const std::vector<uint8_t>& stream, int64_t size,
                uint64_t compressedSize = UINT64_MAX, size_t stopAt = 0) {
    Result r{};
    Source source{&stream, 0};
    Sink sink{&r, stopAt};
    if (compressedSize == UINT64_MAX) compressedSize = stream.size();
    r.status = decoder->decodeMember(method, LzhSource{readSource, &source}, compressedSize, size,
                                     LzhSink{writeSink, &sink});
    r.delivered = source.delivered;
    r.produced = decoder->producedCount;
    return r;
  }

  std::unique_ptr<LzhBlockDecoder> decoder{new LzhBlockDecoder()};
};

std::vector<uint8_t> sample(size_t size, uint32_t seed, bool repetitive) {
  std::mt19937 random(seed);
  std::vector<uint8_t> out(size);
  for (size_t i = 0; i < size; ++i)
    out[i] = repetitive ? static_cast<uint8_t>("abcab cabbage "[(i / 3 + random() % 3) % 14])
                        : static_cast<uint8_t>(random());
  // Runs of one byte (distance 1) and of short periods (distances 2 to 15).
  for (size_t at = 0; at + 600 < size; at += 5000) {
    std::memset(&out[at], 'z', 300);
    for (size_t k = 0; k < 300; ++k) out[at + 300 + k] = static_cast<uint8_t>("0123456"[k % 7]);
  }
  return out;
}

TEST_F(CodecTest, RoundTripsHandOverWholeWindows) {
  for (char method : {'4', '5', '6', '7'}) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{65535}, size_t{65536}, size_t{200000}}) {
      for (bool repetitive : {false, true}) {
        SCOPED_TRACE(std::string(1, method) + " " + std::to_string(size) +
                     (repetitive ? " repetitive" : " random"));
        const auto data = sample(size, static_cast<uint32_t>(size) + method, repetitive);
        const auto stream = testkit::compress(method, data);
        const Result r = decode(method, stream, static_cast<int64_t>(size));
        ASSERT_EQ(r.status, LZH_OK);
        EXPECT_TRUE(r.output == data);
        EXPECT_EQ(r.produced, static_cast<int64_t>(size));
        EXPECT_EQ(r.delivered, stream.size());
        std::vector<uint32_t> expected(size / WINDOW_SIZE, WINDOW_SIZE);
        if (size % WINDOW_SIZE) expected.push_back(size % WINDOW_SIZE);
        EXPECT_EQ(r.writes, expected);
        EXPECT_EQ(crc16Update(0, r.output.data(), r.output.size()), testkit::crc16(data));
      }
    }
  }
}

// Every failure ends the member with its own status; nothing is handed over
// after it.
TEST_F(CodecTest, FailuresEndTheMemberWithTheirStatus) {
  const auto data = sample(150000, 3, true);
  const auto stream = testkit::compress('6', data);
  Result r = decode('6', stream, static_cast<int64_t>(data.size()), UINT64_MAX, 2);
  EXPECT_EQ(r.status, LZH_STOPPED);
  EXPECT_EQ(r.writes.size(), 2u);

  r = decode('6', stream, static_cast<int64_t>(data.size()), stream.size() + 1);
  EXPECT_EQ(r.status, LZH_READ_FAILED);
  EXPECT_LE(r.delivered, stream.size());

  std::vector<uint8_t> broken = stream;
  broken.resize(stream.size() / 2);
  BitWriter w;  // a block header whose pre-tree is over-full
  w.put(10, 16);
  testkit::writePtLengths(w, {1, 1, 1}, 5, 3);
  const std::vector<uint8_t> header = w.bytes();
  broken.insert(broken.end(), header.begin(), header.end());
  r = decode('6', broken, static_cast<int64_t>(data.size()));
  EXPECT_EQ(r.status, LZH_BROKEN);
}

// Past the data the stream reads as zero bits, 48 of them at most.
TEST_F(CodecTest, OverrunMarginToTheBit) {
  BlockSpec b;
  b.chars = CodeSpec::fromLengths(std::vector<uint8_t>{1, 1});  // byte 0 codes as '0'
  b.tokens = {Token::literal(1)};
  BitWriter probe;
  testkit::writeBlock(probe, b, '5');
  const size_t spare = probe.bytes().size() * 8 + 48 - probe.bitCount();
  for (size_t more : {spare, spare + 1}) {
    SCOPED_TRACE(more);
    b.blockSize = static_cast<long>(1 + more);
    BitWriter w;
    testkit::writeBlock(w, b, '5');
    std::vector<uint8_t> expected(1 + more, 0);
    expected[0] = 1;
    const Result r = decode('5', w.bytes(), static_cast<int64_t>(expected.size()));
    if (more == spare) {
      EXPECT_EQ(r.status, LZH_OK);
      EXPECT_TRUE(r.output == expected);
    } else {
      EXPECT_EQ(r.status, LZH_BROKEN);
      EXPECT_TRUE(r.writes.empty());
    }
  }
}

// What other readers accept is accepted; a lookup in a table without a code
// is not.
TEST_F(CodecTest, CodesThatAreSentButNotUsed) {
  struct Case {
    const char* name;
    std::vector<uint8_t> stream;
    std::vector<uint8_t> output;
    LzhStatus status;
  };
  std::vector<Case> cases;
  for (bool match : {false, true}) {
    BitWriter w;  // position lengths all zero, a match or a literal in use
    w.put(3, 16);
    testkit::writePtSingle(w, 5, 0);
    w.put(0, 9);
    w.put(match ? 256 : 'K', 9);
    testkit::writePtLengths(w, {0, 0, 0}, 5, -1);
    cases.push_back({match ? "empty position code in use" : "empty position code unused", w.bytes(),
                     match ? std::vector<uint8_t>(9, ' ') : std::vector<uint8_t>(3, 'K'),
                     match ? LZH_BROKEN : LZH_OK});
  }
  {
    std::vector<uint8_t> positions(31, 0);  // a count of 31 with lengths past the alphabet
    positions[0] = positions[16] = 1;
    positions[30] = 20;
    BlockSpec b;
    b.positions = CodeSpec::fromLengths(positions);
    b.tokens = {Token::literal('x'), Token::match(3, 1), Token::match(4, 40000)};
    BitWriter w;
    testkit::writeBlock(w, b, '7');
    cases.push_back({"position count 31", w.bytes(), testkit::expandTokens(b.tokens), LZH_OK});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Result r = decode('7', c.stream, static_cast<int64_t>(c.output.size()));
    EXPECT_EQ(r.status, c.status);
    if (c.status == LZH_OK) {
      EXPECT_TRUE(r.output == c.output);
    }
  }
}

// A last match that runs past the member's size is cut there: the sink gets
// exactly the size from the header, also when the match crosses a window end.
TEST_F(CodecTest, LastMatchCutAtTheMemberSize) {
  BlockSpec b;
  b.tokens = {Token::literal('a'), Token::literal('b')};
  for (int i = 0; i < 257; ++i) b.tokens.push_back(Token::match(256, 2));
  BitWriter w;
  testkit::writeBlock(w, b, '5');
  const auto full = testkit::expandTokens(b.tokens);
  for (size_t size : {size_t{100}, size_t{65530}, size_t{65700}}) {
    SCOPED_TRACE(size);
    const Result r = decode('5', w.bytes(), static_cast<int64_t>(size));
    ASSERT_EQ(r.status, LZH_OK);
    EXPECT_TRUE(r.output == std::vector<uint8_t>(full.begin(), full.begin() + size));
  }
}

}  // namespace
