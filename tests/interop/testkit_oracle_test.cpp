// Checks the test kit (stream writer, archive builder, image assembly) on its
// own and against independent LZH readers: lhasa, 7-Zip, bsdtar (libarchive)
// and jlha. Whatever these tools accept and reproduce byte for byte, the rest
// of the test suite can trust as input for our own decoder.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/archive_builder.h"
#include "support/lzh_writer.h"
#include "support/sfx_image.h"

namespace fs = std::filesystem;
using testkit::BitWriter;
using testkit::BlockSpec;
using testkit::buildArchive;
using testkit::buildCodeLengths;
using testkit::buildMember;
using testkit::buildSfxImage;
using testkit::bytesOf;
using testkit::canonicalCodes;
using testkit::CodeSpec;
using testkit::crc16;
using testkit::dirMember;
using testkit::encodeLh;
using testkit::EncodeOptions;
using testkit::expandTokens;
using testkit::ExtHeader;
using testkit::fileMember;
using testkit::kCfgFlags;
using testkit::kCfgPrompt;
using testkit::kCfgTitle;
using testkit::kCharSymbols;
using testkit::kConfigOffset;
using testkit::kDosStubOffset;
using testkit::kDosStubSize;
using testkit::kExtHeaderCrc;
using testkit::kFixedHeaderSize;
using testkit::kFlagOverwrite;
using testkit::LhMethod;
using testkit::lhMethod;
using testkit::loadLe16;
using testkit::loadLe32;
using testkit::matchSymbol;
using testkit::Member;
using testkit::PreTreeItem;
using testkit::preTreeItemsFor;
using testkit::putPtLength;
using testkit::readFile;
using testkit::SfxImageParts;
using testkit::Token;
using testkit::tokenize;
using testkit::writeBlock;
using testkit::writeFile;
using testkit::writePtLengths;

namespace {

// ---------------------------------------------------------------------------
// Helpers

// "0101 1..." -> bytes, MSB first, zero padded; blanks are ignored.
std::vector<uint8_t> bitsToBytes(const std::string& bits) {
  BitWriter w;
  for (char c : bits)
    if (c == '0' || c == '1') w.put(c == '1' ? 1u : 0u, 1);
  return w.bytes();
}

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

// Long runs of a short pattern with a few scattered changes.
std::vector<uint8_t> repetitiveBytes(size_t n) {
  static const char kPattern[] = "abcabcabd";
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(kPattern[i % 9]);
  for (size_t i = 4093; i < n; i += 7919) out[i] = static_cast<uint8_t>(i);
  return out;
}

std::vector<uint8_t> textBytes(size_t n, uint32_t seed) {
  static const char* const kWords[] = {"the",     "archive", "member", "header", "window",
                                       "decoder", "of",      "and",    "a",      "Huffman",
                                       "block",   "length",  "code",   "table",  "position"};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    s += kWords[rng() % (sizeof(kWords) / sizeof(kWords[0]))];
    s += (rng() % 11 == 0) ? ".\n" : " ";
  }
  s.resize(n);
  return bytesOf(s);
}

std::vector<uint8_t> repeatedTwice(const std::vector<uint8_t>& part) {
  std::vector<uint8_t> out = part;
  out.insert(out.end(), part.begin(), part.end());
  return out;
}

bool haveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

class TempDir {
 public:
  TempDir() {
    std::string templ = (fs::temp_directory_path() / "kasumiro-testkit-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

struct RunResult {
  int status;
  std::string output;
};

// Runs a shell command with a UTF-8 locale; collects stdout and stderr.
RunResult run(const std::string& command, const fs::path& logFile) {
  const std::string full = "LC_ALL=C.UTF-8 " + command + " >'" + logFile.string() + "' 2>&1";
  const int raw = std::system(full.c_str());
  std::ifstream in(logFile);
  std::stringstream ss;
  ss << in.rdbuf();
  const int status = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
  return RunResult{status, ss.str()};
}

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// Regular files below `root`, by relative path with '/' separators.
std::map<std::string, std::vector<uint8_t>> readTree(const fs::path& root) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file())
      files[fs::relative(e.path(), root).generic_string()] = readFile(e.path().string());
  return files;
}

// ---------------------------------------------------------------------------
// The independent readers.

struct Oracle {
  std::string name;
  std::string binary;
  // Command that decodes every member and fails on any error; empty if the
  // tool's exit status does not tell (jlha exits 0 even on CRC errors).
  std::function<std::string(const fs::path& archive)> testCommand;
  std::function<std::string(const fs::path& archive, const fs::path& dir)> extractCommand;
  std::string methods = "04567";  // method characters it is run on
  bool singleSymbolChars = true;  // accepts a block whose character code has one symbol
  bool restoresTime = true;       // gives extracted files the header's time stamp
  bool dbcsNames = false;         // decodes names as CP932 (path checked exactly)
};

std::vector<Oracle> oracles() {
  std::vector<Oracle> all;
  {
    Oracle o;
    o.name = "lhasa";
    o.binary = "lhasa";
    o.testCommand = [](const fs::path& a) { return "lhasa t " + quoted(a); };
    o.extractCommand = [](const fs::path& a, const fs::path& d) {
      return "cd " + quoted(d) + " && lhasa x " + quoted(a);
    };
    all.push_back(o);
  }
  {
    Oracle o;
    o.name = "7z";
    o.binary = "7z";
    o.testCommand = [](const fs::path& a) { return "7z t " + quoted(a); };
    o.extractCommand = [](const fs::path& a, const fs::path& d) {
      return "7z x -y -o" + quoted(d) + " " + quoted(a);
    };
    all.push_back(o);
  }
  {
    // libarchive refuses -lh4- and blocks whose character code is sent in the
    // single-symbol form (lhasa, 7-Zip and jlha accept those).
    Oracle o;
    o.name = "bsdtar";
    o.binary = "bsdtar";
    o.testCommand = [](const fs::path& a) {
      return "bsdtar --options hdrcharset=CP932 -xOf " + quoted(a) + " >/dev/null";
    };
    o.extractCommand = [](const fs::path& a, const fs::path& d) {
      return "bsdtar --options hdrcharset=CP932 -xf " + quoted(a) + " -C " + quoted(d);
    };
    o.methods = "0567";
    o.singleSymbolChars = false;
    o.dbcsNames = true;
    all.push_back(o);
  }
  {
    Oracle o;
    o.name = "jlha";
    o.binary = "jlha";
    o.extractCommand = [](const fs::path& a, const fs::path& d) {
      return "cd " + quoted(d) + " && jlha x " + quoted(a);
    };
    o.methods = "57";  // slow to start; the others cover the rest
    o.restoresTime = false;
    all.push_back(o);
  }
  return all;
}

// ---------------------------------------------------------------------------
// Kit self-checks (no external tools).

TEST(TestkitBitWriter, WritesMostSignificantBitFirst) {
  struct Case {
    std::vector<std::pair<uint32_t, unsigned>> puts;
    std::vector<uint8_t> expected;
    size_t bits;
  };
  const Case cases[] = {
      {{{1, 1}, {0, 1}, {5, 3}}, {0xA8}, 5},
      {{{0x12345678u, 32}}, {0x12, 0x34, 0x56, 0x78}, 32},
      {{{0x1FF, 9}, {0, 0}, {1, 2}}, {0xFF, 0xA0}, 11},
      {{{0xFFFFFFFFu, 4}}, {0xF0}, 4},  // only the low bits count
      {{}, {}, 0},
  };
  for (const Case& c : cases) {
    BitWriter w;
    for (auto [v, n] : c.puts) w.put(v, n);
    EXPECT_EQ(w.bytes(), c.expected);
    EXPECT_EQ(w.bitCount(), c.bits);
  }
  BitWriter w;
  EXPECT_THROW(w.put(0, 33), std::invalid_argument);
}

TEST(TestkitCrc16, MatchesArcCheckValues) {
  EXPECT_EQ(crc16(bytesOf("123456789")), 0xBB3D);
  EXPECT_EQ(crc16(std::vector<uint8_t>{}), 0);
  EXPECT_EQ(crc16(std::vector<uint8_t>{0x01}), 0xC0C1);
  const std::vector<uint8_t> data = randomBytes(1000, 7);
  const uint16_t whole = crc16(data);
  const uint16_t split = crc16(data.data() + 333, 667, crc16(data.data(), 333));
  EXPECT_EQ(whole, split);
}

double kraftSum(const std::vector<uint8_t>& lengths) {
  double sum = 0;
  for (uint8_t l : lengths)
    if (l) sum += std::ldexp(1.0, -l);
  return sum;
}

TEST(TestkitCodeLengths, CompleteAndLimited) {
  std::vector<uint32_t> fib(40);
  fib[0] = fib[1] = 1;
  for (size_t i = 2; i < fib.size(); ++i) fib[i] = fib[i - 1] + fib[i - 2];
  std::vector<uint32_t> sparse(510, 0);
  for (size_t i = 0; i < 510; i += 3) sparse[i] = static_cast<uint32_t>(i * i + 1);
  const std::vector<uint32_t> all510(510, 1);

  struct Case {
    const char* what;
    std::vector<uint32_t> freqs;
    unsigned maxLen;
  };
  const Case cases[] = {
      {"two symbols", {5, 0, 9}, 16},
      {"fibonacci, limit engaged", fib, 16},
      {"fibonacci, tight limit", fib, 7},
      {"sparse 510", sparse, 16},
      {"uniform 510", all510, 16},
      {"512 symbols in 9 bits", std::vector<uint32_t>(512, 1), 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<uint8_t> len = buildCodeLengths(c.freqs, c.maxLen);
    ASSERT_EQ(len.size(), c.freqs.size());
    for (size_t s = 0; s < len.size(); ++s) {
      EXPECT_EQ(len[s] == 0, c.freqs[s] == 0) << "symbol " << s;
      EXPECT_LE(len[s], c.maxLen) << "symbol " << s;
    }
    EXPECT_DOUBLE_EQ(kraftSum(len), 1.0);
  }
  // Without a limit the result is an optimal Huffman code.
  EXPECT_EQ(buildCodeLengths({1, 1, 2, 4}), (std::vector<uint8_t>{3, 3, 2, 1}));
  const std::vector<uint8_t> fibLen = buildCodeLengths(fib, 16);
  EXPECT_EQ(*std::max_element(fibLen.begin(), fibLen.end()), 16);
  // Degenerate inputs.
  EXPECT_EQ(buildCodeLengths({0, 0, 7}), (std::vector<uint8_t>{0, 0, 1}));
  EXPECT_EQ(buildCodeLengths({0, 0}), (std::vector<uint8_t>{0, 0}));
  EXPECT_THROW(buildCodeLengths(std::vector<uint32_t>(5, 1), 2), std::invalid_argument);
}

TEST(TestkitCodeLengths, CanonicalCodesByLengthThenSymbol) {
  EXPECT_EQ(canonicalCodes({2, 1, 3, 3}), (std::vector<uint32_t>{0b10, 0b0, 0b110, 0b111}));
  EXPECT_EQ(canonicalCodes({0, 2, 2, 0, 2, 2}), (std::vector<uint32_t>{0, 0, 1, 0, 2, 3}));
}

TEST(TestkitStreamPieces, PtLengthForms) {
  struct Case {
    unsigned length;
    const char* bits;
  };
  const Case cases[] = {{0, "000"},
                        {6, "110"},
                        {7, "1110"},
                        {8, "11110"},
                        {16, "1111111111110"},
                        {20, "11111111111111110"}};
  for (const Case& c : cases) {
    BitWriter w;
    putPtLength(w, c.length);
    EXPECT_EQ(w.bytes(), bitsToBytes(c.bits)) << "length " << c.length;
    EXPECT_EQ(w.bitCount(), std::string(c.bits).size()) << "length " << c.length;
  }
}

TEST(TestkitStreamPieces, PtLengthArraysWithZeroRun) {
  struct Case {
    const char* what;
    std::vector<uint8_t> lengths;
    unsigned countBits;
    int special;
    const char* bits;
  };
  const Case cases[] = {
      {"zero run of 3 after the third length",
       {2, 0, 3, 0, 0, 0, 0, 4},
       5,
       3,
       "01000 010 000 011 11 000 100"},
      {"zero run stops at the array end", {1, 1, 2, 0}, 5, 3, "00100 001 001 010 01"},
      {"count exactly 3 still has the run field", {1, 2, 2}, 5, 3, "00011 001 010 010 00"},
      {"short array has no run field", {1, 1}, 5, 3, "00010 001 001"},
      {"position code: no run", {0, 0, 0, 7}, 4, -1, "0100 000 000 000 1110"},
  };
  for (const Case& c : cases) {
    BitWriter w;
    writePtLengths(w, c.lengths, c.countBits, c.special);
    EXPECT_EQ(w.bytes(), bitsToBytes(c.bits)) << c.what;
  }
}

TEST(TestkitStreamPieces, PreTreeItemsForZeroRuns) {
  using Items = std::vector<std::pair<int, int>>;
  struct Case {
    size_t zeros;
    Items items;  // (symbol, extra)
  };
  const Case cases[] = {
      {1, {{0, 0}}},     {2, {{0, 0}, {0, 0}}},     {3, {{1, 0}}},
      {18, {{1, 15}}},   {19, {{0, 0}, {1, 15}}},   {20, {{2, 0}}},
      {531, {{2, 511}}}, {532, {{2, 511}, {0, 0}}}, {600, {{2, 511}, {2, 49}}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> lengths(c.zeros, 0);
    lengths.push_back(5);
    Items got;
    for (const PreTreeItem& it : preTreeItemsFor(lengths)) got.emplace_back(it.symbol, it.extra);
    Items want = c.items;
    want.emplace_back(7, 0);  // the closing length 5
    EXPECT_EQ(got, want) << c.zeros << " zeros";
  }
  EXPECT_THROW(preTreeItemsFor({17}), std::invalid_argument);
}

TEST(TestkitStreamPieces, SingleByteStreamUsesSingleSymbolForms) {
  // Block size 1; pre-tree, character and position codes all in the
  // single-symbol form; the literal itself then costs no bits.
  EXPECT_EQ(encodeLh('5', {'x'}),
            bitsToBytes("0000000000000001 00000 00000 000000000 001111000 0000 0000"));
  EXPECT_EQ(encodeLh('7', {'x'}),
            bitsToBytes("0000000000000001 00000 00000 000000000 001111000 00000 00000"));
  EXPECT_TRUE(encodeLh('6', {}).empty());
}

TEST(TestkitStreamPieces, WriteBlockRejectsSymbolsWithoutCode) {
  BitWriter w;
  BlockSpec b;
  b.chars = CodeSpec::fromLengths({1, 1});
  b.tokens = {Token::literal(2)};
  EXPECT_THROW(writeBlock(w, b, '5'), std::invalid_argument);
  BlockSpec s;
  s.chars = CodeSpec::singleSymbol('a');
  s.tokens = {Token::literal('b')};
  EXPECT_THROW(writeBlock(w, s, '5'), std::invalid_argument);
}

TEST(TestkitTokenizer, TokensStayInsideTheDictionaryAndExpandBack) {
  const std::vector<std::vector<uint8_t>> inputs = {
      {},
      {'a'},
      std::vector<uint8_t>(1000, 'z'),
      repetitiveBytes(20000),
      textBytes(20000, 3),
      repeatedTwice(randomBytes(65536, 4)),
  };
  for (char m : {'4', '5', '6', '7'}) {
    const LhMethod method = lhMethod(m);
    for (size_t k = 0; k < inputs.size(); ++k) {
      SCOPED_TRACE(std::string("method ") + m + ", input " + std::to_string(k));
      const std::vector<Token> tokens = tokenize(inputs[k], m);
      size_t produced = 0;
      for (const Token& t : tokens) {
        ASSERT_LT(t.symbol, kCharSymbols);
        if (t.symbol >= 256) {
          ASSERT_LE(t.distanceField, method.maxDistanceField);
          ASSERT_LT(t.distanceField, produced) << "match reaches before the start";
          produced += t.symbol - 253u;
        } else {
          ++produced;
        }
      }
      EXPECT_EQ(expandTokens(tokens), inputs[k]);
    }
  }
  // Repeating a dictionary-sized random block forces the largest distance;
  // one byte more and the repeat lies out of reach.
  for (char m : {'4', '5', '6', '7'}) {
    const LhMethod method = lhMethod(m);
    for (uint32_t period : {method.maxDistanceField + 1, method.maxDistanceField + 2}) {
      const auto tokens = tokenize(repeatedTwice(randomBytes(period, 5)), m);
      uint32_t largest = 0;
      size_t matched = 0;
      for (const Token& t : tokens) {
        if (t.symbol < 256) continue;
        largest = std::max(largest, t.distanceField);
        matched += t.symbol - 253u;
      }
      if (period == method.maxDistanceField + 1) {
        EXPECT_EQ(largest, method.maxDistanceField) << "method " << m;
      } else {
        // Only chance matches of random bytes remain.
        EXPECT_LE(largest, method.maxDistanceField) << "method " << m;
        EXPECT_LT(matched, period / 8) << "method " << m << ": the repeat was matched";
      }
    }
  }
}

TEST(TestkitArchiveBuilder, HeaderLayoutAndCrc) {
  Member m = fileMember("a.txt", bytesOf("hello"), '0', "d1/d2");
  const std::vector<uint8_t> bytes = buildMember(m);
  // Fixed part, then CRC record, name record, dir record, closing 0.
  const size_t headerSize = kFixedHeaderSize + 5 + (3 + 5) + (3 + 6);
  ASSERT_EQ(bytes.size(), headerSize + 5);
  EXPECT_EQ(loadLe16(bytes.data()), headerSize);
  EXPECT_EQ(std::string(bytes.begin() + 2, bytes.begin() + 7), "-lh0-");
  EXPECT_EQ(bytes[20], 2);
  EXPECT_EQ(loadLe16(bytes.data() + 21), crc16(bytesOf("hello")));
  EXPECT_EQ(loadLe16(bytes.data() + 24), 5);  // first record: the CRC
  EXPECT_EQ(bytes[26], kExtHeaderCrc);
  std::vector<uint8_t> header(bytes.begin(), bytes.begin() + headerSize);
  const uint16_t stored = loadLe16(header.data() + 27);
  header[27] = header[28] = 0;
  EXPECT_EQ(crc16(header), stored);
  EXPECT_EQ(std::string(bytes.begin() + headerSize - 8, bytes.begin() + headerSize - 2),
            "d1\xFF"
            "d2\xFF");
  EXPECT_EQ(loadLe16(bytes.data() + headerSize - 2), 0);

  // A header whose length is a multiple of 256 gets a padding byte, so its
  // first byte never reads as the end marker; the knob turns that off.
  Member big = fileMember(std::string(256 - kFixedHeaderSize - 5 - 3, 'n'), {}, '0');
  EXPECT_EQ(loadLe16(buildMember(big).data()), 257);
  big.avoidZeroLowByte = false;
  EXPECT_EQ(loadLe16(buildMember(big).data()), 256);
}

TEST(TestkitSfxImage, DosStubDisassemblesToPrintAndExit) {
  if (!haveTool("objdump")) GTEST_SKIP() << "objdump not installed";
  TempDir tmp;
  const std::vector<uint8_t> image = buildSfxImage(SfxImageParts());
  const std::vector<uint8_t> stub(image.begin() + kDosStubOffset,
                                  image.begin() + kDosStubOffset + kDosStubSize);
  const fs::path bin = tmp.path() / "stub.bin";
  writeFile(bin.string(), stub);
  // Disassemble the code behind the text (the jump's target) as 8086 code.
  const RunResult r =
      run("objdump -D -b binary -mi8086 --start-address=0x2c " + quoted(bin), tmp.path() / "log");
  ASSERT_EQ(r.status, 0) << r.output;
  size_t from = 0;  // the instructions must appear in this order
  for (const char* insn : {"push   %cs", "pop    %ds", "mov    $0x2,%dx", "mov    $0x9,%ah",
                           "int    $0x21", "mov    $0x4c01,%ax", "int    $0x21"}) {
    const size_t at = r.output.find(insn, from);
    ASSERT_NE(at, std::string::npos) << insn << "\n" << r.output;
    from = at + 1;
  }
  const RunResult jump =
      run("objdump -D -b binary -mi8086 --stop-address=0x2 " + quoted(bin), tmp.path() / "log2");
  EXPECT_NE(jump.output.find("jmp    0x2c"), std::string::npos) << jump.output;
  EXPECT_EQ(std::string(stub.begin() + 2, stub.begin() + 0x2c),
            "This program cannot be run in DOS mode.\r\n$");
}

TEST(TestkitSfxImage, PlacesBlockAndArchive) {
  SfxImageParts layout;
  layout.title = std::string(60, 'T');  // longer than its field: cut, no terminator
  layout.prompt = "p";
  layout.flags = kFlagOverwrite;
  layout.archive = {1, 2, 3};
  layout.archiveOffset = 0x600;
  layout.storedArchiveOffset = 0x1234;
  const std::vector<uint8_t> img = buildSfxImage(layout);
  ASSERT_EQ(img.size(), 0x603u);
  EXPECT_EQ(std::vector<uint8_t>(img.begin() + 0x600, img.end()), layout.archive);
  EXPECT_EQ(loadLe32(img.data() + kConfigOffset), 0x1234u);
  EXPECT_EQ(std::string(img.begin() + kConfigOffset + kCfgTitle.offset,
                        img.begin() + kConfigOffset + kCfgTitle.offset + kCfgTitle.width),
            std::string(51, 'T'));
  EXPECT_EQ(
      std::string(reinterpret_cast<const char*>(img.data()) + kConfigOffset + kCfgPrompt.offset),
      "p");
  EXPECT_EQ(loadLe32(img.data() + kConfigOffset + kCfgFlags.offset), kFlagOverwrite);
  layout.archiveOffset = 0x509;
  EXPECT_THROW(buildSfxImage(layout), std::invalid_argument);
}

// ---------------------------------------------------------------------------
// Against the independent readers.

struct ExpectedMember {
  Member member;
  bool singleSymbolChars = false;  // some block sends its character code in single form
};

const char kSjisName[] = "\x95\x5C.txt";  // U+8868 in CP932; its 2nd byte is '\'

std::vector<ExpectedMember> roundTripMembers(char method) {
  std::vector<ExpectedMember> out;
  auto add = [&](std::string dir, std::string name, std::vector<uint8_t> data, bool single = false,
                 EncodeOptions opts = EncodeOptions()) {
    Member m = fileMember(std::move(name), std::move(data), method, std::move(dir));
    m.encodeOptions = opts;
    out.push_back({m, single && method != '0'});
  };
  out.push_back({dirMember("emptydir"), false});
  add("data", "empty.bin", {});
  add("data", "one.bin", {'Q'}, true);
  add("data", "random.bin", randomBytes(100 * 1024, 11));
  add("data/nested", "repeat.bin", repetitiveBytes(300 * 1024));
  add("data/nested", "text.txt", textBytes(64 * 1024, 12));
  const uint32_t window = method == '0' ? 8192 : lhMethod(method).maxDistanceField + 1;
  add("", "window.bin", repeatedTwice(randomBytes(window, 13)));
  EncodeOptions tiny;
  tiny.maxBlockCodes = 5;
  add("", "tinyblocks.txt", textBytes(3000, 14), false, tiny);
  EncodeOptions big;
  big.maxBlockCodes = 65535;
  big.useMatches = false;
  add("", "bigblocks.bin", textBytes(70000, 15), false, big);
  add("sjis", kSjisName, bytesOf("Shift-JIS name with a 0x5C trail byte\n"));
  return out;
}

class OracleRoundTrip : public ::testing::TestWithParam<char> {};

TEST_P(OracleRoundTrip, ReadersReproduceEveryMember) {
  const char method = GetParam();
  const std::vector<ExpectedMember> members = roundTripMembers(method);
  std::vector<std::vector<uint8_t>> encoded;
  for (const ExpectedMember& e : members) encoded.push_back(buildMember(e.member));

  TempDir tmp;
  std::string missing;
  for (const Oracle& o : oracles()) {
    if (o.methods.find(method) == std::string::npos) continue;
    if (!haveTool(o.binary)) {
      missing += " " + o.binary;
      continue;
    }
    SCOPED_TRACE(o.name);

    // The archive this reader can take.
    std::vector<uint8_t> archive;
    std::map<std::string, std::vector<uint8_t>> expected;
    std::vector<uint8_t> sjisData;
    for (size_t i = 0; i < members.size(); ++i) {
      const ExpectedMember& e = members[i];
      if (e.singleSymbolChars && !o.singleSymbolChars) continue;
      archive.insert(archive.end(), encoded[i].begin(), encoded[i].end());
      if (e.member.method == 'd') continue;
      if (e.member.name == kSjisName) {
        sjisData = e.member.data;
        continue;
      }
      const std::string path =
          e.member.dir.empty() ? e.member.name : e.member.dir + "/" + e.member.name;
      expected[path] = e.member.data;
    }
    archive.push_back(0);
    const fs::path file = tmp.path() / (o.name + "-lh" + method + ".lzh");
    writeFile(file.string(), archive);

    if (o.testCommand) {
      const RunResult t = run(o.testCommand(file), tmp.path() / (o.name + ".test.log"));
      EXPECT_EQ(t.status, 0) << t.output;
    }

    const fs::path out = tmp.path() / (o.name + "-out");
    fs::create_directories(out);
    const RunResult x = run(o.extractCommand(file, out), tmp.path() / (o.name + ".x.log"));
    if (o.testCommand) {
      EXPECT_EQ(x.status, 0) << x.output;
    }

    std::map<std::string, std::vector<uint8_t>> got = readTree(out);
    for (const auto& [path, data] : expected) {
      auto it = got.find(path);
      if (it == got.end()) {
        ADD_FAILURE() << path << " not extracted\n" << x.output;
        continue;
      }
      EXPECT_TRUE(it->second == data)
          << path << " differs (" << it->second.size() << " vs " << data.size() << " bytes)";
      got.erase(it);
    }
    // What is left is the Shift-JIS member, whatever the tool made of its name.
    if (got.size() != 1) {
      ADD_FAILURE() << got.size() << " unexpected files\n" << x.output;
      continue;
    }
    const std::string sjisPath = got.begin()->first;
    EXPECT_EQ(sjisPath.rfind("sjis/", 0), 0u) << sjisPath;
    EXPECT_TRUE(sjisPath.size() > 4 && sjisPath.compare(sjisPath.size() - 4, 4, ".txt") == 0)
        << sjisPath;
    EXPECT_EQ(got.begin()->second, sjisData);
    if (o.dbcsNames) {
      EXPECT_EQ(sjisPath, "sjis/\xE8\xA1\xA8.txt");  // UTF-8 of U+8868
    }

    EXPECT_TRUE(fs::is_directory(out / "emptydir"));
    if (o.restoresTime) {
      struct stat st {};
      ASSERT_EQ(stat((out / "data" / "random.bin").c_str(), &st), 0);
      EXPECT_EQ(st.st_mtime, 1700000000);
    }
  }
  if (!missing.empty()) GTEST_SKIP() << "not installed:" << missing;
}

INSTANTIATE_TEST_SUITE_P(Methods, OracleRoundTrip, ::testing::Values('0', '4', '5', '6', '7'),
                         [](const ::testing::TestParamInfo<char>& p) {
                           return std::string("lh") + p.param;
                         });

// Blocks built from explicit codes, as the hostile-stream tests build them,
// decode as intended when the codes are valid.
TEST(OracleHandBuiltBlocks, ExplicitCodesDecode) {
  std::vector<Token> prefix;  // 64 distinct literals, so later matches stay inside the data
  for (int i = 0; i < 64; ++i) prefix.push_back(Token::literal(static_cast<uint8_t>(i * 3)));

  std::vector<uint32_t> fib(20);
  fib[0] = fib[1] = 1;
  for (size_t i = 2; i < fib.size(); ++i) fib[i] = fib[i - 1] + fib[i - 2];
  std::vector<uint8_t> deepChars = buildCodeLengths(fib, 16);  // lengths up to 16
  deepChars.resize(kCharSymbols, 0);
  deepChars[matchSymbol(3)] = deepChars[0];  // make room for one match symbol:
  deepChars[0] = 0;                          // it takes over literal 0's code length

  struct Case {
    const char* what;
    char method;
    std::vector<BlockSpec> blocks;
    bool singleSymbolChars;
  };
  std::vector<Case> cases;
  {
    // Every literal with an 8-bit code: the pre-tree has one symbol (10).
    BlockSpec b;
    b.chars = CodeSpec::fromLengths(std::vector<uint8_t>(256, 8));
    for (int i = 0; i < 600; ++i) b.tokens.push_back(Token::literal(static_cast<uint8_t>(i * 7)));
    cases.push_back({"flat 8-bit literals", '5', {b}, false});
  }
  {
    BlockSpec b;
    b.chars = CodeSpec::fromLengths(deepChars);
    for (int r = 0; r < 3; ++r)
      for (unsigned sym = 1; sym < 20; ++sym)
        b.tokens.push_back(Token{static_cast<uint16_t>(sym), 0});
    b.tokens.push_back(Token::match(3, 5));
    cases.push_back({"character codes up to 16 bits", '6', {b}, false});
  }
  {
    // Position code with lengths 1, 2, 2 on symbols 0, 4 and 5.
    BlockSpec b;
    b.tokens = prefix;
    b.positions = CodeSpec::fromLengths({1, 0, 0, 0, 2, 2});
    for (uint32_t d : {1u, 9u, 16u, 1u, 31u, 12u, 1u}) b.tokens.push_back(Token::match(10, d));
    cases.push_back({"explicit position lengths", '7', {b}, false});
  }
  {
    // A single-symbol position code whose symbol still carries extra bits.
    BlockSpec b;
    b.tokens = prefix;
    b.positions = CodeSpec::singleSymbol(6);
    for (uint32_t d : {33u, 64u, 40u}) b.tokens.push_back(Token::match(256, d));
    cases.push_back({"single position symbol with extra bits", '5', {b}, false});
  }
  {
    // Three blocks with different codes, the middle one a single literal.
    BlockSpec a, b, c;
    a.tokens = prefix;
    b.tokens = {Token::literal('z')};
    c.tokens = {Token::literal('a'), Token::match(200, 1), Token::match(5, 60)};
    cases.push_back({"codes change between blocks", '6', {a, b, c}, true});
  }

  TempDir tmp;
  std::string missing;
  for (const char* tool : {"lhasa", "7z", "bsdtar"}) {
    if (!haveTool(tool)) {
      missing += std::string(" ") + tool;
      continue;
    }
    for (size_t k = 0; k < cases.size(); ++k) {
      const Case& c = cases[k];
      SCOPED_TRACE(std::string(tool) + ": " + c.what);
      if (c.singleSymbolChars && std::string(tool) == "bsdtar") continue;
      BitWriter w;
      std::vector<Token> all;
      for (const BlockSpec& b : c.blocks) {
        writeBlock(w, b, c.method);
        all.insert(all.end(), b.tokens.begin(), b.tokens.end());
      }
      Member m = fileMember("hand.bin", expandTokens(all), c.method);
      m.payload = w.bytes();
      const fs::path file = tmp.path() / ("hand" + std::to_string(k) + ".lzh");
      const fs::path out = tmp.path() / (std::string(tool) + std::to_string(k));
      writeFile(file.string(), buildArchive({m}));
      fs::create_directories(out);
      std::string cmd;
      for (const Oracle& o : oracles())
        if (o.binary == tool) cmd = o.extractCommand(file, out);
      const RunResult x = run(cmd, file.string() + ".log");
      EXPECT_EQ(x.status, 0) << x.output;
      const auto got = readTree(out);
      ASSERT_EQ(got.count("hand.bin"), 1u) << x.output;
      EXPECT_TRUE(got.at("hand.bin") == m.data);
    }
  }
  if (!missing.empty()) GTEST_SKIP() << "not installed:" << missing;
}

// libarchive checks header CRCs and understands the records 0x40, 0x41 and
// 0x42, so it tells whether the builder lays them out right.
TEST(OracleHeaders, BsdtarChecksCrcAndExtendedRecords) {
  if (!haveTool("bsdtar")) GTEST_SKIP() << "bsdtar not installed";
  TempDir tmp;
  const uint64_t kUnixToFiletime = 11644473600ull;
  auto filetime = [&](int64_t unix) {
    return static_cast<uint64_t>(unix + static_cast<int64_t>(kUnixToFiletime)) * 10000000ull;
  };

  struct Case {
    const char* what;
    std::function<void(Member&)> tweak;
    bool accepted;
    int64_t mtime;
    bool readOnly;
  };
  const Case cases[] = {
      {"plain", [](Member&) {}, true, 1700000000, false},
      {"CRC record last", [](Member& m) { m.crcRecordLast = true; }, true, 1700000000, false},
      {"corrupted header CRC", [](Member& m) { m.corruptHeaderCrc = true; }, false, 0, false},
      {"Windows time stamps win over the Unix time",
       [&](Member& m) {
         m.fileTimes = std::array<uint64_t, 3>{filetime(999999000), filetime(1000000000),
                                               filetime(1000001000)};
       },
       true, 1000000000, false},
      {"64-bit sizes replace the 32-bit ones",
       [](Member& m) {
         m.sizes64 = true;
         m.compressedSize32 = 0;
         m.uncompressedSize32 = 0;
       },
       true, 1700000000, false},
      {"attribute record (read-only)", [](Member& m) { m.extAttributes = 0x21; }, true, 1700000000,
       true},
      {"unknown record is skipped",
       [](Member& m) {
         m.extra.push_back(ExtHeader{0x7F, {1, 2, 3, 4, 5}, {}});
       },
       true, 1700000000, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<uint8_t> data = textBytes(5000, 20 + n);
    Member m = fileMember("member.txt", data, '5');
    c.tweak(m);
    const fs::path file = tmp.path() / ("case" + std::to_string(n) + ".lzh");
    const fs::path out = tmp.path() / ("out" + std::to_string(n));
    ++n;
    writeFile(file.string(), buildArchive({m}));
    fs::create_directories(out);
    const RunResult x =
        run("bsdtar -xf " + quoted(file) + " -C " + quoted(out), file.string() + ".log");
    if (!c.accepted) {
      EXPECT_NE(x.status, 0);
      EXPECT_NE(x.output.find("CRC"), std::string::npos) << x.output;
      continue;
    }
    ASSERT_EQ(x.status, 0) << x.output;
    const fs::path f = out / "member.txt";
    EXPECT_EQ(readFile(f.string()), data);
    struct stat st {};
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, c.mtime);
    EXPECT_EQ((st.st_mode & S_IWUSR) == 0, c.readOnly);
  }
}

// lhasa and 7-Zip find an archive behind a DOS header and accept the image.
TEST(OracleSfxImage, ReadersFindTheArchiveInTheImage) {
  TempDir tmp;
  const std::vector<uint8_t> data = textBytes(40000, 30);
  SfxImageParts layout;
  layout.title = "Kasumiro test";
  layout.archive = buildArchive({fileMember("inside.txt", data, '6', "dir")});
  const fs::path image = tmp.path() / "setup.exe";
  writeFile(image.string(), buildSfxImage(layout));

  int used = 0;
  for (const Oracle& o : oracles()) {
    if (o.name != "lhasa" && o.name != "7z") continue;
    if (!haveTool(o.binary)) continue;
    SCOPED_TRACE(o.name);
    ++used;
    const fs::path out = tmp.path() / (o.name + "-out");
    fs::create_directories(out);
    const RunResult x = run(o.extractCommand(image, out), tmp.path() / (o.name + ".log"));
    EXPECT_EQ(x.status, 0) << x.output;
    const auto got = readTree(out);
    ASSERT_EQ(got.count("dir/inside.txt"), 1u) << x.output;
    EXPECT_EQ(got.at("dir/inside.txt"), data);
  }
  if (used == 0) GTEST_SKIP() << "neither lhasa nor 7z installed";
}

}  // namespace
