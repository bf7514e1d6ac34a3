// Archives made by our encoder and header writer (through kasumiro a)
// in the hands of the other LZH tools: lhasa, bsdtar, 7-Zip and jlha test
// them and extract them byte for byte, and so does our own runner. The test
// kit's hand-made archives, which the rest of the suite feeds to our reader,
// go through the same tools.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/archive_builder.h"
#include "support/lzh_writer.h"
#include "support/sample_data.h"
#include "support/sfx_fixture.h"
#include "support/sfx_image.h"
#include "support/shell.h"

namespace fs = std::filesystem;
using testkit::haveCommand;
using testkit::shellQuote;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A CP932 name whose double-byte characters include the trail byte 0x5C,
// which tools that split names at '\' cut apart.
bool hasTrailByte5C(const std::string& cp932) {
  for (size_t i = 0; i < cp932.size(); ++i) {
    const uint8_t c = static_cast<uint8_t>(cp932[i]);
    if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) {
      if (i + 1 < cp932.size() && cp932[i + 1] == '\x5C') return true;
      ++i;
    }
  }
  return false;
}

// Files and directories below root, by relative path as the bytes on disk.
struct Tree {
  std::map<std::string, Bytes> files;
  std::vector<std::string> directories;
};

Tree snapshot(const fs::path& root) {
  Tree tree;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::end(it); it.increment(ec)) {
    const std::string name = fs::relative(it->path(), root).generic_string();
    if (it->is_directory())
      tree.directories.push_back(name);
    else
      tree.files[name] = readBytes(it->path());
  }
  std::sort(tree.directories.begin(), tree.directories.end());
  return tree;
}

struct Variant {
  const char* name;
  const char* options;  // of kasumiro a
};

// Greedy, lazy (the default) and cost-driven parsing across the methods.
const Variant VARIANTS[] = {
    {"lh5-default", "--method lh5"},
    {"lh6-level9", "--method lh6 -9"},
    {"lh7-level1", "--method lh7 -1"},
    {"lh7-level7", "--method lh7 -7"},
};

// How a tool names what it extracts.
enum class Names {
  Utf8,          // converted from CP932
  Cp932,         // the bytes of the archive
  DataOnlyAt5C,  // names with a 0x5C trail byte are cut apart: compare data only
};

struct Tool {
  const char* command;
  std::string test;     // run on ARCHIVE; empty: no test command
  std::string extract;  // run in the destination on ARCHIVE
  Names names;
};

const Tool TOOLS[] = {
    {"lhasa", "lhasa t ARCHIVE", "lhasa xq ARCHIVE", Names::Cp932},
    {"bsdtar", "", "bsdtar -x --options hdrcharset=CP932 -f ARCHIVE", Names::Utf8},
    {"7z", "7z t -bd ARCHIVE", "7z x -bd -y ARCHIVE", Names::DataOnlyAt5C},
    {"jlha", "jlha t ARCHIVE", "jlha xqy ARCHIVE", Names::Utf8},
};

std::string withArchive(std::string command, const fs::path& archive) {
  return command.replace(command.find("ARCHIVE"), 7, shellQuote(archive.string()));
}

class EncoderInteropTest : public ::testing::Test {
 protected:
  static inline std::string setupError;
  static inline fs::path work, source;
  static inline Tree expected;

  static fs::path archivePath(const Variant& v) { return work / (std::string(v.name) + ".lzh"); }

  static testkit::ShellResult run(const std::string& command) {
    return testkit::runShell(command, work.string());
  }

  static void SetUpTestSuite() {
    char pattern[] = "/tmp/kasumiro-encoder-XXXXXX";
    if (!mkdtemp(pattern)) {
      setupError = "cannot make a temporary directory";
      return;
    }
    work = pattern;
    source = work / "src";
    setupError = makeSourceTree();
    if (!setupError.empty()) return;
    expected = snapshot(source);
    for (const Variant& v : VARIANTS) {
      const auto r =
          run("cd " + shellQuote(source.string()) + " && " + shellQuote(KASUMIRO_RUNNER) +
              " a -q " + v.options + " " + shellQuote(archivePath(v).string()) + " *");
      if (r.status != 0) {
        setupError = std::string("kasumiro a failed for ") + v.name + ": " + r.err;
        return;
      }
    }
  }

  static void TearDownTestSuite() {
    std::error_code ec;
    if (!work.empty()) fs::remove_all(work, ec);
  }

  void SetUp() override { ASSERT_TRUE(setupError.empty()) << setupError; }

  static std::string makeSourceTree() {
    using namespace testkit;
    const std::string so = "\xe3\x82\xbd";  // katakana so: CP932 83 5C
    const std::string sofuto = so + "\xe3\x83\x95\xe3\x83\x88";
    std::vector<std::pair<std::string, Bytes>> files = {
        {"empty.txt", {}},
        {"one.bin", {0x5C}},
        {"text.txt", sampleText(3 << 20, 21)},
        {"binary.bin", sampleBinary(2 << 20, 22)},
        {"noise.bin", sampleNoise(200000, 23)},
        {"zeros.bin", Bytes(3 << 20, 0)},
        {"nested/a/b/c/deep.txt", sampleText(100000, 24)},
        {"nested/a/top.bin", sampleBinary(70000, 25)},
        {"\xe8\xa1\xa8.txt", sampleText(3000, 26)},  // CP932 95 5C
        {sofuto + "/" + so + ".txt", sampleText(5000, 27)},
    };
    // Sizes around each window, and data whose matches lie exactly at the
    // longest distances.
    for (size_t window : {8192, 32768, 65536}) {
      for (size_t size : {window - 1, window, window + 1})
        files.push_back({"window/" + std::to_string(size) + ".txt", sampleText(size, size)});
      for (size_t period : {window - 1, window})
        files.push_back({"window/period-" + std::to_string(period) + ".bin",
                         samplePeriodic(3 * period + 1, period, period)});
    }
    std::error_code ec;
    fs::create_directories(source / "nested" / "empty", ec);
    for (const auto& [name, content] : files) {
      fs::create_directories((source / name).parent_path(), ec);
      std::ofstream out(source / name, std::ios::binary);
      out.write(reinterpret_cast<const char*>(content.data()),
                static_cast<std::streamsize>(content.size()));
      if (!out) return "cannot write " + name;
    }
    return "";
  }

  // The extracted tree against the source, by the tool's way of naming.
  static void expectSameTree(const fs::path& dest, Names names) {
    const Tree actual = snapshot(dest);
    for (const auto& [utf8, content] : expected.files) {
      SCOPED_TRACE(utf8);
      const std::string stored = cp932(utf8);
      if (names == Names::DataOnlyAt5C && hasTrailByte5C(stored)) {
        bool found = false;
        for (const auto& file : actual.files) found |= file.second == content;
        EXPECT_TRUE(found) << "no extracted file holds its data";
        continue;
      }
      const auto it = actual.files.find(names == Names::Cp932 ? stored : utf8);
      if (it == actual.files.end())
        ADD_FAILURE() << "missing";
      else
        EXPECT_TRUE(it->second == content) << "contents differ";
    }
    EXPECT_EQ(actual.files.size(), expected.files.size());
    EXPECT_TRUE(std::count(actual.directories.begin(), actual.directories.end(), "nested/empty"))
        << "the empty folder is missing";
  }
};

TEST_F(EncoderInteropTest, OurRunnerExtractsByteForByteWithTimes) {
  ASSERT_EQ(expected.files.size(), 25u);
  for (const Variant& v : VARIANTS) {
    SCOPED_TRACE(v.name);
    const fs::path sfx = work / (std::string(v.name) + ".exe");
    const fs::path dest = work / (std::string("runner-") + v.name);
    const auto wrap = run(shellQuote(KASUMIRO_RUNNER) + " a -q --from " +
                          shellQuote(archivePath(v).string()) + " " + shellQuote(sfx.string()));
    ASSERT_EQ(wrap.status, 0) << wrap.err;
    const auto r = run("TZ=JST-9 " + shellQuote(KASUMIRO_RUNNER) + " x -y " +
                       shellQuote(sfx.string()) + " " + shellQuote(dest.string()));
    EXPECT_EQ(r.status, 0) << r.err;
    expectSameTree(dest, Names::Utf8);
    for (const auto& file : expected.files) {
      struct stat in, out;
      ASSERT_EQ(stat((source / file.first).c_str(), &in), 0);
      if (stat((dest / file.first).c_str(), &out) == 0) {
        EXPECT_EQ(out.st_mtim.tv_sec, in.st_mtim.tv_sec) << file.first;
      }
    }
  }
}

TEST_F(EncoderInteropTest, OtherToolsTestAndExtractByteForByte) {
  std::string missing;
  for (const Tool& tool : TOOLS) {
    if (!haveCommand(tool.command)) {
      missing += std::string(" ") + tool.command;
      continue;
    }
    for (const Variant& v : VARIANTS) {
      SCOPED_TRACE(std::string(tool.command) + " on " + v.name);
      if (!tool.test.empty()) {
        const auto t = run(withArchive(tool.test, archivePath(v)));
        EXPECT_EQ(t.status, 0) << t.out << t.err;
      }
      const fs::path dest = work / (std::string(tool.command) + "-" + v.name);
      fs::create_directories(dest);
      const auto x = run("cd " + shellQuote(dest.string()) + " && " +
                         withArchive(tool.extract, archivePath(v)));
      EXPECT_EQ(x.status, 0) << x.out << x.err;
      expectSameTree(dest, tool.names);
    }
  }
  if (!missing.empty()) GTEST_SKIP() << "not installed:" << missing;
}

// The kit's level-2 headers with every record it writes, blocks built from
// explicit codes and its self-extracting image read back as built: lhasa,
// 7-Zip and bsdtar take them apart on their own, so a kit that wrote a field
// or a code differently from the format would show here and not only as an
// agreement with our own reader.
TEST(TestkitOracleTest, OtherToolsReadTheKitsArchivesAsBuilt) {
  using namespace testkit;
  using testkit::Token;
  auto handBuilt = [](const char* name, char method, const std::vector<BlockSpec>& blocks) {
    BitWriter w;
    std::vector<Token> all;
    for (const BlockSpec& b : blocks) {
      writeBlock(w, b, method);
      all.insert(all.end(), b.tokens.begin(), b.tokens.end());
    }
    Member m = fileMember(name, expandTokens(all), method);
    m.payload = w.bytes();
    return m;
  };
  std::vector<Token> prefix;  // distinct literals for the matches to copy
  for (int i = 0; i < 64; ++i) prefix.push_back(Token::literal(static_cast<uint8_t>(i * 3)));
  auto withPrefix = [&](std::vector<Token> tail) {
    tail.insert(tail.begin(), prefix.begin(), prefix.end());
    return tail;
  };

  BlockSpec flat;  // every literal 8 bits: the pre-tree has one symbol
  flat.chars = CodeSpec::fromLengths(std::vector<uint8_t>(256, 8));
  for (int i = 0; i < 600; ++i) flat.tokens.push_back(Token::literal(static_cast<uint8_t>(i * 7)));
  BlockSpec deep;  // character and position codes of 1 to 16 bits
  std::vector<uint8_t> chars(257, 0), positions(17, 0);
  for (int k = 0; k < 16; ++k) chars[static_cast<size_t>('a' + k)] = static_cast<uint8_t>(k + 1);
  for (int k = 0; k < 15; ++k) positions[static_cast<size_t>(k)] = static_cast<uint8_t>(k + 1);
  chars[256] = positions[15] = positions[16] = 16;
  deep.chars = CodeSpec::fromLengths(chars);
  deep.positions = CodeSpec::fromLengths(positions);
  for (int i = 0; i < 3000; ++i) deep.tokens.push_back(Token::literal('a' + (i * i + i / 7) % 16));
  for (uint32_t d : {1u, 3u, 2000u, 1000u, 2999u}) deep.tokens.push_back(Token::match(3, d));
  BlockSpec sparse;  // position lengths 1, 2, 2 on symbols 0, 4 and 5
  sparse.positions = CodeSpec::fromLengths({1, 0, 0, 0, 2, 2});
  sparse.tokens = withPrefix({});
  for (uint32_t d : {1u, 9u, 16u, 1u, 31u, 12u}) sparse.tokens.push_back(Token::match(10, d));
  BlockSpec extra;  // one position symbol, still followed by its extra bits
  extra.positions = CodeSpec::singleSymbol(6);
  extra.tokens = withPrefix({Token::match(256, 33), Token::match(256, 64), Token::match(5, 40)});
  BlockSpec one, last;  // between two blocks, one whose only code is a literal
  one.tokens = {Token::literal('z')};
  last.tokens = {Token::literal('a'), Token::match(200, 1), Token::match(5, 60)};

  const auto filetime = [](uint64_t unixTime) { return (unixTime + 11644473600u) * 10000000u; };
  Member stamped = fileMember("stamped.txt", sampleText(3000, 31), '5', "data");
  stamped.fileTimes = {{filetime(999999000), filetime(1000000000), filetime(1000001000)}};
  Member readOnly = fileMember("read-only.txt", sampleText(200, 32), '0');
  readOnly.extAttributes = 0x21;
  Member sizes = fileMember("sizes64.bin", sampleBinary(5000, 33), '6');
  sizes.sizes64 = true;  // the 32-bit sizes say 0
  sizes.compressedSize32 = sizes.uncompressedSize32 = 0;
  Member crcLast = fileMember("crc-last.txt", sampleText(100, 34), '7', "data/nested");
  crcLast.crcRecordLast = true;
  crcLast.extra.push_back(ExtHeader{0x7F, {1, 2, 3, 4, 5}, {}});  // unknown: skipped

  struct Case {
    const char* what;
    std::vector<Member> members;
    bool image;         // inside a self-extracting image
    std::string tools;  // of TOOLS
  };
  const Case cases[] = {
      {"header records",
       {dirMember("empty/dir"), fileMember("plain.txt", sampleText(900, 30)), stamped, readOnly,
        sizes, crcLast},
       false,
       "bsdtar"},
      {"blocks from explicit codes",
       {handBuilt("flat.bin", '5', {flat}), handBuilt("deep.bin", '7', {deep}),
        handBuilt("sparse.bin", '7', {sparse}), handBuilt("extra.bin", '5', {extra})},
       false,
       "lhasa 7z bsdtar"},
      // libarchive refuses a character code sent in the single-symbol form.
      {"a block of one literal", {handBuilt("one.bin", '6', {flat, one, last})}, false, "lhasa 7z"},
      {"image", {fileMember("inside.txt", sampleText(40000, 35), '6', "dir")}, true, "lhasa 7z"},
  };

  char pattern[] = "/tmp/kasumiro-testkit-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path work = pattern;
  std::string missing;
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::map<std::string, Bytes> files;
    std::map<std::string, const Member*> members;
    std::vector<std::string> directories;
    for (const Member& m : c.members) {
      if (m.method == 'd') {
        directories.push_back(m.dir);
        continue;
      }
      const std::string path = m.dir.empty() ? m.name : m.dir + "/" + m.name;
      files[path] = m.data;
      members[path] = &m;
    }
    SfxImageParts image;
    image.archive = buildArchive(c.members);
    const fs::path archive =
        work / ("case" + std::to_string(index++) + (c.image ? ".exe" : ".lzh"));
    writeFile(archive.string(), c.image ? buildSfxImage(image) : image.archive);
    for (const Tool& tool : TOOLS) {
      if (c.tools.find(tool.command) == std::string::npos) continue;
      if (!haveCommand(tool.command)) {
        missing += std::string(" ") + tool.command;
        continue;
      }
      SCOPED_TRACE(tool.command);
      if (!tool.test.empty()) {
        const auto t = runShell(withArchive(tool.test, archive), work.string());
        EXPECT_EQ(t.status, 0) << t.out << t.err;
      }
      const fs::path dest = archive.string() + "-" + tool.command;
      fs::create_directories(dest);
      const auto x =
          runShell("cd " + shellQuote(dest.string()) + " && " + withArchive(tool.extract, archive),
                   work.string());
      EXPECT_EQ(x.status, 0) << x.out << x.err;
      const Tree got = snapshot(dest);
      EXPECT_EQ(got.files.size(), files.size());
      for (const auto& [path, data] : files) {
        const auto it = got.files.find(path);
        EXPECT_TRUE(it != got.files.end() && it->second == data) << path << " missing or differs";
      }
      for (const std::string& dir : directories)
        EXPECT_TRUE(std::count(got.directories.begin(), got.directories.end(), dir)) << dir;
      if (std::string(tool.command) != "bsdtar") continue;
      // bsdtar takes the time from 0x41 before the Unix time, and 0x40.
      for (const auto& [path, m] : members) {
        struct stat st {};
        ASSERT_EQ(stat((dest / path).c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mtime, m->fileTimes ? 1000000000 : m->unixTime) << path;
        EXPECT_EQ((st.st_mode & S_IWUSR) == 0, (m->extAttributes.value_or(0) & 1) != 0) << path;
      }
    }
  }
  std::error_code ec;
  fs::remove_all(work, ec);
  if (!missing.empty()) GTEST_SKIP() << "not installed:" << missing;
}

}  // namespace
