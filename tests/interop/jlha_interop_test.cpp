// Interoperability with archives made by jlha (level-2 headers, -lh5-, -lh6-,
// -lh7- and stored members): every archive is put behind the stub with
// kasumiro a --from, extracted with the runner and compared file by file with
// the originals; the runner's test command is checked against lhasa and 7z on
// intact and on damaged copies.
//
// Note: on Debian /usr/bin/lha is usually jlha through the alternatives
// system, and jlha does not notice damaged member data, so lhasa is called by
// its own name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------- utilities

std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

Bytes readBytes(const fs::path& path) {
  Bytes bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return bytes;
  uint8_t chunk[1 << 16];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + n);
  std::fclose(f);
  return bytes;
}

std::string readText(const fs::path& path) {
  Bytes bytes = readBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

bool writeBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

struct RunResult {
  int status;  // exit code, or -1 when the process did not exit normally
  std::string out;
  std::string err;
};

// Runs a shell command with stdin closed, capturing both output streams.
RunResult run(const std::string& command, const fs::path& scratch) {
  fs::path out = scratch / "run.out";
  fs::path err = scratch / "run.err";
  std::string line =
      "( " + command + " ) </dev/null >" + quote(out.string()) + " 2>" + quote(err.string());
  int raw = std::system(line.c_str());
  RunResult result;
  result.status = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
  result.out = readText(out);
  result.err = readText(err);
  return result;
}

bool haveCommand(const char* name) {
  std::string probe = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(probe.c_str()) == 0;
}

std::string cp932ToUtf8(const std::string& cp932) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) return "?";
  std::string in = cp932;
  std::string out(in.size() * 4 + 4, '\0');
  char* src = in.data();
  size_t srcLeft = in.size();
  char* dst = out.data();
  size_t dstLeft = out.size();
  size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return "?";
  out.resize(out.size() - dstLeft);
  return out;
}

long long mtimeOf(const fs::path& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return -1;
  return static_cast<long long>(st.st_mtim.tv_sec);
}

bool setMtime(const fs::path& path, long long seconds) {
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

// A fixed-seed generator (splitmix64), so the data is the same on every run.
struct Random {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  size_t below(size_t n) { return static_cast<size_t>(next() % n); }
};

// Word salad: compressible, but not trivially so.
Bytes wordText(size_t size, uint64_t seed) {
  static const char* const WORDS[] = {
      "archive",      "member", "header", "window", "decoder", "Huffman", "table", "extract",
      "folder",       "the",    "of",     "and",    "a",       "to",      "is",    "with",
      "stored",       "level",  "0x5C",   "CRC-16", "block",   "offset",  "time",  "stamp",
      "\xe8\xa1\xa8",  // a UTF-8 character, so the text is not plain ASCII
  };
  Random random{seed};
  Bytes out;
  out.reserve(size + 16);
  size_t column = 0;
  while (out.size() < size) {
    const char* word = WORDS[random.below(std::size(WORDS))];
    out.insert(out.end(), word, word + std::char_traits<char>::length(word));
    column += std::char_traits<char>::length(word) + 1;
    out.push_back(column > 70 ? '\n' : ' ');
    if (column > 70) column = 0;
  }
  out.resize(size);
  return out;
}

// The license texts of the system repeated, or word salad where there are none.
Bytes licenseText(size_t size) {
  Bytes all;
  std::error_code ec;
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator("/usr/share/common-licenses", ec))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    Bytes text = readBytes(file);
    all.insert(all.end(), text.begin(), text.end());
  }
  if (all.size() < 65536) return wordText(size, 7);
  Bytes out;
  out.reserve(size);
  for (unsigned round = 0; out.size() < size; ++round) {
    std::string mark = "=== round " + std::to_string(round) + " ===\n";
    out.insert(out.end(), mark.begin(), mark.end());
    out.insert(out.end(), all.begin(), all.end());
  }
  out.resize(size);
  return out;
}

// Binary data with every kind of content an LZH encoder meets: noise, bytes
// from a small alphabet, zero runs and copies of earlier data from distances
// up to the 64 KiB window of -lh7-.
Bytes syntheticBinary(size_t size, uint64_t seed) {
  Random random{seed};
  Bytes out;
  out.reserve(size + 70000);
  while (out.size() < size) {
    size_t length = 16 + random.below(4096);
    switch (random.below(4)) {
      case 0:
        for (size_t i = 0; i < length; ++i) out.push_back(static_cast<uint8_t>(random.next()));
        break;
      case 1:
        for (size_t i = 0; i < length; ++i)
          out.push_back(static_cast<uint8_t>(0x30 + random.below(6)));
        break;
      case 2:
        out.insert(out.end(), length, 0);
        break;
      default:
        if (out.size() > 300) {
          size_t distance = 1 + random.below(std::min<size_t>(out.size(), 65535));
          length = 3 + random.below(256);
          for (size_t i = 0; i < length; ++i) out.push_back(out[out.size() - distance]);
        }
        break;
    }
  }
  out.resize(size);
  return out;
}

// Real machine code: the start of the running test executable.
Bytes executablePrefix(size_t size) {
  Bytes exe = readBytes("/proc/self/exe");
  if (exe.size() < size) return syntheticBinary(size, 99);
  exe.resize(size);
  return exe;
}

// ------------------------------------------------------ archive inspection

struct Member {
  std::string name;     // UTF-8, '/' separated; directories end with '/'
  std::string rawName;  // the CP932 file-name record as stored
  char method = 0;
  uint8_t level = 0;
  size_t headerOffset = 0;
  size_t dataOffset = 0;
  uint64_t packedSize = 0;
  bool isDirectory() const { return method == 'd'; }
};

uint32_t le(const Bytes& a, size_t at, int width) {
  uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | a[at + static_cast<size_t>(i)];
  return v;
}

// Walks the level-2 members of an archive; false if the walk goes astray.
bool readMembers(const Bytes& a, std::vector<Member>& members) {
  size_t pos = 0;
  while (pos < a.size() && a[pos] != 0) {
    if (pos + 26 > a.size()) return false;
    Member m;
    m.headerOffset = pos;
    size_t headerSize = le(a, pos, 2);
    if (headerSize < 26 || pos + headerSize > a.size()) return false;
    m.method = static_cast<char>(a[pos + 5]);
    m.packedSize = le(a, pos + 7, 4);
    m.level = a[pos + 20];
    if (m.level != 2) return false;
    std::string dir;
    size_t at = pos + 24;
    for (size_t size = le(a, at, 2); size != 0; size = le(a, at, 2)) {
      if (size < 3 || at + size + 2 > pos + headerSize) return false;
      uint8_t type = a[at + 2];
      std::string data(a.begin() + static_cast<long>(at + 3),
                       a.begin() + static_cast<long>(at + size));
      if (type == 0x01) m.rawName = data;
      if (type == 0x02) dir = data;
      at += size;
    }
    std::string component;
    for (char c : dir) {
      if (static_cast<uint8_t>(c) == 0xFF) {
        m.name += cp932ToUtf8(component) + "/";
        component.clear();
      } else {
        component += c;
      }
    }
    m.name += cp932ToUtf8(component + m.rawName);
    m.dataOffset = pos + headerSize;
    members.push_back(m);
    pos = m.dataOffset + m.packedSize;
  }
  return pos < a.size();
}

// -------------------------------------------------------------- the tests

struct Variant {
  const char* name;
  const char* jlhaCommand;  // c: create, 2: level-2 headers, y: Shift-JIS names
  char textMethod;          // the method the large text member must get
};

const Variant VARIANTS[] = {
    {"lh5", "c2o5y", '5'},
    {"lh6", "c2o6y", '6'},
    {"lh7", "c2o7y", '7'},
    {"stored", "c2zy", '0'},
};

// The top-level items handed to jlha, in archive order.
const char* const TOP_LEVEL[] = {
    "empty.txt",   "one.bin",
    "65535.txt",   "65536.txt",
    "65537.txt",   "\xe8\xa1\xa8.txt",
    "nested",      "\xe3\x82\xbd\xe3\x83\x95\xe3\x83\x88",  // katakana "sofuto"
    "text.txt",    "binary.bin",
    "machine.bin",
};

struct EntryInfo {
  bool isDirectory;
  bool isEmptyDirectory;
  long long mtime;
};

std::map<std::string, EntryInfo> snapshot(const fs::path& root) {
  std::map<std::string, EntryInfo> entries;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::end(it); it.increment(ec)) {
    const fs::path& p = it->path();
    bool dir = it->is_directory();
    entries[fs::relative(p, root).generic_string()] = {dir, dir && fs::is_empty(p), mtimeOf(p)};
  }
  return entries;
}

class JlhaInteropTest : public ::testing::Test {
 protected:
  static inline std::string skipReason;
  static inline std::string setupError;
  static inline fs::path work;
  static inline fs::path source;
  static inline std::map<std::string, std::vector<Member>> members;  // by variant

  static fs::path archivePath(const Variant& v) { return work / (std::string(v.name) + ".lzh"); }

  static void SetUpTestSuite() {
    if (!haveCommand("jlha") || !haveCommand("java")) {
      skipReason = "jlha is not installed";
      return;
    }
    char pattern[] = "/tmp/kasumiro-jlha-XXXXXX";
    if (!mkdtemp(pattern)) {
      setupError = "cannot make a temporary directory";
      return;
    }
    work = pattern;
    source = work / "src";
    setupError = makeSourceTree();
    if (!setupError.empty()) return;
    // jlha is slow to start and single-threaded: make the archives side by side.
    std::string command = "cd " + quote(source.string()) + " && status=0";
    for (const Variant& v : VARIANTS) {
      command += " && { jlha " + std::string(v.jlhaCommand) + " " + quote(archivePath(v).string());
      for (const char* item : TOP_LEVEL) command += " " + quote(item);
      command += " >/dev/null & } && pid_" + std::string(v.name) + "=$!";
    }
    for (const Variant& v : VARIANTS) {
      command += " && { wait $pid_" + std::string(v.name) + " || status=1; }";
    }
    RunResult r = run(command + " && exit $status", work);
    if (r.status != 0) {
      setupError = "jlha failed: " + r.err;
      return;
    }
    for (const Variant& v : VARIANTS) {
      if (setupError.empty()) setupError = checkArchive(v);
    }
  }

  static void TearDownTestSuite() {
    if (!work.empty()) {
      std::error_code ec;
      fs::remove_all(work, ec);
    }
  }

  void SetUp() override {
    if (!skipReason.empty()) GTEST_SKIP() << skipReason;
    ASSERT_TRUE(setupError.empty()) << setupError;
  }

  static std::string makeSourceTree() {
    const std::string so = "\xe3\x82\xbd";  // katakana so: CP932 83 5C
    const std::string sofuto = "\xe3\x82\xbd\xe3\x83\x95\xe3\x83\x88";
    const std::pair<std::string, Bytes> files[] = {
        {"empty.txt", {}},
        {"one.bin", {0x5C}},
        {"65535.txt", wordText(65535, 1)},
        {"65536.txt", wordText(65536, 2)},
        {"65537.txt", wordText(65537, 3)},
        {"\xe8\xa1\xa8.txt", wordText(3000, 4)},  // CP932 95 5C
        {"nested/a/b/c/deep.txt", wordText(100000, 5)},
        {"nested/a/b/mid.bin", syntheticBinary(70000, 6)},
        {"nested/a/top.txt", wordText(10, 8)},
        {sofuto + "/" + so + ".txt", wordText(5000, 9)},
        {"text.txt", licenseText(3u << 20)},
        {"binary.bin", syntheticBinary(2u << 20, 10)},
        {"machine.bin", executablePrefix(1u << 20)},
    };
    std::error_code ec;
    fs::create_directories(source / "nested" / "empty", ec);
    for (const auto& [name, content] : files) {
      fs::create_directories((source / name).parent_path(), ec);
      if (!writeBytes(source / name, content)) return "cannot write " + name;
    }
    // Distinct whole-second times, set last so that no later write moves them.
    long long stamp = 946684799;  // 1999-12-31 23:59:59 UTC
    std::vector<fs::path> all;
    for (auto& entry : fs::recursive_directory_iterator(source)) all.push_back(entry.path());
    std::sort(all.begin(), all.end());
    for (const auto& p : all) {
      stamp += 86400 * 37 + 3671;
      if (!setMtime(p, stamp)) return "cannot set the time of " + p.string();
    }
    return "";
  }

  static std::string checkArchive(const Variant& v) {
    std::vector<Member>& list = members[v.name];
    if (!readMembers(readBytes(archivePath(v)), list))
      return std::string("jlha made an archive that is not all level 2: ") + v.name;
    // The archive must really hold what the tests rely on.
    bool sawText = false, sawShiftJis = false;
    for (const Member& m : list) {
      if (m.name == "text.txt") sawText = m.method == v.textMethod;
      if (m.rawName == "\x95\x5c.txt" && m.name == "\xe8\xa1\xa8.txt") sawShiftJis = true;
      if (v.textMethod == '0' && !m.isDirectory() && m.method != '0')
        return std::string("a member is compressed in the stored archive: ") + m.name;
    }
    if (!sawText) return std::string("text.txt does not use the intended method in ") + v.name;
    if (!sawShiftJis) return std::string("no Shift-JIS name with trail byte 0x5C in ") + v.name;
    return "";
  }

  static RunResult wrap(const fs::path& archive, const fs::path& sfx) {
    return run(quote(KASUMIRO_RUNNER) + " a -q --from " + quote(archive.string()) + " " +
                   quote(sfx.string()),
               work);
  }
  // A self-extracting file whose archive is damaged: the packer refuses to
  // wrap a damaged archive, so the intact one is wrapped and then replaced
  // by the damaged bytes (of the same length) behind the stub.
  static bool wrapDamaged(const fs::path& intact, const Bytes& damaged, const fs::path& sfx) {
    if (wrap(intact, sfx).status != 0) return false;
    Bytes image = readBytes(sfx);
    if (image.size() < damaged.size()) return false;
    std::copy(damaged.begin(), damaged.end(), image.end() - damaged.size());
    return writeBytes(sfx, image);
  }
  static RunResult runner(const std::string& arguments, const std::string& environment = "") {
    return run(environment + quote(KASUMIRO_RUNNER) + " " + arguments, work);
  }
  static RunResult lhasaTest(const fs::path& archive) {
    return run("lhasa t " + quote(archive.string()), work);
  }
  static RunResult sevenZipTest(const fs::path& archive) {
    return run("7z t -bd " + quote(archive.string()), work);
  }
};

TEST_F(JlhaInteropTest, ExtractsEveryMemberByteForByteWithItsTime) {
  const auto expected = snapshot(source);
  ASSERT_GT(expected.size(), 15u);
  for (const Variant& v : VARIANTS) {
    SCOPED_TRACE(v.name);
    fs::path sfx = work / (std::string(v.name) + ".exe");
    fs::path dest = work / (std::string("out-") + v.name);
    ASSERT_EQ(wrap(archivePath(v), sfx).status, 0);
    // Time stamps are UTC in the archive and on disk: a zone far from UTC
    // shows any local-time conversion on the way.
    RunResult r = runner("x -y " + quote(sfx.string()) + " " + quote(dest.string()), "TZ=JST-9 ");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    const auto actual = snapshot(dest);
    for (const auto& [name, info] : expected) {
      SCOPED_TRACE(name);
      auto found = actual.find(name);
      if (found == actual.end()) {
        ADD_FAILURE() << "missing after extraction";
        continue;
      }
      EXPECT_EQ(found->second.isDirectory, info.isDirectory);
      if (!info.isDirectory) {
        EXPECT_TRUE(readBytes(dest / name) == readBytes(source / name)) << "contents differ";
        EXPECT_EQ(found->second.mtime, info.mtime);
      } else if (info.isEmptyDirectory) {
        // Other directories get new entries after their own time was set.
        EXPECT_EQ(found->second.mtime, info.mtime);
      }
    }
    for (const auto& entry : actual)
      EXPECT_TRUE(expected.count(entry.first)) << "unexpected " << entry.first;
    // Both characters with trail byte 0x5C come out whole, as UTF-8.
    EXPECT_TRUE(fs::is_regular_file(dest / "\xe8\xa1\xa8.txt"));
    EXPECT_TRUE(
        fs::is_regular_file(dest / "\xe3\x82\xbd\xe3\x83\x95\xe3\x83\x88" / "\xe3\x82\xbd.txt"));
  }
}

TEST_F(JlhaInteropTest, TestCommandAgreesWithLhasaAnd7zOnIntactArchives) {
  const bool lhasa = haveCommand("lhasa"), sevenZip = haveCommand("7z");
  for (const Variant& v : VARIANTS) {
    SCOPED_TRACE(v.name);
    fs::path sfx = work / (std::string(v.name) + "-t.exe");
    ASSERT_EQ(wrap(archivePath(v), sfx).status, 0);
    RunResult k = runner("t " + quote(sfx.string()));
    EXPECT_EQ(k.status, 0) << k.out << k.err;
    if (lhasa) {
      EXPECT_EQ(lhasaTest(archivePath(v)).status, 0);
    }
    if (sevenZip) {
      EXPECT_EQ(sevenZipTest(archivePath(v)).status, 0);
    }
  }
  if (!lhasa || !sevenZip) GTEST_SKIP() << "lhasa or 7z missing; only kasumiro was checked";
}

struct DataDamage {
  const char* variant;
  const char* member;
  double where;  // fraction of the member's packed data
  size_t plus;   // and bytes beyond it
};

TEST_F(JlhaInteropTest, DamagedMemberDataFailsEverywhereAndKeepsEarlierFiles) {
  const DataDamage cases[] = {
      {"lh5", "text.txt", 0.75, 0},     // deep in a long member: several windows written
      {"lh6", "binary.bin", 0.5, 0},    // noise, zero runs and long copies
      {"lh7", "65537.txt", 0.5, 0},     // one byte past the window size
      {"lh7", "machine.bin", 0.0, 2},   // the code-length table of the first block
      {"stored", "text.txt", 0.9, 0},   // stored copy, 64 KiB chunks already written
      {"stored", "65536.txt", 0.0, 0},  // first byte of a single-chunk copy
  };
  const bool lhasa = haveCommand("lhasa"), sevenZip = haveCommand("7z");
  int index = 0;
  for (const DataDamage& c : cases) {
    SCOPED_TRACE(std::string(c.variant) + " " + c.member);
    const std::vector<Member>& list = members.at(c.variant);
    auto damaged =
        std::find_if(list.begin(), list.end(), [&](const Member& m) { return m.name == c.member; });
    ASSERT_NE(damaged, list.end());
    ASSERT_GT(damaged->packedSize, c.plus);
    size_t at = damaged->dataOffset + static_cast<size_t>(c.where * damaged->packedSize) + c.plus;

    const fs::path intact = work / (std::string(c.variant) + ".lzh");
    Bytes archive = readBytes(intact);
    archive[at] ^= 0x24;
    std::string tag = "damaged" + std::to_string(index++);
    fs::path lzh = work / (tag + ".lzh"), sfx = work / (tag + ".exe"), dest = work / tag;
    ASSERT_TRUE(writeBytes(lzh, archive));
    ASSERT_TRUE(wrapDamaged(intact, archive, sfx));

    RunResult test = runner("t " + quote(sfx.string()));
    EXPECT_NE(test.status, 0) << "kasumiro t accepted the damaged archive";
    if (lhasa) {
      EXPECT_NE(lhasaTest(lzh).status, 0) << "lhasa t accepted the damaged archive";
    }
    if (sevenZip) {
      EXPECT_NE(sevenZipTest(lzh).status, 0) << "7z t accepted the damaged archive";
    }

    RunResult x = runner("x -y " + quote(sfx.string()) + " " + quote(dest.string()));
    EXPECT_NE(x.status, 0);
    EXPECT_NE(x.err, "") << "no error was reported";
    bool before = true;
    for (const Member& m : list) {
      if (m.isDirectory()) continue;
      SCOPED_TRACE(m.name);
      if (m.name == c.member) {
        EXPECT_FALSE(fs::exists(dest / m.name)) << "the partial file was left behind";
        before = false;
      } else if (before) {
        EXPECT_TRUE(fs::exists(dest / m.name) &&
                    readBytes(dest / m.name) == readBytes(source / m.name))
            << "an earlier member was not kept intact; the runner said: " << x.err;
      } else {
        EXPECT_FALSE(fs::exists(dest / m.name)) << "a member after the damage was extracted";
      }
    }
  }
}

TEST_F(JlhaInteropTest, DamagedHeaderStopsBeforeAnythingIsWritten) {
  // lhasa and 7z do not check level-2 header CRCs this way (both accept the
  // archive or stop quietly), so only the runner is judged here.
  const std::vector<Member>& list = members.at("lh6");
  auto victim = std::find_if(list.begin(), list.end(),
                             [](const Member& m) { return m.name == "binary.bin"; });
  ASSERT_NE(victim, list.end());
  Bytes archive = readBytes(archivePath(VARIANTS[1]));
  archive[victim->headerOffset + 15] ^= 0x01;  // the time stamp, covered only by the CRC
  fs::path sfx = work / "badheader.exe", dest = work / "badheader";
  ASSERT_TRUE(wrapDamaged(archivePath(VARIANTS[1]), archive, sfx));

  RunResult test = runner("t " + quote(sfx.string()));
  EXPECT_NE(test.status, 0);
  RunResult x = runner("x -y " + quote(sfx.string()) + " " + quote(dest.string()));
  EXPECT_NE(x.status, 0);
  EXPECT_NE(x.err.find(sfx.filename().string()), std::string::npos)
      << "the error does not name the archive: " << x.err;
  EXPECT_TRUE(!fs::exists(dest) || fs::is_empty(dest)) << "members were written";
}

}  // namespace
