// The encoder and the header writer, judged by our own reader: archives made
// here go through the Scan and Extract passes (the decoder and the header
// reader) and must come out byte for byte.
#include "lzh/lzh_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "extract/entry_header.h"
#include "extract/passes.h"
#include "lzh/header_writer.h"
#include "startup/sfx_state.h"
#include "support/lzh_writer.h"
#include "support/sample_data.h"
#include "support/scripted_host.h"
#include "support/sfx_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct MemorySink final : LzhEncoderSink {
  Bytes bytes;
  size_t refuseAfter = SIZE_MAX;  // bytes accepted before put fails
  bool put(const uint8_t* data, size_t size) override {
    if (bytes.size() + size > refuseAfter) return false;
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
};

struct Encoded {
  bool ok;
  Bytes bytes;
  uint16_t crc;
};

Encoded encode(LzhEncoder& encoder, char method, int level, const Bytes& data,
               size_t piece = SIZE_MAX, uint64_t limit = UINT64_MAX) {
  MemorySink sink;
  EXPECT_TRUE(encoder.begin(method, level, &sink, limit));
  for (size_t at = 0; at < data.size(); at += std::min(piece, data.size() - at))
    encoder.write(data.data() + at, std::min(piece, data.size() - at));
  const bool ok = encoder.finish();
  EXPECT_EQ(encoder.inputSize(), data.size());
  if (ok) {
    EXPECT_EQ(encoder.outputSize(), sink.bytes.size());
  }
  return {ok, std::move(sink.bytes), encoder.crc()};
}

// Appends one member as an archiver does: compressed when that shrinks it,
// stored otherwise.
char appendFile(Bytes& archive, LzhEncoder& encoder, const std::string& dir,
                const std::string& name, const Bytes& data, char method, int level) {
  Encoded e = encode(encoder, method, level, data, SIZE_MAX, data.empty() ? 0 : data.size() - 1);
  EXPECT_EQ(e.crc, testkit::crc16(data));
  const bool shrunk = e.ok && e.bytes.size() < data.size();
  LzhHeaderFields f;
  f.method = shrunk ? method : '0';
  const Bytes& payload = shrunk ? e.bytes : data;
  f.compressedSize = payload.size();
  f.uncompressedSize = data.size();
  f.dataCrc = e.crc;
  f.unixTime = 1700000000;
  f.directory = dir;
  f.fileName = name;
  uint8_t header[65536];
  const size_t size = writeLzhHeader(f, header, sizeof header);
  EXPECT_GT(size, 0u);
  archive.insert(archive.end(), header, header + size);
  archive.insert(archive.end(), payload.begin(), payload.end());
  return f.method;
}

void appendDirectory(Bytes& archive, const std::string& dir) {
  LzhHeaderFields f;
  f.method = 'd';
  f.attributes = LZH_ATTRIBUTE_DIRECTORY;
  f.directory = dir;
  uint8_t header[65536];
  const size_t size = writeLzhHeader(f, header, sizeof header);
  archive.insert(archive.end(), header, header + size);
}

// The error boxes the passes showed, for failure messages.
std::string boxes() {
  std::string all;
  for (const ScriptedBox& box : scriptedHost.errorBoxes) all += box.text + "\n";
  return all;
}

class LzhEncoderTest : public SfxTest {
 protected:
  // Extracts the archive (end marker added) with the Scan and Extract passes.
  bool extract(Bytes archive) {
    archive.push_back(LZH_ARCHIVE_END);
    testkit::SfxImageParts parts;
    parts.archive = std::move(archive);
    if (!loadImage(testkit::buildSfxImage(parts))) return false;
    setDestination();
    return scanAndExtract();
  }

  LzhEncoder encoder;  // one for every member of a test: reuse is part of the contract
};

struct RoundTrip {
  std::string name;
  Bytes data;
  char method;
  int level;
  char expectedMethod;  // '0' when it must be stored
};

std::vector<RoundTrip> roundTrips() {
  using namespace testkit;
  std::vector<RoundTrip> cases = {
      {"empty", {}, '5', 5, '0'},
      {"one byte", {0x5C}, '7', 5, '0'},
      {"text", sampleText(2 << 20, 1), '7', LZH_DEFAULT_LEVEL, '7'},
      {"binary", sampleBinary(2 << 20, 2), '6', LZH_DEFAULT_LEVEL, '6'},
      {"text by cost", sampleText(600000, 3), '5', 9, '5'},
      {"binary by cost", sampleBinary(600000, 4), '7', 8, '7'},
      {"noise", sampleNoise(300000, 5), '5', 5, '0'},
      {"zeros greedy", Bytes(5 << 20, 0), '7', 1, '7'},
      {"zeros by cost", Bytes(2 << 20, 0), '6', 9, '6'},
  };
  // Every level of every method on data with both short and long matches.
  const Bytes mixed = [] {
    Bytes m = sampleText(120000, 6);
    const Bytes b = sampleBinary(120000, 7);
    m.insert(m.end(), b.begin(), b.end());
    return m;
  }();
  for (char method : {'5', '6', '7'})
    for (int level = LZH_MIN_LEVEL; level <= LZH_MAX_LEVEL; ++level)
      cases.push_back({std::string("mixed -lh") + method + "- level " + std::to_string(level),
                       mixed, method, level, method});
  // Inputs around each window size, repeating with a period just inside or
  // outside the window: only matches exactly that far back compress them.
  const struct {
    char method;
    size_t window;
  } windows[] = {{'5', 8192}, {'6', 32768}, {'7', 65536}};
  for (const auto& w : windows) {
    for (size_t size : {w.window - 1, w.window, w.window + 1})
      cases.push_back({"-lh" + std::string(1, w.method) + "- " + std::to_string(size) + " bytes",
                       sampleText(size, size), w.method, 5, w.method});
    for (int level : {5, 9}) {
      for (size_t period : {w.window - 1, w.window, w.window + 1}) {
        // -lh7- reaches 65535 bytes back, the others their whole window.
        const bool reachable = period <= std::min<size_t>(w.window, 65535);
        cases.push_back({"-lh" + std::string(1, w.method) + "- period " + std::to_string(period) +
                             " level " + std::to_string(level),
                         samplePeriodic(3 * period + 1, period, period), w.method, level,
                         reachable ? w.method : '0'});
      }
    }
  }
  return cases;
}

TEST_F(LzhEncoderTest, ArchivesRoundTripThroughTheExtractionPasses) {
  const std::vector<RoundTrip> cases = roundTrips();
  Bytes archive;
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    const char method = appendFile(archive, encoder, "", "f" + std::to_string(i), cases[i].data,
                                   cases[i].method, cases[i].level);
    EXPECT_EQ(method, cases[i].expectedMethod);
  }
  ASSERT_TRUE(extract(archive)) << boxes();
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_TRUE(contents("out/f" + std::to_string(i)) == cases[i].data);
  }
}

TEST_F(LzhEncoderTest, FoldersAndShiftJisNamesWithTrailByte5C) {
  Bytes archive;
  const std::string so = "\x83\x5C", hyo = "\x95\x5C";  // ソ and 表 in CP932
  appendDirectory(archive, "nested");
  appendDirectory(archive, "nested/a/b/c/");
  appendDirectory(archive, "nested/empty");
  appendDirectory(archive, so + "\x83t\x83g");  // ソフト
  const Bytes deep = testkit::sampleText(70000, 8), tables = testkit::sampleBinary(50000, 9);
  appendFile(archive, encoder, "nested/a/b/c", "deep.txt", deep, '6', 5);
  appendFile(archive, encoder, "/nested//a/", hyo + ".bin", tables, '7', 9);
  appendFile(archive, encoder, so + "\x83t\x83g", so + ".txt", deep, '5', 2);
  ASSERT_TRUE(extract(archive)) << boxes();
  const std::vector<std::string> expected = {
      "nested/",
      "nested/a/",
      "nested/a/b/",
      "nested/a/b/c/",
      "nested/a/b/c/deep.txt",
      "nested/a/\xe8\xa1\xa8.bin",
      "nested/empty/",
      "\xe3\x82\xbd\xe3\x83\x95\xe3\x83\x88/",
      "\xe3\x82\xbd\xe3\x83\x95\xe3\x83\x88/\xe3\x82\xbd.txt"};
  std::vector<std::string> sorted = expected;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(tree(), sorted);
  EXPECT_TRUE(contents("out/nested/a/b/c/deep.txt") == deep);
  EXPECT_TRUE(contents("out/nested/a/\xe8\xa1\xa8.bin") == tables);
  EXPECT_TRUE(contents("out/\xe3\x82\xbd\xe3\x83\x95\xe3\x83\x88/\xe3\x82\xbd.txt") == deep);
}

// The input is buffered and parsed in the same steps however it arrives.
TEST_F(LzhEncoderTest, OutputDoesNotDependOnHowTheInputIsCut) {
  // Enough for the buffer to slide once.
  Bytes data = testkit::sampleText(700000, 10);
  const Bytes binary = testkit::sampleBinary(600000, 11);
  data.insert(data.end(), binary.begin(), binary.end());
  for (int level : {3, 7}) {
    SCOPED_TRACE(level);
    const Encoded whole = encode(encoder, '7', level, data);
    ASSERT_TRUE(whole.ok);
    for (size_t piece : {size_t{1}, size_t{4093}, size_t{(1 << 20) + 1}}) {
      SCOPED_TRACE(piece);
      const Encoded cut = encode(encoder, '7', level, data, piece);
      EXPECT_TRUE(cut.bytes == whole.bytes);
      EXPECT_EQ(cut.crc, whole.crc);
    }
  }
}

TEST_F(LzhEncoderTest, StopsOnceTheOutputPassesTheLimitOrTheSinkRefuses) {
  const Bytes noise = testkit::sampleNoise(1 << 20, 12);
  const Bytes text = testkit::sampleText(3 << 20, 13);
  const struct {
    const Bytes& data;
    uint64_t limit;
    bool early;  // the limit is passed long before the end of the input
  } cases[] = {{noise, noise.size() - 1, false}, {text, 50000, true}};
  for (const auto& c : cases) {
    for (int level : {1, 5, 9}) {
      SCOPED_TRACE(level);
      MemorySink sink;
      ASSERT_TRUE(encoder.begin('7', level, &sink, c.limit));
      bool accepted = true;
      size_t fed = 0;
      for (; fed < c.data.size() && accepted; fed += 65536)
        accepted = encoder.write(c.data.data() + fed, std::min<size_t>(65536, c.data.size() - fed));
      EXPECT_FALSE(encoder.finish());
      EXPECT_TRUE(encoder.outputLimitReached());
      EXPECT_FALSE(encoder.sinkFailed());
      EXPECT_GT(encoder.outputSize(), c.limit);
      EXPECT_LE(sink.bytes.size(), c.limit);
      if (c.early) {
        EXPECT_FALSE(accepted);
        EXPECT_LT(fed, c.data.size() / 2);
      }
    }
  }
  MemorySink refusing;
  refusing.refuseAfter = 100000;
  ASSERT_TRUE(encoder.begin('5', 5, &refusing));
  encoder.write(text.data(), text.size());
  EXPECT_FALSE(encoder.finish());
  EXPECT_TRUE(encoder.sinkFailed());
  EXPECT_FALSE(encoder.outputLimitReached());
  // The encoder is usable again afterwards.
  const Encoded again = encode(encoder, '5', 5, text);
  EXPECT_TRUE(again.ok);
  EXPECT_FALSE(encoder.begin('4', 5, &refusing));
  EXPECT_FALSE(encoder.write(text.data(), 1));
}

// Headers as our reader takes them: sizes, times, attributes and names.
TEST_F(LzhEncoderTest, HeaderFieldsReadBackThroughTheHeaderReader) {
  struct Case {
    std::string name;
    LzhHeaderFields fields;
    std::string directory, fileName;  // what the fields' views show
    std::string memberName;
  };
  std::vector<Case> cases;
  LzhHeaderFields big;
  big.method = '7';
  big.compressedSize = 0x123456789ULL;
  big.uncompressedSize = 0x500000001ULL;
  cases.push_back({"64-bit sizes", big, "", "big.bin", "big.bin"});
  LzhHeaderFields timed;
  timed.method = '0';
  timed.unixTime = 0x90000000u;  // after 2038: only the FILETIME is right
  timed.windowsTimes = true;
  timed.creationTime = 1;
  timed.lastWriteTime = 0x01E0000000000000ULL;
  timed.lastAccessTime = 3;
  timed.attributes = LZH_ATTRIBUTE_ARCHIVE | LZH_ATTRIBUTE_READ_ONLY;
  cases.push_back({"times and attributes", timed, "a/b", "t", "a/b/t"});
  // A header whose length is a multiple of 256 gets a padding byte: without
  // it the first byte would read as the end of the archive. 222 name bytes
  // make the stored header 256 bytes long.
  LzhHeaderFields padded;
  padded.method = '0';
  cases.push_back({"padded", padded, "", std::string(222, 'n'), std::string(222, 'n')});
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.fields.directory = c.directory;
    c.fields.fileName = c.fileName;
    Bytes archive(65536);
    archive.resize(writeLzhHeader(c.fields, archive.data(), archive.size()));
    ASSERT_FALSE(archive.empty());
    EXPECT_NE(archive[0], 0);
    EXPECT_EQ(archive.size(), lzhHeaderSize(c.fields));
    archive.push_back(LZH_ARCHIVE_END);
    testkit::SfxImageParts parts;
    parts.archive = archive;
    ASSERT_TRUE(loadImage(testkit::buildSfxImage(parts)));
    ASSERT_TRUE(openArchive());
    ASSERT_EQ(readEntryHeader(), HEADER_OK) << boxes();
    closeArchive();
    const EntryHeader& e = sfxState.entry;
    EXPECT_EQ(e.method, c.fields.method);
    EXPECT_EQ(e.compressedSize, c.fields.compressedSize);
    EXPECT_EQ(e.uncompressedSize, c.fields.uncompressedSize);
    EXPECT_EQ(e.attributes, c.fields.attributes);
    if (c.fields.windowsTimes) {
      EXPECT_EQ(e.lastWriteTime, c.fields.lastWriteTime);
    }
    EXPECT_EQ(std::string(sfxState.memberName), c.memberName);
  }
  EXPECT_EQ(lzhHeaderSize(cases[2].fields), 257u);
  LzhHeaderFields tooLong;
  const std::string huge(65530, 'x');
  tooLong.fileName = huge;
  EXPECT_EQ(lzhHeaderSize(tooLong), 0u);
  uint8_t small[30];
  EXPECT_EQ(writeLzhHeader(cases[0].fields, small, sizeof small), 0u);
}

}  // namespace
