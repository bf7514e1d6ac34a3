// Archives made by our encoder and header writer (through kasumiro a)
// in the hands of the other LZH tools: lhasa, bsdtar, 7-Zip and jlha test
// them and extract them byte for byte, and so does our own runner.
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

#include "support/sample_data.h"
#include "support/sfx_fixture.h"
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

}  // namespace
