#include "tools/pack/pack.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "lzh/crc16.h"
#include "lzh/header_writer.h"
#include "lzh/lzh_encoder.h"
#include "platform/posix/text.h"
#include "startup/config_block.h"
#include "tools/image/pe_layout.h"
#include "tools/pack/embedded_stubs.h"
#include "tools/pack/member_names.h"

const char* const PACK_HELP =
    "usage: kasumiro a [options] OUTPUT PATH...\n"
    "       kasumiro a [options] --from ARCHIVE.lzh OUTPUT.exe\n"
    "Packs files and folders (each under its own name, folders with everything in\n"
    "them) into OUTPUT: a self-extracting file when it ends in .exe, else a plain\n"
    ".lzh archive. OUTPUT appears only when it is complete.\n"
    "  -C DIR             take the PATHs relative to DIR\n"
    "  --method M         lh7 (default), lh6, lh5, or lh0 (stored); a file that\n"
    "                     would not shrink is always stored\n"
    "  -1 ... -9          faster ... smaller (default -5)\n"
    "  -L                 follow symbolic links (otherwise they are left out)\n"
    "  --skip-bad-names   leave out names the stub cannot create, with a warning\n"
    "  -q                 no progress bar\n"
    "The self-extracting file (UTF-8 texts, stored as CP932):\n"
    "  --title TEXT       window title (50 bytes)\n"
    "  --message TEXT     label above the folder box (40 bytes)\n"
    "  --dir TEXT         destination shown to the user, may hold %TEMP%,\n"
    "                     %ProgramFilesDir%, ... (255 bytes)\n"
    "  --prompt TEXT      text below the folder box (100 bytes)\n"
    "  --command TEXT     started after extracting, may hold %ExtractDir% (259 bytes)\n"
    "  --overwrite        replace existing files without asking\n"
    "  --attributes       restore read-only and hidden attributes\n"
    "  --notice FILE      a text (UTF-8) shown first, with Yes and No\n"
    "  --admin            ask for administrator rights when started\n"
    "  --stub S           i686 (default), x86_64, or a stub file\n"
    "SOURCE_DATE_EPOCH, when set, is the notice's time and the latest time stored.\n";

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr size_t READ_CHUNK = 1 << 20;
constexpr uint64_t FILETIME_UNIX_EPOCH = 116444736000000000ULL;
constexpr uint64_t FOUR_GIB = 1ULL << 32;

volatile sig_atomic_t interrupted = 0;
void onSignal(int) { interrupted = 1; }

struct TextField {
  const char* option;
  char* field;
  size_t size;
  const char* utf8;
};

struct Options {
  std::string output;
  std::vector<std::string> paths;
  std::string base;
  std::string from;
  std::string notice;
  std::string stub = "i686";
  char method = '7';
  int level = LZH_DEFAULT_LEVEL;
  bool followLinks = false;
  bool skipBadNames = false;
  bool admin = false;
  bool quiet = false;
  SfxConfig config{};
  std::vector<TextField> texts;
  bool configGiven = false;
};

struct Entry {
  std::string native;  // the path to open
  std::string member;  // CP932, '/' between components
  bool directory;
  struct stat st;
};

bool endsWith(const std::string& text, const char* tail) {
  const size_t n = std::strlen(tail);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(text[text.size() - n + i])) != tail[i])
      return false;
  return true;
}

bool fail(const std::string& message) {
  std::fprintf(stderr, "kasumiro: %s\n", message.c_str());
  return false;
}

int failWith(const std::string& message, int status) {
  std::fprintf(stderr, "kasumiro: %s\n", message.c_str());
  return status;
}

std::string reason() { return std::strerror(errno); }

std::string shown(const std::string& utf8) {
  std::vector<char> out(utf8.size() * 4 + 16);
  return escapeForDisplay(utf8.c_str(), out.data(), out.size(), false) ? out.data() : "?";
}

bool toCp932(const std::string& utf8, std::string& cp932) {
  std::vector<char> out(utf8.size() * 2 + 2);
  if (!utf8ToCp932(utf8.c_str(), out.data(), out.size())) return false;
  cp932 = out.data();
  return true;
}

// ------------------------------------------------------------ the options

bool parseOptions(int argc, char** argv, Options& o, bool& help) {
  SfxConfig& c = o.config;
  const TextField fields[] = {
      {"--title", c.title, sizeof c.title, nullptr},
      {"--message", c.message, sizeof c.message, nullptr},
      {"--dir", c.defaultDir, sizeof c.defaultDir, nullptr},
      {"--prompt", c.prompt, sizeof c.prompt, nullptr},
      {"--command", c.runCommand, sizeof c.runCommand, nullptr},
  };
  std::vector<std::string> operands;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--help") {
      help = true;
      return true;
    } else if (a == "--") {
      for (++i; i < argc; ++i) operands.push_back(argv[i]);
    } else if (a.size() == 2 && a[0] == '-' && a[1] >= '1' && a[1] <= '9') {
      o.level = a[1] - '0';
    } else if (a == "-L") {
      o.followLinks = true;
    } else if (a == "-q") {
      o.quiet = true;
    } else if (a == "--skip-bad-names") {
      o.skipBadNames = true;
    } else if (a == "--admin") {
      o.admin = o.configGiven = true;
    } else if (a == "--overwrite") {
      c.flags |= FLAG_OVERWRITE;
      o.configGiven = true;
    } else if (a == "--attributes") {
      c.flags |= FLAG_RESTORE_ATTRIBUTES;
      o.configGiven = true;
    } else if (a == "-C" && hasValue) {
      o.base = argv[++i];
    } else if (a == "--from" && hasValue) {
      o.from = argv[++i];
    } else if (a == "--notice" && hasValue) {
      o.notice = argv[++i];
      o.configGiven = true;
    } else if (a == "--stub" && hasValue) {
      o.stub = argv[++i];
      o.configGiven = true;
    } else if (a == "--method" && hasValue) {
      const std::string m = argv[++i];
      if (m != "lh0" && m != "lh5" && m != "lh6" && m != "lh7")
        return fail("--method takes lh0, lh5, lh6 or lh7, not " + shown(m));
      o.method = m[2];
    } else {
      bool text = false;
      for (const TextField& f : fields) {
        if (a == f.option && hasValue) {
          o.texts.push_back(f);
          o.texts.back().utf8 = argv[++i];
          o.configGiven = text = true;
        }
      }
      if (text) continue;
      if (a.size() > 1 && a[0] == '-') return fail("unknown option " + shown(a) + " (see --help)");
      operands.push_back(a);
    }
  }
  if (operands.empty()) return fail("name the OUTPUT (see --help)");
  o.output = operands[0];
  o.paths.assign(operands.begin() + 1, operands.end());
  if (!o.from.empty() && !o.paths.empty()) return fail("--from takes no PATHs");
  if (o.from.empty() && o.paths.empty()) return fail("name what goes in (see --help)");
  return true;
}

// The configuration block's texts, in CP932, each whole or refused.
bool fillConfigTexts(Options& o) {
  for (const TextField& f : o.texts) {
    std::string cp932;
    if (!toCp932(f.utf8, cp932))
      return fail(std::string(f.option) + " holds a character that CP932 cannot represent");
    if (cp932.size() >= f.size)
      return fail(std::string(f.option) + " is " + std::to_string(cp932.size()) +
                  " bytes in CP932; at most " + std::to_string(f.size - 1) + " fit");
    std::memset(f.field, 0, f.size);
    std::memcpy(f.field, cp932.data(), cp932.size());
  }
  return true;
}

// ---------------------------------------------------------- the inputs

struct Collector {
  const Options& options;
  std::vector<Entry> entries;
  std::set<std::pair<dev_t, ino_t>> openDirectories;  // loops through links
  struct stat outputStat;
  bool outputExists = false;
  bool failed = false;    // something could not be read: stop
  bool badNames = false;  // names refused: all are reported, then stop

  // Converts and checks a member's name; false leaves it out (or fails).
  bool admit(const std::string& utf8Member, bool directory, std::string& cp932) {
    const char* problem = nullptr;
    if (!toCp932(utf8Member, cp932))
      problem = "holds a character that CP932 cannot represent";
    else
      problem = memberNameProblem(cp932, directory);
    if (!problem) return true;
    const std::string message = shown(utf8Member) + " " + problem;
    if (options.skipBadNames) {
      std::fprintf(stderr, "kasumiro: warning: left out: %s\n", message.c_str());
    } else {
      badNames = true;
      std::fprintf(stderr, "kasumiro: %s (--skip-bad-names leaves such names out)\n",
                   message.c_str());
    }
    return false;
  }

  void add(const std::string& native, const std::string& member) {
    if (failed || interrupted) return;
    struct stat st;
    if (lstat(native.c_str(), &st) != 0) {
      failed = !fail("cannot read " + shown(native) + ": " + reason());
      return;
    }
    if (S_ISLNK(st.st_mode)) {
      if (!options.followLinks) {
        std::fprintf(stderr, "kasumiro: warning: left out the symbolic link %s (-L follows)\n",
                     shown(native).c_str());
        return;
      }
      if (stat(native.c_str(), &st) != 0) {
        failed = !fail("cannot follow " + shown(native) + ": " + reason());
        return;
      }
    }
    if (outputExists && st.st_dev == outputStat.st_dev && st.st_ino == outputStat.st_ino) return;
    if (S_ISREG(st.st_mode)) {
      std::string cp932;
      if (admit(member, false, cp932)) entries.push_back({native, cp932, false, st});
      return;
    }
    if (!S_ISDIR(st.st_mode)) {
      std::fprintf(stderr, "kasumiro: warning: left out %s: not a file or folder\n",
                   shown(native).c_str());
      return;
    }
    if (!member.empty()) {
      std::string cp932;
      if (!admit(member, true, cp932)) return;
      entries.push_back({native, cp932, true, st});
    }
    const auto key = std::make_pair(st.st_dev, st.st_ino);
    if (!openDirectories.insert(key).second) {
      failed = !fail("the symbolic links under " + shown(native) + " form a loop");
      return;
    }
    DIR* dir = opendir(native.c_str());
    if (!dir) {
      failed = !fail("cannot read " + shown(native) + ": " + reason());
      return;
    }
    std::vector<std::string> names;
    while (struct dirent* d = readdir(dir))
      if (std::strcmp(d->d_name, ".") && std::strcmp(d->d_name, "..")) names.push_back(d->d_name);
    closedir(dir);
    // Byte order: the same tree always gives the same archive.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
      add(native + "/" + name, member.empty() ? name : member + "/" + name);
    openDirectories.erase(key);
  }
};

// The member name of a PATH argument: its components as given, without
// "." and empty ones (and a leading '/'); ".." cannot be a member's name.
bool memberOfArgument(const std::string& path, std::string& member) {
  static bool told = false;
  if (path[0] == '/' && !told) {
    std::fputs("kasumiro: note: leading '/' removed from member names\n", stderr);
    told = true;
  }
  member.clear();
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string component = path.substr(start, end - start);
    if (component == "..")
      return fail(shown(path) + ": '..' cannot be part of a member's name; use -C to start higher");
    if (!component.empty() && component != ".") member += (member.empty() ? "" : "/") + component;
    start = end + 1;
  }
  return true;
}

// ---------------------------------------------------------- the output

struct Progress {
  bool enabled = false;
  bool shown = false;
  struct timespec start {};
  struct timespec last {};
  uint64_t totalBytes = 0;
  uint64_t doneBytes = 0;
  uint64_t packedBytes = 0;
  size_t totalFiles = 0;
  size_t doneFiles = 0;

  static double since(const struct timespec& t) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - t.tv_sec) + (now.tv_nsec - t.tv_nsec) / 1e9;
  }
  void begin() {
    enabled = enabled && isatty(STDERR_FILENO);
    clock_gettime(CLOCK_MONOTONIC, &start);
    last = start;
  }
  void update() {
    // Short runs show nothing; long ones at most ten times a second.
    if (!enabled || since(start) < 0.5 || (shown && since(last) < 0.1)) return;
    clock_gettime(CLOCK_MONOTONIC, &last);
    const int percent = totalBytes ? static_cast<int>(doneBytes * 100 / totalBytes) : 100;
    char bar[31];
    for (int i = 0; i < 30; ++i) bar[i] = i < percent * 30 / 100 ? '#' : '.';
    bar[30] = 0;
    std::fprintf(stderr, "\r\033[K[%s] %3d%%  %zu/%zu files  %.1f/%.1f MB  packed to %d%%", bar,
                 percent, doneFiles, totalFiles, doneBytes / 1e6, totalBytes / 1e6,
                 doneBytes ? static_cast<int>(packedBytes * 100 / doneBytes) : 100);
    shown = true;
  }
  void end() {
    if (shown) std::fputs("\r\033[K", stderr);
    shown = false;
  }
};

class Writer final : public LzhEncoderSink {
 public:
  explicit Writer(const Options& options) : options_(options), chunk_(new uint8_t[READ_CHUNK]) {}
  ~Writer() { discard(); }

  bool open() {
    const size_t slash = options_.output.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : options_.output.substr(0, slash);
    const std::string name =
        slash == std::string::npos ? options_.output : options_.output.substr(slash + 1);
    temp_ = dir + "/." + name + ".kasumiro-XXXXXX";
    fd_ = mkstemp(temp_.data());
    if (fd_ < 0) {
      temp_.clear();
      return fail("cannot write in " + shown(dir) + ": " + reason());
    }
    return true;
  }

  // Makes the temporary file OUTPUT: its mode as a new file of the user's
  // would have, its data on the disk, then its name.
  bool commit() {
    const mode_t mask = umask(0);
    umask(mask);
    const mode_t mode = (endsWith(options_.output, ".exe") ? 0777 : 0666) & ~mask;
    struct stat st;
    if (stat(options_.output.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      return fail(shown(options_.output) + " is a folder");
    if (fchmod(fd_, mode) != 0 || fsync(fd_) != 0 || close(fd_) != 0) {
      fd_ = -1;
      return fail("cannot write " + shown(options_.output) + ": " + reason());
    }
    fd_ = -1;
    if (rename(temp_.c_str(), options_.output.c_str()) != 0)
      return fail("cannot make " + shown(options_.output) + ": " + reason());
    temp_.clear();
    return true;
  }

  void discard() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (!temp_.empty()) unlink(temp_.c_str());
    temp_.clear();
  }

  bool put(const uint8_t* data, size_t size) override {
    progress.packedBytes += size;
    return writeAll(data, size);
  }

  bool writeAll(const uint8_t* data, size_t size) {
    while (size > 0) {
      const ssize_t n = ::write(fd_, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return failWrite();
      data += n;
      size -= static_cast<size_t>(n);
      position_ += static_cast<uint64_t>(n);
    }
    return true;
  }

  // Copies a whole file (the archive of --from) behind what is written.
  bool copyFile(const std::string& path) {
    const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return fail("cannot open " + shown(path) + ": " + reason());
    bool ok = true;
    for (;;) {
      const ssize_t n = read(in, chunk_.get(), READ_CHUNK);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = fail("cannot read " + shown(path) + ": " + reason());
      if (n <= 0 || !ok || !(ok = writeAll(chunk_.get(), static_cast<size_t>(n)))) break;
      if (interrupted) ok = fail("interrupted");
    }
    close(in);
    return ok;
  }

  bool directory(const Entry& e) {
    LzhHeaderFields f;
    f.method = 'd';
    f.attributes = attributesOf(e);
    setTimes(f, e.st.st_mtim);
    f.directory = e.member;
    return header(f);
  }

  // A file member: compressed when it shrinks, stored otherwise. The header
  // goes first with room for the final one, which is written once the
  // sizes and the CRC are known (its length does not depend on them).
  bool file(const std::string& native, const std::string& member, const struct stat& st,
            const std::string* contents = nullptr) {
    LzhHeaderFields f;
    f.attributes = attributesOf(Entry{native, member, false, st});
    setTimes(f, st.st_mtim);
    const size_t slash = member.rfind('/');
    std::string directory = slash == std::string::npos ? "" : member.substr(0, slash);
    f.directory = directory;
    f.fileName = slash == std::string::npos ? std::string_view(member)
                                            : std::string_view(member).substr(slash + 1);
    const uint64_t size = contents ? contents->size() : static_cast<uint64_t>(st.st_size);
    f.uncompressedSize = size;
    f.sizes64 = size >= FOUR_GIB;
    f.method = size == 0 ? '0' : options_.method;
    const size_t headerLength = lzhHeaderSize(f);
    if (headerLength == 0) return fail(shown(native) + ": the header would be too long");
    const uint64_t headerAt = position_;
    std::vector<uint8_t> placeholder(headerLength);
    if (!writeAll(placeholder.data(), placeholder.size())) return false;
    const uint64_t dataAt = position_;

    uint64_t consumed = 0;
    if (f.method != '0') {
      encoder_.begin(f.method, options_.level, this, size - 1);
      bool ok = feed(native, contents, size, consumed,
                     [&](const uint8_t* p, size_t n) { return encoder_.write(p, n); });
      if (ok) ok = encoder_.finish();
      if (failed_) return false;
      if (!ok && !encoder_.outputLimitReached())
        return !interrupted && fail("cannot pack " + shown(native));
      if (ok) {
        f.compressedSize = encoder_.outputSize();
        f.dataCrc = encoder_.crc();
      } else {
        // It does not shrink: stored instead, in place of what was written.
        if (ftruncate(fd_, static_cast<off_t>(dataAt)) != 0 ||
            lseek(fd_, static_cast<off_t>(dataAt), SEEK_SET) < 0)
          return failWrite();
        progress.packedBytes -= position_ - dataAt;
        progress.doneBytes -= consumed;
        position_ = dataAt;
        f.method = '0';
      }
    }
    if (f.method == '0') {
      uint16_t crc = 0;
      if (!feed(native, contents, size, consumed, [&](const uint8_t* p, size_t n) {
            crc = crc16Update(crc, p, n);
            return put(p, n);
          }))
        return false;
      f.compressedSize = size;
      f.dataCrc = crc;
    }
    std::vector<uint8_t> finalHeader(headerLength);
    if (writeLzhHeader(f, finalHeader.data(), finalHeader.size()) != headerLength)
      return fail(shown(native) + ": the header changed its length");
    if (pwrite(fd_, finalHeader.data(), headerLength, static_cast<off_t>(headerAt)) !=
        static_cast<ssize_t>(headerLength))
      return failWrite();
    return true;
  }

  bool end() {
    const uint8_t marker = LZH_ARCHIVE_END;
    return writeAll(&marker, 1);
  }

  uint64_t position() const { return position_; }
  Progress progress;

 private:
  template <typename Consume>
  bool feed(const std::string& native, const std::string* contents, uint64_t size,
            uint64_t& consumed, Consume consume) {
    consumed = 0;
    if (contents) {
      progress.doneBytes += size;
      consumed = size;
      return consume(reinterpret_cast<const uint8_t*>(contents->data()), contents->size()) ||
             encoder_.outputLimitReached();
    }
    const int in = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return fail("cannot open " + shown(native) + ": " + reason());
    bool ok = true;
    for (;;) {
      const ssize_t n = read(in, chunk_.get(), READ_CHUNK);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        ok = fail("cannot read " + shown(native) + ": " + reason());
        break;
      }
      if (n == 0) break;
      consumed += static_cast<uint64_t>(n);
      progress.doneBytes += static_cast<uint64_t>(n);
      if (consumed > size) break;
      if (!consume(chunk_.get(), static_cast<size_t>(n))) {
        ok = false;
        break;
      }
      progress.update();
      if (interrupted) {
        ok = fail("interrupted");
        break;
      }
    }
    close(in);
    if (ok && consumed != size) ok = fail(shown(native) + " changed while it was being packed");
    return ok;
  }

  bool header(const LzhHeaderFields& f) {
    uint8_t buffer[65536];
    const size_t length = writeLzhHeader(f, buffer, sizeof buffer);
    if (length == 0) return fail("a header would be too long");
    return writeAll(buffer, length);
  }

  bool failWrite() {
    if (!failed_) fail("cannot write " + shown(options_.output) + ": " + reason());
    failed_ = true;
    return false;
  }

  static uint16_t attributesOf(const Entry& e) {
    uint16_t attributes = e.directory ? LZH_ATTRIBUTE_DIRECTORY : LZH_ATTRIBUTE_ARCHIVE;
    if (!(e.st.st_mode & S_IWUSR)) attributes |= LZH_ATTRIBUTE_READ_ONLY;
    const size_t slash = e.member.rfind('/');
    if (e.member[slash == std::string::npos ? 0 : slash + 1] == '.') attributes |= 0x02;  // hidden
    return attributes;
  }

  void setTimes(LzhHeaderFields& f, struct timespec t) const {
    if (latest_ >= 0 && t.tv_sec > latest_) t = {static_cast<time_t>(latest_), 0};
    f.unixTime = static_cast<uint32_t>(std::clamp<int64_t>(t.tv_sec, 0, 0x7FFFFFFF));
    if (t.tv_sec >= 0) {
      f.windowsTimes = true;
      f.creationTime = f.lastWriteTime = f.lastAccessTime =
          FILETIME_UNIX_EPOCH + static_cast<uint64_t>(t.tv_sec) * 10000000ULL +
          static_cast<uint64_t>(t.tv_nsec) / 100;
    }
  }

 public:
  int64_t latest_ = -1;  // SOURCE_DATE_EPOCH, or -1

 private:
  const Options& options_;
  std::unique_ptr<uint8_t[]> chunk_;
  LzhEncoder encoder_;
  std::string temp_;
  int fd_ = -1;
  uint64_t position_ = 0;
  bool failed_ = false;
};

// The stub with its configuration block filled in.
bool makeStubImage(const Options& o, std::vector<uint8_t>& image) {
  if (o.stub == "i686" || o.stub == "x86_64") {
    const EmbeddedStub stub = embeddedStub(o.stub == "i686" ? STUB_I686 : STUB_X86_64);
    if (!stub.data)
      return fail("this kasumiro was built without the " + o.stub + " stub; use --stub FILE");
    image.assign(stub.data, stub.data + stub.size);
  } else {
    const int fd = open(o.stub.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail("cannot open the stub " + shown(o.stub) + ": " + reason());
    uint8_t buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) image.insert(image.end(), buffer, buffer + n);
    close(fd);
  }
  if (image.size() < CONFIG_BLOCK_OFFSET + CONFIG_BLOCK_SIZE || image[0] != 'M' ||
      image[1] != 'Z' || std::memcmp(image.data() + 0x24, "LHA's SFX ", 10) != 0)
    return fail(shown(o.stub) + " is not a Kasumiro stub");
  SfxConfig config = o.config;
  config.archiveOffset = static_cast<uint32_t>(image.size());
  std::memcpy(image.data() + CONFIG_BLOCK_OFFSET, &config, CONFIG_BLOCK_SIZE);
  // The stub's checksum covers the stub alone, as it does without --admin.
  std::string error;
  if (o.admin && !setManifestExecutionLevel(image, "requireAdministrator", error))
    return fail(shown(o.stub) + ": " + error);
  return true;
}

bool readNotice(const std::string& path, std::string& cp932, struct stat& st) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fstat(fd, &st) != 0) {
    if (fd >= 0) close(fd);
    return fail("cannot open the notice " + shown(path) + ": " + reason());
  }
  std::string utf8;
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) utf8.append(buffer, static_cast<size_t>(n));
  close(fd);
  if (utf8.find('\0') != std::string::npos || !toCp932(utf8, cp932))
    return fail("the notice " + shown(path) + " is not UTF-8 text that CP932 can represent");
  return true;
}

// Looks like the start of an LZH archive: a member header or the end marker.
bool looksLikeArchive(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail("cannot open " + shown(path) + ": " + reason());
  uint8_t head[32] = {};
  const ssize_t got = read(fd, head, sizeof head);
  close(fd);
  if ((got == 1 && head[0] == 0) ||
      (got >= 26 && head[2] == '-' && head[3] == 'l' && head[4] == 'h' && head[6] == '-'))
    return true;
  return fail(shown(path) + " is not an LZH archive");
}

}  // namespace

int commandPack(int argc, char** argv) {
  Options o;
  bool help = false;
  if (!parseOptions(argc, argv, o, help)) return EXIT_USAGE;
  if (help) {
    std::fputs(PACK_HELP, stdout);
    return EXIT_OK;
  }
  const bool sfx = endsWith(o.output, ".exe");
  if (!sfx && o.configGiven)
    return failWith("the self-extracting options need an OUTPUT ending in .exe", EXIT_USAGE);
  if (!o.from.empty() && !sfx) return failWith("--from makes an OUTPUT.exe", EXIT_USAGE);
  if (!fillConfigTexts(o)) return EXIT_FAILED;

  struct sigaction action {};
  action.sa_handler = onSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);

  int64_t latest = -1;
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
    char* end = nullptr;
    const long long value = std::strtoll(epoch, &end, 10);
    if (!*epoch || *end || value < 0)
      return failWith("SOURCE_DATE_EPOCH is not a number of seconds", EXIT_FAILED);
    latest = value;
  }

  // Everything that goes in is known (and checked) before anything is
  // written.
  Collector collector{o, {}, {}, {}, false, false, false};
  collector.outputExists = stat(o.output.c_str(), &collector.outputStat) == 0;
  for (const std::string& path : o.paths) {
    std::string member;
    if (!memberOfArgument(path, member)) return EXIT_FAILED;
    const std::string native = o.base.empty() || path[0] == '/' ? path : o.base + "/" + path;
    collector.add(native, member);
  }
  if (collector.failed || collector.badNames) return EXIT_FAILED;
  std::string notice;
  struct stat noticeStat {};
  if (!o.notice.empty() && !readNotice(o.notice, notice, noticeStat)) return EXIT_FAILED;
  std::vector<uint8_t> image;
  if (sfx && !makeStubImage(o, image)) return EXIT_FAILED;
  if (!o.from.empty() && !looksLikeArchive(o.from)) return EXIT_FAILED;

  Writer writer(o);
  writer.latest_ = latest;
  writer.progress.enabled = !o.quiet;
  for (const Entry& e : collector.entries) {
    writer.progress.totalBytes += e.directory ? 0 : static_cast<uint64_t>(e.st.st_size);
    writer.progress.totalFiles += e.directory ? 0 : 1;
  }
  writer.progress.begin();
  if (!writer.open()) return EXIT_FAILED;
  bool ok = writer.writeAll(image.data(), image.size());
  if (ok && !o.from.empty()) {
    ok = writer.copyFile(o.from);
  } else if (ok) {
    if (!notice.empty()) {
      if (latest >= 0) noticeStat.st_mtim = {static_cast<time_t>(latest), 0};
      ok = writer.file(o.notice, "!", noticeStat, &notice);
    }
    for (size_t i = 0; ok && i < collector.entries.size(); ++i) {
      const Entry& e = collector.entries[i];
      ok = e.directory ? writer.directory(e) : writer.file(e.native, e.member, e.st);
      if (!e.directory) ++writer.progress.doneFiles;
      writer.progress.update();
      if (ok && interrupted) ok = fail("interrupted");
    }
    if (ok) ok = writer.end();
  }
  writer.progress.end();
  if (!ok || !writer.commit()) {
    writer.discard();
    return EXIT_FAILED;
  }
  if (isatty(STDOUT_FILENO) && !o.quiet)
    std::printf("%s: %zu members, %llu bytes\n", shown(o.output).c_str(),
                collector.entries.size() + (notice.empty() ? 0 : 1),
                static_cast<unsigned long long>(writer.position()));
  return EXIT_OK;
}
