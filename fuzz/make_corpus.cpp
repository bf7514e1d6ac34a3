// Writes the seed corpus of the fuzz targets from archives made with the test
// kit and our encoder: make_corpus DIRECTORY creates DIRECTORY/fuzz_image, fuzz_decoder,
// fuzz_huffman, fuzz_member_path, fuzz_roundtrip and fuzz_encoder and fills
// them. The
// layouts of the seeds are those described at the top of each target.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "support/archive_builder.h"
#include "support/compress.h"
#include "support/lzh_writer.h"
#include "support/sfx_image.h"

using testkit::Member;
using Bytes = std::vector<uint8_t>;

namespace {

std::string corpusRoot;
int written = 0;

void makeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    std::perror(path.c_str());
    std::exit(1);
  }
}

void seed(const std::string& target, const std::string& name, const Bytes& bytes) {
  const std::string dir = corpusRoot + "/" + target;
  makeDirectory(dir);
  testkit::writeFile(dir + "/" + name, bytes);
  ++written;
}

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Text-like data with repeats (so the encoder finds matches) and some noise.
Bytes pattern(size_t size, uint32_t seed = 1) {
  Bytes out(size);
  uint32_t x = seed;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<uint8_t>((i % 97 < 60) ? 'a' + (i / 7 + (x >> 28)) % 20 : x >> 24);
  }
  return out;
}

// A short block of text repeated: compresses to little, spans several windows.
Bytes repeated(size_t size, size_t period) {
  Bytes unit = pattern(period, 7);
  Bytes out;
  while (out.size() < size) out.insert(out.end(), unit.begin(), unit.end());
  out.resize(size);
  return out;
}

// Literals of pattern() followed by matches at distances up to 4096 (inside
// every method's window): what an encoder could make, in blocks of any size.
std::vector<testkit::Token> tokens(size_t literals, size_t matches, uint32_t seed) {
  std::vector<testkit::Token> out;
  for (uint8_t b : pattern(literals, seed)) out.push_back(testkit::Token::literal(b));
  size_t produced = literals;
  for (size_t i = 0; i < matches; ++i) {
    const unsigned length = 3 + (i * 37 + seed) % 254;
    const size_t reach = std::min<size_t>(produced, 4096);
    out.push_back(testkit::Token::match(length, static_cast<uint32_t>(1 + (i * 7919) % reach)));
    produced += length;
  }
  return out;
}

Bytes blocks(char method, const std::vector<testkit::Token>& tokens, size_t codesPerBlock) {
  testkit::BitWriter out;
  testkit::writeBlocks(out, tokens, method, codesPerBlock);
  return out.bytes();
}

// A member whose data is those tokens in blocks of codesPerBlock codes.
Member blockMember(std::string name, char method, const std::vector<testkit::Token>& tokens,
                   size_t codesPerBlock) {
  Member m = testkit::fileMember(std::move(name), testkit::expandTokens(tokens), method);
  m.payload = blocks(method, tokens, codesPerBlock);
  return m;
}

// CP932 texts used in names and the notice.
const std::string HYOU = "\x95\x5C";                    // a kanji whose second byte is 0x5C
const std::string HYOUJI = "\x95\x5C\x8E\xA6";          // two kanji, the first ending in 0x5C
const std::string SOFUTO = "\x83\x5C\x83\x74\x83\x67";  // katakana, the first ending in 0x5C
const std::string HANKAKU = "\xB6\xC5";                 // half-width katakana
const std::string NOTICE_TEXT = "\x82\xA8\x92\x6D\x82\xE7\x82\xB9: please read\r\n";

testkit::SfxImageParts smallSpec(std::vector<Member> members) {
  testkit::SfxImageParts imageSpec;
  imageSpec.title = "Fuzz seed";
  imageSpec.archive = testkit::buildArchive(members);
  imageSpec.archiveOffset = 0x50A;  // right behind the DOS stub: no filler to mutate
  return imageSpec;
}

Bytes image(std::vector<Member> members) {
  return testkit::buildSfxImage(smallSpec(std::move(members)));
}

void imageSeeds() {
  using testkit::dirMember;
  using testkit::fileMember;
  const std::string t = "fuzz_image";

  seed(t, "everything",
       image({fileMember("!", bytes(NOTICE_TEXT), '5'), dirMember("docs"),
              fileMember("a.bin", pattern(3000, 2), '7', "docs"), fileMember("empty.txt", {}, '0'),
              fileMember("s.txt", pattern(300, 3), '0'),
              fileMember("four.txt", pattern(900, 4), '4'),
              fileMember("six.txt", pattern(1200, 5), '6', "docs/deeper")}));
  for (char method : std::string("04567"))
    seed(t, std::string("method-") + method,
         image({fileMember("file.dat", pattern(2500, method), method)}));
  seed(t, "directories",
       image({dirMember("a"), dirMember("a/b/c"), fileMember("x.txt", pattern(50), '5', "a/b"),
              dirMember("empty/")}));
  seed(t, "shift-jis-names",
       image({fileMember(HYOU + ".txt", pattern(200, 8), '5'),
              fileMember(HYOUJI + ".txt", pattern(300, 9), '6', SOFUTO),
              fileMember(HANKAKU + ".txt", pattern(100, 10), '0', HYOU + "/" + HANKAKU),
              fileMember("back\\slash.txt", pattern(60, 11), '5')}));
  {
    Member raw = fileMember("raw.txt", pattern(80, 12), '5');
    raw.rawDir = "one\xFFtwo\\three/";
    seed(t, "mixed-separators", image({raw}));
  }
  seed(t, "window-wrap",
       image({fileMember("wrap6.bin", repeated(70000, 1000), '6'),
              fileMember("wrap7.bin", repeated(140000, 3001), '7')}));
  seed(t, "small-blocks",
       image({blockMember("blocks.txt", '5', tokens(500, 400, 13), 7),
              blockMember("literals.txt", '7', tokens(2000, 0, 14), 65536)}));
  {
    Member readOnly = fileMember("ro.txt", pattern(100, 15), '5');
    readOnly.extAttributes = 0x01;
    readOnly.fileTimes = std::array<uint64_t, 3>{130000000000000000ull, 131000000000000000ull,
                                                 132000000000000000ull};
    Member big = fileMember("sizes64.txt", pattern(500, 16), '6');
    big.sizes64 = true;
    Member old = fileMember("old.txt", pattern(20, 17), '0');
    old.unixTime = 0x80000000u;
    old.osId = 'U';
    auto imageSpec = smallSpec({readOnly, big, old, fileMember("ro.txt", pattern(120, 18), '5'),
                                dirMember("clash"), fileMember("clash", pattern(10), '0')});
    imageSpec.flags = testkit::kFlagRestoreAttributes | testkit::kFlagOverwrite;
    seed(t, "attributes-times-overwrite", testkit::buildSfxImage(imageSpec));
  }
  {
    auto imageSpec = smallSpec({fileMember("setup.exe", pattern(100, 19), '5')});
    imageSpec.title = "\x83\x65\x83\x58\x83\x67";
    imageSpec.message = "\x89\xF0\x93\x80\x90\xE6\x82\xF0\x8E\x77\x92\xE8";
    imageSpec.defaultDir = "%TEMP%\\kasumiro %ExtractDirX%";
    imageSpec.prompt = "prompt";
    imageSpec.runCommand = "\"%ExtractDir%\\setup.exe\" /s %SystemDir% %ProgramFilesDir%";
    seed(t, "configuration", testkit::buildSfxImage(imageSpec));
  }
  // Names that try to leave the destination or to name a device: the
  // extraction must keep them inside, and mutations start from them.
  {
    Member raw = fileMember("x.txt", pattern(10, 22), '0');
    raw.rawDir = "..\xFF..\xFF";
    seed(t, "hostile-names",
         image({fileMember("../up.txt", pattern(10, 23), '0'),
                fileMember("..\\back.txt", pattern(10), '0'),
                fileMember("a/../../b.txt", pattern(10, 24), '5'),
                fileMember(". ./dots.txt", {}, '0'), fileMember("x", pattern(10, 25), '0', ".."),
                raw, dirMember("../../d"), fileMember("C:\\windows\\x.dll", pattern(10, 26), '0'),
                fileMember("con.txt", {}, '0'),
                fileMember(HYOU + "\\..\\" + HYOU + ".txt", pattern(10, 27), '0')}));
  }
  // Names in UTF-16 records (0x44, 0x45) beside CP932 ones, hostile too.
  {
    auto utf16 = [](const std::u16string& text) {
      Bytes bytes;
      for (char16_t c : text) bytes.insert(bytes.end(), {uint8_t(c), uint8_t(c >> 8)});
      return bytes;
    };
    auto unicode = [&](const std::u16string& name, const std::u16string& dir) {
      Member m = fileMember("fallback.txt", pattern(10, 28), '0', "fallback");
      m.extra.push_back(testkit::ExtHeader{0x44, utf16(name), {}});
      if (!dir.empty()) m.extra.push_back(testkit::ExtHeader{0x45, utf16(dir), {}});
      return m;
    };
    seed(t, "unicode-names",
         image({unicode(u"R\u00e9sum\u00e9.txt", u"\u4e2d\u6587\uffff"),
                unicode(u"..\\x", u"a\uffff..\uffff..\uffff"), unicode(u"\u301c", u"/"),
                unicode(u"CON.txt", u"\U0001F600\uffff"), unicode(u"a\u2215b", u"")}));
  }
  seed(t, "empty-archive", image({}));
  seed(
      t, "notice-later",
      image({fileMember("first.txt", pattern(40), '0'), fileMember("!", bytes(NOTICE_TEXT), '0')}));
  seed(t, "notice-stored",
       image({fileMember("!", bytes(NOTICE_TEXT + NOTICE_TEXT), '0'),
              fileMember("a.txt", pattern(30), '5')}));
  seed(t, "notice-in-directory", image({fileMember("!", bytes(NOTICE_TEXT), '6', "d")}));
  seed(t, "notice-long", image({fileMember("!", repeated(5000, 70), '7')}));
  {
    // Members whose data holds a whole member: every view must step over it.
    const Bytes inner = testkit::buildMember(fileMember("inner.txt", pattern(30, 31), '0'));
    Member dir = dirMember("carrier");
    dir.payload = inner;
    dir.compressedSize32 = static_cast<uint32_t>(inner.size());
    Member stored = fileMember("stored.bin", inner, '0');
    seed(t, "members-inside-data",
         image({dir, stored, fileMember("after.txt", pattern(20, 32), '5')}));
  }
  {
    auto imageSpec = smallSpec({fileMember("far.txt", pattern(700, 20), '5')});
    imageSpec.archiveOffset = testkit::kDefaultArchiveOffset;
    seed(t, "usual-offset", testkit::buildSfxImage(imageSpec));
  }
}

// fuzz_decoder: method and mode byte, 20-bit size, stream.
Bytes decoderSeed(char method, unsigned flags, const Bytes& data, const Bytes& stream) {
  Bytes out;
  out.push_back(static_cast<uint8_t>((method - '4') | flags));
  out.push_back(static_cast<uint8_t>(data.size()));
  out.push_back(static_cast<uint8_t>(data.size() >> 8));
  out.push_back(static_cast<uint8_t>((data.size() >> 16) & 0x0F));
  out.insert(out.end(), stream.begin(), stream.end());
  return out;
}

void decoderSeeds() {
  const std::string t = "fuzz_decoder";
  for (char method : std::string("4567")) {
    const std::string m(1, method);
    Bytes text = pattern(3000, method);
    seed(t, "text-" + m, decoderSeed(method, 0, text, testkit::compress(method, text)));
    Bytes wrap = repeated(150000, 777 + method);
    seed(t, "wrap-" + m, decoderSeed(method, 0, wrap, testkit::compress(method, wrap)));
    seed(t, "stop-" + m, decoderSeed(method, 4, wrap, testkit::compress(method, wrap)));
    const auto small = tokens(200, 60, method + 1);
    seed(t, "tiny-blocks-" + m,
         decoderSeed(method, 0, testkit::expandTokens(small), blocks(method, small, 3)));
  }
  // One block of 65536 codes: its size field reads 0.
  {
    Bytes few(65536);
    std::vector<testkit::Token> literals;
    for (size_t i = 0; i < few.size(); ++i) {
      few[i] = "ab\n "[(i * 7 + i / 13) % 4];
      literals.push_back(testkit::Token::literal(few[i]));
    }
    seed(t, "block-of-65536", decoderSeed('5', 0, few, blocks('5', literals, 65536)));
  }
  // Single-symbol codes: a run of one literal, and matches of one length.
  {
    testkit::BitWriter out;
    testkit::BlockSpec block;
    block.chars = testkit::CodeSpec::singleSymbol('A');
    block.positions = testkit::CodeSpec::singleSymbol(0);
    block.tokens.assign(500, testkit::Token::literal('A'));
    testkit::writeBlock(out, block, '5');
    seed(t, "single-literal", decoderSeed('5', 0, Bytes(500, 'A'), out.bytes()));
  }
  {
    testkit::BitWriter out;
    testkit::BlockSpec block;
    block.tokens.push_back(testkit::Token::literal('z'));
    for (int i = 0; i < 300; ++i) block.tokens.push_back(testkit::Token::match(256, 1));
    testkit::writeBlock(out, block, '7');
    seed(t, "long-matches", decoderSeed('7', 0, Bytes(1 + 300 * 256, 'z'), out.bytes()));
  }
  seed(t, "empty", decoderSeed('6', 0, {}, {}));
  seed(t, "short-read", decoderSeed('5', 8, pattern(2000), testkit::compress('5', pattern(2000))));
}

// fuzz_huffman: mode byte, fill byte, lengths or tree choices.
void huffmanSeeds() {
  const std::string t = "fuzz_huffman";
  const unsigned alphabets[4] = {19, 14, 17, 510};
  for (unsigned a = 0; a < 4; ++a) {
    for (unsigned wide = 0; wide < 2; ++wide) {
      const std::string tag = std::to_string(alphabets[a]) + (wide ? "-12" : "-8");
      std::vector<uint32_t> freqs(alphabets[a]);
      uint32_t f = 1;
      for (size_t s = 0; s < freqs.size(); ++s) {
        freqs[s] = (s % 3 == 0) ? 0 : f;
        f = f < 100000 ? f * 2 + 1 : (f % 7) + 1;
      }
      const Bytes lengths = [&] {
        auto l = testkit::buildCodeLengths(freqs, 16);
        return Bytes(l.begin(), l.end());
      }();
      for (unsigned form = 0; form < 2; ++form) {
        Bytes s{static_cast<uint8_t>(a | wide << 2 | form << 3), 0x00};
        s.insert(s.end(), lengths.begin(), lengths.end());
        seed(t, "lengths-" + tag + "-form" + std::to_string(form), s);
      }
      Bytes grown{static_cast<uint8_t>(a | wide << 2 | 2 << 3), 0x03};
      Bytes choices = pattern(600, a * 2 + wide);
      grown.insert(grown.end(), choices.begin(), choices.end());
      seed(t, "grown-" + tag, grown);
      grown[0] = static_cast<uint8_t>(a | wide << 2 | 3 << 3);
      seed(t, "grown-changed-" + tag, grown);
    }
  }
  // Two codes of nine bits below one node, all zero lengths.
  Bytes nine{0x00, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8, 9, 9};
  seed(t, "nine-bit-pair", nine);
  seed(t, "no-code", Bytes{0x07, 0x11});
}

void memberPathSeeds() {
  const std::string t = "fuzz_member_path";
  const std::vector<std::string> names = {
      "a/b.txt",
      "dir\xFFsub\xFF"
      "file.txt",
      HYOU + "\\a.txt",
      SOFUTO + "\xFF" + HYOUJI + ".txt",
      "..\\..\\evil.txt",
      "/etc/passwd",
      "C:\\windows\\x.dll",
      "a/../../b",
      ". ./x",
      ". .",
      "...",
      "my.long.filename.txt",
      "dir.with.dots/file.html",
      HANKAKU + ".txt",
      "a b+c;d=e[f].txt",
      "con:stream",
      std::string(300, 'x'),
      std::string(120, 'd') + "/" + std::string(130, 'e'),
      "ends-in-lead\x81",
      "\x81/lead-before-slash",
      "\x81:colon-after-lead",
      "\\\\server\\share\\x",
      "trailing/",
      // Escapes: valid ones, and forged ones for '/', '\\', '.' and U+0000.
      "\xFD\xA3\xA0\xBC.txt/\xFE\xA0\xBF\xB8\xA0",
      "a\xFD\xA0\xA0\xCF"
      "b\xFD\xA0\xA1\xBC"
      "c",
      "\xFD\xA0\xA0\xCE\xFD\xA0\xA0\xCE/x",
      "\xFD\xA0\xA0\xA0\x81\xFD\xA3\xA0\xBC",
  };
  for (size_t i = 0; i < names.size(); ++i) {
    Bytes s{static_cast<uint8_t>(i & 0x7F)};
    s.insert(s.end(), names[i].begin(), names[i].end());
    seed(t, "name-" + std::to_string(i), s);
  }
  // Unicode records (UTF-16LE, bit 7 of the first byte): separators of
  // every kind, parents, drives, devices, look-alikes of '/', NUL and lone
  // surrogates.
  const std::vector<std::u16string> unicode = {
      u"..\\x",
      u"a/../../b",
      u"C:x",
      u"CON.txt",
      u"a:b",
      u"x. ",
      u"a\uff0fb",
      u"a\u2215b",
      u"d\uffff..\uffffe",
      u"\u301c\uff5e",
      std::u16string(u"a\0b", 3),
      u"a\xd800",
      u"\U0001F600/\u00e9",
      std::u16string(300, u'\u6f22'),
  };
  for (size_t i = 0; i < unicode.size(); ++i) {
    Bytes s{static_cast<uint8_t>(0x80 | i)};
    for (char16_t c : unicode[i]) s.insert(s.end(), {uint8_t(c), uint8_t(c >> 8)});
    seed(t, "unicode-" + std::to_string(i), s);
  }
}

// fuzz_roundtrip: method, repeats, block size, then literals and matches.
void roundtripSeeds() {
  const std::string t = "fuzz_roundtrip";
  // Text, then matches near, far and before the member's start.
  Bytes script = pattern(1500, 21);
  for (unsigned field : {0u, 1u, 6u, 700u, 1499u, 4000u, 40000u, 65535u}) {
    const uint8_t match[] = {0xF0, static_cast<uint8_t>(field % 254),
                             static_cast<uint8_t>(field >> 8), static_cast<uint8_t>(field)};
    script.insert(script.end(), match, match + 4);
  }
  for (unsigned method = 0; method < 4; ++method) {
    Bytes s{static_cast<uint8_t>(method), 0, 4};
    s.insert(s.end(), script.begin(), script.end());
    seed(t, "text-" + std::to_string(method), s);
    Bytes w{static_cast<uint8_t>(method), 90, static_cast<uint8_t>(method)};
    Bytes unit = pattern(800, method + 30);
    w.insert(w.end(), unit.begin(), unit.end());
    seed(t, "repeated-" + std::to_string(method), w);
  }
  Bytes single{0x01, 3, 0};  // one code per block
  single.insert(single.end(), script.begin(), script.end());
  seed(t, "one-code-blocks", single);
}

void encoderSeeds() {
  const std::string t = "fuzz_encoder";
  const Bytes text = pattern(1500, 41);
  // Every level of every method, whole and in small pieces.
  for (unsigned choice = 0; choice < 27; ++choice) {
    Bytes s{static_cast<uint8_t>(choice), static_cast<uint8_t>(choice * 7), 20};
    s.insert(s.end(), text.begin(), text.end());
    seed(t, "text-" + std::to_string(choice), s);
  }
  Bytes runs{2, 200, 3};
  runs.insert(runs.end(), 300, 0);
  seed(t, "zeros", runs);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIRECTORY\n", argv[0]);
    return 2;
  }
  corpusRoot = argv[1];
  makeDirectory(corpusRoot);
  try {
    imageSeeds();
    decoderSeeds();
    huffmanSeeds();
    memberPathSeeds();
    roundtripSeeds();
    encoderSeeds();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_corpus: %s\n", e.what());
    return 1;
  }
  std::printf("make_corpus: %d seeds in %s\n", written, corpusRoot.c_str());
  return 0;
}
