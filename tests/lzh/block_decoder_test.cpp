// The static-Huffman block decoder of -lh4- to -lh7-: hand-built streams for
// the corners of the block format, hostile streams on both sides of every
// bound, and round trips through the program's encoder and through blocks of
// every size.
#include "lzh/block_decoder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "extract/member_data.h"
#include "extract/running_crc.h"
#include "lzh/crc16.h"
#include "lzh/huffman_table.h"
#include "platform/posix/platform_posix.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"
#include "support/archive_builder.h"
#include "support/compress.h"
#include "support/lzh_writer.h"
#include "support/scripted_host.h"
#include "support/sfx_fixture.h"

using testkit::BitWriter;
using testkit::BlockSpec;
using testkit::CodeSpec;
using testkit::PreTreeItem;
using testkit::Token;

namespace {

const char kMethods[] = {'4', '5', '6', '7'};

std::vector<uint8_t> randomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> out(size);
  for (auto& b : out) b = static_cast<uint8_t>(random());
  return out;
}

// Text-like bytes with plenty of repeats, plus long runs of one byte.
std::vector<uint8_t> repetitive(size_t size, uint32_t seed) {
  std::vector<uint8_t> out(size);
  uint32_t x = seed;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    if (i % 5000 < 700)
      out[i] = static_cast<uint8_t>('0' + (i / 5000) % 10);
    else
      out[i] = static_cast<uint8_t>((i % 97 < 60) ? 'a' + (i / 7 + (x >> 28)) % 20 : x >> 24);
  }
  return out;
}

std::vector<Token> literals(const std::vector<uint8_t>& bytes) {
  std::vector<Token> out;
  for (uint8_t b : bytes) out.push_back(Token::literal(b));
  return out;
}

std::vector<Token> operator+(std::vector<Token> a, const std::vector<Token>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<uint8_t> encodeBlocks(char method, const std::vector<BlockSpec>& blocks) {
  BitWriter w;
  for (const auto& b : blocks) testkit::writeBlock(w, b, method);
  return w.bytes();
}

// Tokens as blocks of at most perBlock codes, codes chosen per block.
std::vector<uint8_t> tokenBlocks(char method, const std::vector<Token>& tokens,
                                 size_t perBlock = 65536) {
  BitWriter w;
  testkit::writeBlocks(w, tokens, method, perBlock);
  return w.bytes();
}

// Literals and matches of every length at distances up to the window, as a
// parser could choose them.
std::vector<Token> mixedTokens(size_t count, char method, uint32_t seed) {
  std::mt19937 random(seed);
  const size_t window = testkit::lhMethod(method).maxDistanceField + 1;
  std::vector<Token> out;
  size_t produced = 0;
  while (out.size() < count) {
    if (produced < 3 || random() % 3 == 0) {
      out.push_back(Token::literal(static_cast<uint8_t>('a' + random() % 8)));
      ++produced;
      continue;
    }
    const unsigned length = 3 + random() % 254;
    out.push_back(
        Token::match(length, static_cast<uint32_t>(1 + random() % std::min(produced, window))));
    produced += length;
  }
  return out;
}

unsigned positionBits(char method) { return testkit::lhMethod(method).positionCountBits; }

void putCharSingle(BitWriter& w, unsigned symbol) {
  w.put(0, 9);
  w.put(symbol, 9);
}

std::string box(int message, const std::string& shownPath) {
  return "\"" + shownPath + "\" " + loadMessage(message);
}

struct Decoded {
  bool ok = false;
  std::vector<uint8_t> output;
  uint16_t crc = 0;
  off_t consumed = 0;  // bytes taken from the archive file
};

class BlockDecoderTest : public SfxTest {
 protected:
  // Decodes stream as the data of a member of `size` bytes, the way the
  // driver sets it up; the output goes to a real file.
  Decoded decode(char method, const std::vector<uint8_t>& stream, uint64_t size) {
    // Bytes after the member must never be read.
    std::vector<uint8_t> file = stream;
    file.insert(file.end(), 64, 0xEE);
    return decodeFile(method, file, stream.size(), size);
  }

  // Decodes the member of compressedSize bytes at the start of file.
  Decoded decodeFile(char method, const std::vector<uint8_t>& file, uint64_t compressedSize,
                     uint64_t size) {
    Decoded r;
    const std::string input = path("member.lzh");
    const std::string output = path("member.out");
    testkit::writeFile(input, file);
    std::strcpy(sfxState.selfPath, input.c_str());
    std::strcpy(sfxState.currentPath, output.c_str());
    sfxState.archiveFile = platformOpenRead(input.c_str());
    sfxState.outputFile = platformCreateOutput(output.c_str());
    EXPECT_NE(sfxState.archiveFile, PLATFORM_INVALID_FILE);
    EXPECT_NE(sfxState.outputFile, PLATFORM_INVALID_FILE);
    prepareRunningCrc();
    beginMemberInput(compressedSize);
    sfxState.entry = EntryHeader{};
    sfxState.entry.method = method;
    sfxState.entry.uncompressedSize = size;
    sfxState.progress = ProgressCounter{0, size, 0};
    r.ok = decodeCompressedMember();
    r.consumed = posixReadPosition(sfxState.archiveFile);
    r.crc = sfxState.runningCrc;
    platformClose(sfxState.archiveFile);
    platformClose(sfxState.outputFile);
    sfxState.archiveFile = sfxState.outputFile = PLATFORM_INVALID_FILE;
    r.output = testkit::readFile(output);
    return r;
  }

  void expectDecodes(char method, const std::vector<uint8_t>& stream,
                     const std::vector<uint8_t>& expected) {
    SCOPED_TRACE(std::string("method ") + method);
    const Decoded r = decode(method, stream, expected.size());
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.output.size(), expected.size());
    EXPECT_TRUE(r.output == expected);
    EXPECT_EQ(r.crc, testkit::crc16(expected));
    EXPECT_LE(r.consumed, static_cast<off_t>(stream.size()));
    EXPECT_TRUE(scriptedHost.errorBoxes.empty());
  }

  void expectBroken(const Decoded& r) {
    EXPECT_FALSE(r.ok);
    ASSERT_EQ(scriptedHost.errorBoxes.size(), 1u);
    EXPECT_EQ(scriptedHost.errorBoxes[0].text, box(MSG_ARCHIVE_BROKEN, sfxState.selfPath));
  }
};

// ---------------------------------------------------------------------------
// Corners of the block format

TEST_F(BlockDecoderTest, SingleSymbolCharacterCodeConsumesNoBits) {
  for (char method : kMethods) {
    BlockSpec first;
    first.chars = CodeSpec::singleSymbol('Z');
    first.positions = CodeSpec::singleSymbol(0);
    first.tokens = literals(std::vector<uint8_t>(1000, 'Z'));
    BlockSpec second;
    second.tokens = literals({'Y', 'Y', 'Y', 'Y', 'Y'});
    second.chars = CodeSpec::singleSymbol('Y');
    // If the constant code cost bits, the second block header would be
    // misread from the first block's bits.
    std::vector<uint8_t> expected(1000, 'Z');
    expected.insert(expected.end(), 5, 'Y');
    expectDecodes(method, encodeBlocks(method, {first, second}), expected);
  }
}

TEST_F(BlockDecoderTest, SingleSymbolPositionCodeStillReadsItsExtraBits) {
  for (char method : kMethods) {
    BlockSpec b;
    b.positions = CodeSpec::singleSymbol(3);  // distance fields 4..7, two extra bits
    b.tokens = literals({'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}) +
               std::vector<Token>{Token::match(3, 5), Token::match(4, 8), Token::literal('z'),
                                  Token::match(5, 6), Token::match(3, 7)};
    expectDecodes(method, encodeBlocks(method, {b}), testkit::expandTokens(b.tokens));
  }
}

TEST_F(BlockDecoderTest, BlockSizeZeroMeans65536Codes) {
  std::vector<uint8_t> bits = randomBytes(65536, 3);
  for (auto& b : bits) b = (b & 1) ? 'x' : 'o';
  BlockSpec big;
  big.tokens = literals(bits);  // 65536 codes: the size field is written as 0
  BlockSpec tail;
  tail.tokens = literals({'e', 'n', 'd'});
  std::vector<uint8_t> expected = bits;
  expected.insert(expected.end(), {'e', 'n', 'd'});
  expectDecodes('5', encodeBlocks('5', {big, tail}), expected);
}

TEST_F(BlockDecoderTest, DistanceFieldZeroRepeatsTheLastByte) {
  for (char method : kMethods) {
    BlockSpec b;
    b.tokens = {Token::literal('A'), Token::match(5, 1)};
    expectDecodes(method, encodeBlocks(method, {b}), {'A', 'A', 'A', 'A', 'A', 'A'});
  }
}

// Nothing carries over from the previous member: the window starts as spaces.
TEST_F(BlockDecoderTest, MatchesBeforeTheMemberStartCopySpaces) {
  for (char method : kMethods) {
    BlockSpec fill;
    fill.tokens = {Token::literal('Q'), Token::match(256, 1), Token::match(256, 1)};
    expectDecodes(method, encodeBlocks(method, {fill}), std::vector<uint8_t>(513, 'Q'));

    BlockSpec b;
    const uint32_t far = method == '4' ? 4096 : method == '5' ? 8192 : 65536;
    b.tokens = {Token::match(4, 100), Token::literal('x'), Token::match(3, 2),
                Token::match(6, far)};
    const std::vector<uint8_t> expected = {' ', ' ', ' ', ' ', 'x', ' ', 'x',
                                           ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    ASSERT_EQ(testkit::expandTokens(b.tokens), expected);
    expectDecodes(method, encodeBlocks(method, {b}), expected);
  }
}

// Output leaves in whole windows: 65536 bytes are one write, 65537 are two.
TEST_F(BlockDecoderTest, WindowSizedOutputIsWrittenInWholeWindows) {
  struct Case {
    size_t size;
    unsigned writes;
    std::vector<int> progress;
  };
  const Case cases[] = {{65536, 1, {100}}, {65537, 2, {99, 100}}, {65535, 1, {100}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const auto data = repetitive(c.size, 5);
    // Literals only: no match crossing the window end counts ahead.
    const auto stream = tokenBlocks('6', literals(data));
    // Exactly `writes` write calls: the next one would fail, this one does.
    scriptedHost.reset();
    posixFailWriteAfter = c.writes + 1;
    expectDecodes('6', stream, data);
    EXPECT_EQ(scriptedHost.progress, c.progress);

    scriptedHost.reset();
    posixFailWriteAfter = c.writes;
    const Decoded r = decode('6', stream, data.size());
    EXPECT_FALSE(r.ok);
    ASSERT_EQ(scriptedHost.errorBoxes.size(), 1u);
    EXPECT_EQ(scriptedHost.errorBoxes[0].text, box(MSG_WRITE_ERROR, path("member.out")));
    posixFailWriteAfter = 0;
  }
}

TEST_F(BlockDecoderTest, MatchesAcrossTheWindowEnd) {
  std::vector<uint8_t> body(65530);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 7 % 251);
  // The first match is split by the flush; the second one's source wraps
  // from index 65535 to 0 as well.
  const auto tokens = literals(body) + std::vector<Token>{Token::match(20, 1000)} +
                      literals({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}) +
                      std::vector<Token>{Token::match(40, 30), Token::match(256, 4000)};
  for (char method : kMethods) {
    scriptedHost.reset();
    expectDecodes(method, tokenBlocks(method, tokens, 30000), testkit::expandTokens(tokens));
    EXPECT_EQ(scriptedHost.progress.size(), 2u);
  }
}

TEST_F(BlockDecoderTest, Lh6PositionCountSixteenAndSeventeen) {
  // 70000 bytes of history in two blocks, then a block with the matches.
  const auto history = literals(randomBytes(70000, 8));
  auto withMatches = [&](std::vector<uint8_t> positions, std::vector<Token> matches) {
    BlockSpec last;
    last.positions = CodeSpec::fromLengths(std::move(positions));
    last.tokens = literals(randomBytes(100, 9)) + matches;
    BitWriter w;
    testkit::writeBlocks(w, history, '6', 40000);
    testkit::writeBlock(w, last, '6');
    expectDecodes('6', w.bytes(), testkit::expandTokens(history + last.tokens));
  };
  // Count 16: the 17th length is taken as 0; distances up to 32768.
  withMatches(
      {2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
      {Token::match(5, 32768), Token::match(4, 3), Token::match(3, 1), Token::match(6, 20000)});
  // Count 17 makes symbol 16 usable for -lh6- too: distances up to 65536.
  withMatches(
      {2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 2},
      {Token::match(7, 40000), Token::match(5, 65536), Token::match(4, 3), Token::match(9, 32768)});
}

TEST_F(BlockDecoderTest, Lh7DistancesNearTheWindowSize) {
  for (char method : {'6', '7'}) {
    const auto tokens = literals(randomBytes(70000, 12)) +
                        std::vector<Token>{Token::match(10, 65536), Token::match(5, 65535),
                                           Token::match(3, 65534),  Token::match(256, 65000),
                                           Token::literal('!'),     Token::match(256, 65536)};
    expectDecodes(method, tokenBlocks(method, tokens, 40000), testkit::expandTokens(tokens));
  }
}

// The pre-tree's 2-bit zero run follows its third length even when the count
// is exactly 3 (and may carry the index past it); below 3 there is none.
TEST_F(BlockDecoderTest, PreTreeZeroRunPlacement) {
  struct Case {
    const char* name;
    std::vector<uint8_t> lengths;  // written one by one
    int zeroRunAfterThird;         // -1: none written
  };
  const Case cases[] = {
      {"n=3, run 0", {1, 2, 2}, 0}, {"n=3, run 1", {1, 2, 2}, 1},
      {"n=3, run 2", {1, 2, 2}, 2}, {"n=3, run 3", {1, 2, 2}, 3},
      {"n=2", {1, 1}, -1},          {"n=5, run 1 inside", {1, 2, 0, 2}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (char method : kMethods) {
      BitWriter w;
      w.put(5, 16);
      const unsigned count = static_cast<unsigned>(c.lengths.size()) +
                             (c.lengths.size() > 3 ? c.zeroRunAfterThird : 0);
      w.put(count, 5);
      for (size_t i = 0; i < c.lengths.size(); ++i) {
        testkit::putPtLength(w, c.lengths[i]);
        if (i == 2 && c.zeroRunAfterThird >= 0)
          w.put(static_cast<unsigned>(c.zeroRunAfterThird), 2);
      }
      putCharSingle(w, 'Q');
      testkit::writePtSingle(w, positionBits(method), 0);
      expectDecodes(method, w.bytes(), {'Q', 'Q', 'Q', 'Q', 'Q'});
    }
  }
}

TEST_F(BlockDecoderTest, LongestCodesOfEveryKindDecode) {
  // A pre-tree whose run and length-1 symbols have 16-bit codes.
  std::vector<uint8_t> preTree(19, 0);
  const int byLength[] = {0, 1, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  for (int len = 1; len <= 15; ++len)
    preTree[static_cast<size_t>(byLength[len - 1])] = static_cast<uint8_t>(len);
  preTree[2] = preTree[3] = 16;
  BlockSpec viaLongPreTree;
  viaLongPreTree.preTree = CodeSpec::fromLengths(preTree);
  viaLongPreTree.tokens = literals({'a', 'b', 'b', 'a', 'b'});

  // Character and position codes of 1 to 16 bits: 'a'..'p' and the match
  // of length 3 for the characters, symbols 0..16 for the positions.
  std::vector<uint8_t> chars(257, 0);
  for (int k = 0; k < 16; ++k) chars[static_cast<size_t>('a' + k)] = static_cast<uint8_t>(k + 1);
  chars[256] = 16;
  std::vector<uint8_t> positions(17, 0);
  for (int k = 0; k < 15; ++k) positions[static_cast<size_t>(k)] = static_cast<uint8_t>(k + 1);
  positions[15] = positions[16] = 16;
  BlockSpec deep;
  deep.chars = CodeSpec::fromLengths(chars);
  deep.positions = CodeSpec::fromLengths(positions);
  std::mt19937 random(4);
  for (int i = 0; i < 3000; ++i)
    deep.tokens.push_back(Token::literal(static_cast<uint8_t>('a' + random() % 16)));
  for (uint32_t distance : {1u, 2u, 3u, 40000u, 20000u, 65536u, 1000u, 32769u})
    deep.tokens.push_back(Token::match(3, distance));
  deep.tokens.push_back(Token::literal('p'));

  const auto stream = encodeBlocks('7', {viaLongPreTree, deep});
  expectDecodes('7', stream, testkit::expandTokens(viaLongPreTree.tokens + deep.tokens));
}

// The hostile cases write lengths above 16 and zero runs with the test kit's
// writers; a wrong form would let a refused stream fail for another reason.
// Their bits, as the block format has them:
TEST(BlockDecoderStreamForms, KitWritesLengthsAndZeroRunsAsTheFormatHasThem) {
  struct Case {
    std::vector<uint8_t> lengths;
    unsigned countBits;
    int special;
    std::string bits;
  };
  const Case cases[] = {
      {{0, 6, 7, 16, 20}, 4, -1, "0101 000 110 1110 1111111111110 11111111111111110"},
      {{1, 2, 2}, 5, 3, "00011 001 010 010 00"},  // a count of 3 still has the run field
      {{2, 0, 3, 0, 0, 0, 0, 4}, 5, 3, "01000 010 000 011 11 000 100"},
      {{1, 1}, 5, 3, "00010 001 001"},
  };
  for (const Case& c : cases) {
    BitWriter w, expected;
    testkit::writePtLengths(w, c.lengths, c.countBits, c.special);
    for (char bit : c.bits)
      if (bit != ' ') expected.put(bit == '1', 1);
    EXPECT_EQ(w.bitCount(), expected.bitCount()) << c.bits;
    EXPECT_EQ(w.bytes(), expected.bytes()) << c.bits;
  }
}

// ---------------------------------------------------------------------------
// Hostile streams, on both sides of every bound, through whole passes: the
// broken member's partial file is removed, earlier members stay.

struct StreamCase {
  std::string name;
  char method;
  std::vector<uint8_t> stream;
  // The member's contents: what the stream decodes to if its codes are
  // taken as sent, so that a refused stream fails only by its own check.
  std::vector<uint8_t> output;
  bool accepted;
  // Accepted because other readers accept it: the command ("lhasa t",
  // "7z t") that must test the archive as intact too.
  const char* oracle;
};

// Block header with a pre-tree given as lengths, the character code as
// explicit items, then a constant position code and the literal tokens.
std::vector<uint8_t> itemsBlock(char method, unsigned charCount,
                                const std::vector<PreTreeItem>& items,
                                const std::vector<uint8_t>& charLengths,
                                const std::vector<uint8_t>& literalBytes) {
  const std::vector<uint8_t> preTree = {0, 2, 2, 1};  // symbols 1, 2 and 3 (length 1)
  BitWriter w;
  w.put(static_cast<uint32_t>(literalBytes.size()), 16);
  testkit::writePtLengths(w, preTree, 5, 3);
  testkit::writeCharLengthItems(w, charCount, items, preTree);
  testkit::writePtSingle(w, positionBits(method), 0);
  const auto codes = testkit::canonicalCodes(charLengths);
  for (uint8_t b : literalBytes) w.put(codes.at(b), charLengths.at(b));
  return w.bytes();
}

// A header whose pre-tree is sent as given, then a constant character code.
std::vector<uint8_t> preTreeBlock(char method, const std::vector<uint8_t>& preTree,
                                  unsigned blockSize) {
  BitWriter w;
  w.put(blockSize, 16);
  testkit::writePtLengths(w, preTree, 5, 3);
  putCharSingle(w, 'K');
  testkit::writePtSingle(w, positionBits(method), 0);
  return w.bytes();
}

std::vector<StreamCase> streamCases() {
  std::vector<StreamCase> cases;
  auto add = [&](std::string name, char method, std::vector<uint8_t> stream,
                 std::vector<uint8_t> output, bool accepted, const char* oracle = nullptr) {
    cases.push_back(
        {std::move(name), method, std::move(stream), std::move(output), accepted, oracle});
  };
  const char* lhasa = "lhasa t";
  // lhasa reads no more position lengths than the alphabet has, whatever the
  // count says, and so decodes a block with a larger count differently;
  // 7-Zip and jlha read as many as counted.
  const char* sevenZip = "7z t";
  auto blocks = [](char method, BlockSpec b) { return encodeBlocks(method, {b}); };
  const std::vector<uint8_t> ks(50, 'K');

  // Pre-tree count: 19 is the alphabet, 20 is past it. The first 19 lengths
  // are complete either way, so only the count can refuse the second.
  std::vector<uint8_t> pre19(13, 4);
  pre19.resize(19, 5);
  std::vector<uint8_t> pre20 = pre19;
  pre20.push_back(5);
  add("pre-tree count 19", '5', preTreeBlock('5', pre19, 50), ks, true);
  add("pre-tree count 20", '5', preTreeBlock('5', pre20, 50), ks, false);

  // Character count: 510 is the alphabet, 511 is past it.
  for (size_t count : {510, 511}) {
    std::vector<uint8_t> lengths(count, 0);
    lengths['a'] = lengths[509] = 1;
    BlockSpec b;
    b.chars = CodeSpec::fromLengths(lengths);
    b.tokens = {Token::literal('a'), Token::match(256, 1), Token::literal('a')};
    add("character count " + std::to_string(count), '7', blocks('7', b),
        testkit::expandTokens(b.tokens), count == 510);
  }

  // Position count: 14 for -lh4-/-lh5-, 17 for -lh6-/-lh7-. A larger count,
  // up to what its field holds, sends lengths past the alphabet that are
  // read and take no part in the code, whatever they are (7-Zip and jlha
  // accept such blocks when those lengths are 0; the far matches lie within
  // 7-Zip's dictionary for -lh5- and -lh7- only).
  for (char method : kMethods) {
    const size_t alphabet = testkit::lhMethod(method).positionSymbols;
    const size_t fieldMax = alphabet == 14 ? 15 : 31;
    const uint32_t far = alphabet == 14 ? 5000 : 40000;
    struct Count {
      size_t count;
      uint8_t last;  // the last length when the count exceeds the alphabet
      const char* oracle;
    };
    for (const Count c :
         {Count{alphabet, 0, nullptr},
          Count{alphabet + 1, 0, method == '5' || method == '7' ? sevenZip : nullptr},
          Count{fieldMax, 20, nullptr}}) {
      std::vector<uint8_t> lengths(c.count, 0);
      lengths[0] = lengths[alphabet - 1] = 1;
      if (c.count > alphabet) lengths[c.count - 1] = c.last;
      BlockSpec b;
      b.positions = CodeSpec::fromLengths(lengths);
      b.tokens = literals(repetitive(far + 10, 1)) +
                 std::vector<Token>{Token::match(3, far), Token::match(4, 1)};
      add(std::string("position count ") + std::to_string(c.count) + " ending in " +
              std::to_string(lengths.back()) + " for -lh" + method + "-",
          method, blocks(method, b), testkit::expandTokens(b.tokens), true, c.oracle);
    }
  }

  // Constant codes: the symbol must lie inside its alphabet.
  for (unsigned symbol : {18u, 19u}) {
    BitWriter w;
    w.put(50, 16);
    testkit::writePtSingle(w, 5, symbol);
    putCharSingle(w, 'K');
    testkit::writePtSingle(w, 4, 0);
    add("constant pre-tree symbol " + std::to_string(symbol), '5', w.bytes(), ks, symbol == 18);
  }
  for (unsigned symbol : {509u, 510u, 511u}) {
    BitWriter w;
    w.put(2, 16);
    testkit::writePtSingle(w, 5, 0);
    putCharSingle(w, symbol);
    testkit::writePtSingle(w, 4, 0);
    // Two matches of 256 bytes, copied from the space-filled window.
    add("constant character symbol " + std::to_string(symbol), '4', w.bytes(),
        std::vector<uint8_t>(512, ' '), symbol == 509);
  }
  for (char method : kMethods) {
    const unsigned alphabet = testkit::lhMethod(method).positionSymbols;
    for (unsigned symbol : {alphabet - 1, alphabet}) {
      BlockSpec b;
      b.positions = CodeSpec::singleSymbol(static_cast<int>(symbol));
      b.tokens = literals({'a', 'b', 'c'});
      add(std::string("constant position symbol ") + std::to_string(symbol) + " for -lh" + method +
              "-",
          method, blocks(method, b), {'a', 'b', 'c'}, symbol < alphabet);
    }
  }

  // Zero runs of the character lengths may end at the announced count or
  // carry past it (the lengths then end), but never past the alphabet: 2
  // lengths + a run of 4 (symbol 1), of 38 or of 508 and 509 (symbol 2).
  const std::vector<uint8_t> zeroOne = {1, 1};
  const std::vector<uint8_t> bits01 = {0, 1, 1, 0, 1, 0, 0, 0, 1};
  add("character run ends at the count (4-bit run)", '5',
      itemsBlock('5', 6, {{3, 0}, {3, 0}, {1, 1}}, zeroOne, bits01), bits01, true);
  add("character run past the count (4-bit run)", '5',
      itemsBlock('5', 5, {{3, 0}, {3, 0}, {1, 1}}, zeroOne, bits01), bits01, true, lhasa);
  add("character run ends at the count (9-bit run)", '6',
      itemsBlock('6', 40, {{3, 0}, {3, 0}, {2, 18}}, zeroOne, bits01), bits01, true);
  add("character run past the count (9-bit run)", '6',
      itemsBlock('6', 39, {{3, 0}, {3, 0}, {2, 18}}, zeroOne, bits01), bits01, true, lhasa);
  add("character run to the end of the alphabet", '6',
      itemsBlock('6', 40, {{3, 0}, {3, 0}, {2, 488}}, zeroOne, bits01), bits01, true, lhasa);
  add("character run past the end of the alphabet", '6',
      itemsBlock('6', 40, {{3, 0}, {3, 0}, {2, 489}}, zeroOne, bits01), bits01, false);

  // Explicit length arrays without a single non-zero length define no code:
  // fine where the block never looks a symbol up in it, broken where it does.
  add("unused pre-tree of zero lengths", '5', preTreeBlock('5', {0, 0, 0}, 50), ks, true, lhasa);
  {
    BitWriter w;
    w.put(5, 16);
    testkit::writePtLengths(w, {0, 0, 0}, 5, 3);
    w.put(5, 9);  // explicit character lengths, read with the empty pre-tree
    w.put(0x5555, 16);
    testkit::writePtSingle(w, 4, 0);
    add("pre-tree of zero lengths in use", '5', w.bytes(), ks, false);
  }
  add("character code of zero lengths", '5', itemsBlock('5', 5, {{1, 2}}, zeroOne, {0}), {0},
      false);
  for (bool used : {false, true}) {
    BitWriter w;
    w.put(3, 16);
    testkit::writePtSingle(w, 5, 0);
    putCharSingle(w, used ? 256 : 'K');  // a match of 3 needs a position
    testkit::writePtLengths(w, {0, 0}, 5, -1);
    add(used ? "position code of zero lengths in use" : "unused position code of zero lengths", '7',
        w.bytes(), used ? std::vector<uint8_t>(9, ' ') : std::vector<uint8_t>{'K', 'K', 'K'}, !used,
        used ? nullptr : lhasa);
  }

  // Incomplete and over-full codes, and lengths above 16.
  add("pre-tree over-full", '5', preTreeBlock('5', {1, 1, 1}, 50), ks, false);
  add("pre-tree under-full", '5', preTreeBlock('5', {1, 2}, 50), ks, false);
  add("pre-tree length 17", '5', preTreeBlock('5', {1, 17, 17}, 50), ks, false);
  add("pre-tree length 20", '5', preTreeBlock('5', {20, 1}, 50), ks, false);
  for (auto [name, lengths] :
       std::vector<std::pair<std::string, std::vector<uint8_t>>>{{"over-full", {1, 1, 1}},
                                                                 {"under-full", {1, 2}},
                                                                 {"length 17", {1, 2, 17, 17}},
                                                                 {"length 20", {1, 20, 20}}}) {
    BlockSpec b;
    b.positions = CodeSpec::fromLengths(lengths);
    b.tokens = {Token::literal('a')};
    add("position code " + name, '7', blocks('7', b), {'a'}, false);
  }
  for (auto [name, lengths] : std::vector<std::pair<std::string, std::vector<uint8_t>>>{
           {"over-full", {1, 1, 1}}, {"under-full", {1, 2}}}) {
    std::vector<uint8_t> chars(100, 0);
    std::copy(lengths.begin(), lengths.end(), chars.begin() + 'a');
    BlockSpec b;
    b.chars = CodeSpec::fromLengths(chars);
    b.tokens = {Token::literal('a')};
    add("character code " + name, '6', blocks('6', b), {'a'}, false);
  }
  return cases;
}

TEST_F(BlockDecoderTest, HostileStreamsAreBrokenAndTheirBoundsAccepted) {
  const auto cases = streamCases();
  auto haveCommand = [](const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
  };
  int oracleChecks = 0;
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testkit::Member good = testkit::fileMember("ok.txt", testkit::bytesOf("fine"), '5');
    testkit::Member m = testkit::fileMember("x.bin", c.output, c.method);
    m.payload = c.stream;
    testkit::SfxImageParts imageSpec;
    imageSpec.archive = testkit::buildArchive({good, m});
    ASSERT_TRUE(loadImage(testkit::buildSfxImage(imageSpec)));
    scriptedHost.reset();
    const std::string out = "out" + std::to_string(index++);
    setDestination(out);
    EXPECT_EQ(scanAndExtract(), c.accepted);
    if (c.accepted) {
      EXPECT_TRUE(scriptedHost.errorBoxes.empty());
      EXPECT_EQ(tree(out), (std::vector<std::string>{"ok.txt", "x.bin"}));
      if (exists(out + "/x.bin")) {
        EXPECT_TRUE(contents(out + "/x.bin") == c.output);
      }
      const std::string tool = c.oracle ? std::string(c.oracle, std::strcspn(c.oracle, " ")) : "";
      if (c.oracle && haveCommand(tool)) {
        const std::string lzh = path("case" + std::to_string(index) + ".lzh");
        testkit::writeFile(lzh, imageSpec.archive);
        EXPECT_EQ(std::system((c.oracle + (" '" + lzh + "' >/dev/null 2>&1")).c_str()), 0)
            << c.oracle << " does not accept the stream";
        ++oracleChecks;
      }
    } else {
      ASSERT_EQ(scriptedHost.errorBoxes.size(), 1u);
      EXPECT_EQ(scriptedHost.errorBoxes[0].text, box(MSG_ARCHIVE_BROKEN, imagePath));
      EXPECT_EQ(tree(out), (std::vector<std::string>{"ok.txt"}));
    }
  }
  if (haveCommand("lhasa") && haveCommand("7z")) {
    EXPECT_EQ(oracleChecks, 7);
  }
}

TEST_F(BlockDecoderTest, BrokenBlockAfterAFlushRemovesThePartialFile) {
  // One block of more than a window, then a block header that is broken.
  const auto tokens = mixedTokens(1000, '5', 9);
  const auto data = testkit::expandTokens(tokens);
  ASSERT_GT(data.size(), 70000u);
  BitWriter w;
  testkit::writeBlock(w, BlockSpec{-1, {}, {}, {}, tokens}, '5');
  w.put(10, 16);
  testkit::writePtLengths(w, {1, 1, 1}, 5, 3);
  auto declared = data;
  declared.resize(data.size() + 100, 'z');
  testkit::Member m = testkit::fileMember("big.bin", declared, '5');
  m.payload = w.bytes();
  testkit::SfxImageParts imageSpec;
  imageSpec.archive =
      testkit::buildArchive({testkit::fileMember("ok.txt", testkit::bytesOf("ok"), '0'), m});
  ASSERT_TRUE(loadImage(testkit::buildSfxImage(imageSpec)));
  setDestination();
  EXPECT_FALSE(scanAndExtract());
  EXPECT_FALSE(scriptedHost.progress.empty());  // a window had been written
  EXPECT_EQ(tree(), (std::vector<std::string>{"ok.txt"}));
  ASSERT_EQ(scriptedHost.errorBoxes.size(), 1u);
  EXPECT_EQ(scriptedHost.errorBoxes[0].text, box(MSG_ARCHIVE_BROKEN, imagePath));
}

// Past the data the stream reads as zero bits, up to the eight-byte margin:
// with a 16-bit look-ahead that is 48 consumed bits beyond the last byte.
TEST_F(BlockDecoderTest, ZeroBitsPastTheDataUpToTheMargin) {
  BlockSpec b;
  b.chars = CodeSpec::fromLengths(std::vector<uint8_t>{1, 1});  // byte 0 codes as '0'
  b.tokens = literals({1, 0, 1});
  BitWriter probe;
  testkit::writeBlock(probe, b, '5');
  const size_t usedBits = probe.bitCount();
  const size_t streamBytes = probe.bytes().size();
  const size_t extra = streamBytes * 8 + 48 - usedBits;  // zero codes still allowed
  for (size_t more : {extra, extra + 1}) {
    SCOPED_TRACE(more);
    scriptedHost.reset();
    b.blockSize = static_cast<long>(b.tokens.size() + more);
    BitWriter w;
    testkit::writeBlock(w, b, '5');
    ASSERT_EQ(w.bytes().size(), streamBytes);
    std::vector<uint8_t> expected = {1, 0, 1};
    expected.resize(3 + more, 0);
    if (more == extra) {
      expectDecodes('5', w.bytes(), expected);
    } else {
      expectBroken(decode('5', w.bytes(), expected.size()));
    }
  }
}

// A read that fails in the middle of a member ends it with the read-error box
// naming the program's own file.
TEST_F(BlockDecoderTest, ShortReadShowsReadErrorNamingTheImage) {
  const auto data = randomBytes(70000, 21);
  const auto stream = testkit::compress('5', data);
  ASSERT_GT(stream.size(), 40000u);
  const std::vector<uint8_t> file(stream.begin(), stream.begin() + 30000);
  const Decoded r = decodeFile('5', file, stream.size(), data.size());
  EXPECT_FALSE(r.ok);
  ASSERT_EQ(scriptedHost.errorBoxes.size(), 1u);
  EXPECT_EQ(scriptedHost.errorBoxes[0].text, box(MSG_READ_ERROR, sfxState.selfPath));
}

// ---------------------------------------------------------------------------
// Tables that no valid build leaves behind: every tree walk still ends, and
// a symbol reached through a tree must have a code longer than the index.

struct MemorySource {
  std::vector<uint8_t> bytes;
  size_t at = 0;
  static bool read(void* context, uint8_t* buffer, uint32_t count) {
    auto* self = static_cast<MemorySource*>(context);
    if (self->bytes.size() - self->at < count) return false;
    std::memcpy(buffer, self->bytes.data() + self->at, count);
    self->at += count;
    return true;
  }
};

class DamagedTableTest : public ::testing::Test {
 protected:
  // The decoder on a member of the given bytes, its bit input started.
  void start(char method, std::vector<uint8_t> bytes) {
    source.bytes = std::move(bytes);
    source.at = 0;
    d.input.beginInput(LzhSource{MemorySource::read, &source}, source.bytes.size());
    d.setMethodParameters(method);
    d.blockRemaining = 10;
  }
  void startOnOnes(char method) { start(method, std::vector<uint8_t>(64, 0xFF)); }

  MemorySource source;
  std::unique_ptr<LzhBlockDecoder> owner{new LzhBlockDecoder()};
  LzhBlockDecoder& d = *owner;
  uint16_t* leftChild = d.nodes.leftChild;
  uint16_t* rightChild = d.nodes.rightChild;
};

TEST_F(DamagedTableTest, CharacterTreeLoopEnds) {
  startOnOnes('5');
  d.charTable[0xFFF] = tableEntry(510, ENTRY_NODE);
  leftChild[510] = rightChild[510] = 510;
  d.decodeChar();
  EXPECT_EQ(d.input.status, LZH_BROKEN);
}

TEST_F(DamagedTableTest, CharacterSymbolWithShortCodeBelowANode) {
  startOnOnes('5');
  d.charTable[0xFFF] = tableEntry(510, ENTRY_NODE);
  leftChild[510] = rightChild[510] = 'A';
  d.charLengths['A'] = 12;
  d.decodeChar();
  EXPECT_EQ(d.input.status, LZH_BROKEN);
  // With a length above the index the same tree is a valid 13-bit code.
  startOnOnes('5');
  d.charTable[0xFFF] = tableEntry(510, ENTRY_NODE);
  d.charLengths['A'] = 13;
  EXPECT_EQ(d.decodeChar(), unsigned{'A'});
  EXPECT_EQ(d.input.status, LZH_OK);
}

TEST_F(DamagedTableTest, PositionTreeLoopAndShortCodeEnd) {
  startOnOnes('7');
  d.ptTable[0xFF] = tableEntry(17, ENTRY_NODE);
  leftChild[17] = rightChild[17] = 17;
  d.decodePosition();
  EXPECT_EQ(d.input.status, LZH_BROKEN);

  startOnOnes('7');
  d.ptTable[0xFF] = tableEntry(17, ENTRY_NODE);
  leftChild[17] = rightChild[17] = 3;
  d.ptLengths[3] = 8;
  d.decodePosition();
  EXPECT_EQ(d.input.status, LZH_BROKEN);
}

TEST_F(DamagedTableTest, PreTreeLoopEnds) {
  // Count 5 in nine bits, then ones: the pre-tree lookup lands on the loop.
  std::vector<uint8_t> bytes(64, 0xFF);
  bytes[0] = 0x02;  // 0000 0010 1...: count 5
  source.bytes = bytes;
  d.input.beginInput(LzhSource{MemorySource::read, &source}, bytes.size());
  d.input.startBitInput();
  d.ptTable[0xFF] = tableEntry(19, ENTRY_NODE);
  leftChild[19] = rightChild[19] = 19;
  EXPECT_FALSE(d.readCharLengths());
  EXPECT_EQ(d.input.status, LZH_BROKEN);
}

// ---------------------------------------------------------------------------
// Round trips

TEST_F(BlockDecoderTest, RoundTripsForEveryMethod) {
  const size_t sizes[] = {0, 1, 2, 3, 1000, 65535, 65536, 65537, 140000};
  for (char method : kMethods) {
    for (size_t size : sizes) {
      for (int kind = 0; kind < 2; ++kind) {
        SCOPED_TRACE(std::to_string(size) + (kind ? " repetitive" : " random"));
        const auto data = kind ? repetitive(size, static_cast<uint32_t>(size) + 1)
                               : randomBytes(size, static_cast<uint32_t>(size) + 2);
        const auto stream = testkit::compress(method, data);
        if (size == 0) {
          ASSERT_TRUE(stream.empty());
        }
        scriptedHost.reset();
        expectDecodes(method, stream, data);
        // At most one progress report per window written, each a new
        // percentage, the last 100; none for an empty member.
        const auto& shown = scriptedHost.progress;
        EXPECT_LE(shown.size(), (size + 65535) / 65536);
        EXPECT_EQ(shown.empty() ? -1 : shown.back(), size ? 100 : -1);
        EXPECT_TRUE(std::adjacent_find(shown.begin(), shown.end(),
                                       [](int a, int b) { return a >= b; }) == shown.end());
      }
    }
  }
}

// Blocks of a few codes, down to one code each (all three codes then in the
// single-symbol form), which the program's encoder never makes.
TEST_F(BlockDecoderTest, RoundTripsWithSmallBlocks) {
  for (char method : kMethods) {
    const auto tokens = mixedTokens(3000, method, 77);
    expectDecodes(method, tokenBlocks(method, tokens, 777), testkit::expandTokens(tokens));
    const auto few = mixedTokens(300, method, 78);
    expectDecodes(method, tokenBlocks(method, few, 1), testkit::expandTokens(few));
  }
}

}  // namespace
