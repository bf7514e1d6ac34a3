// kasumiro-lzhpack: packs files and folders into a plain .lzh archive with
// level-2 headers, compressing with our encoder and storing (-lh0-) every
// file that would not shrink. A small front end for measuring the encoder
// end to end.
//
//   kasumiro-lzhpack [-1..-9] [-m5|-m6|-m7] [-q] OUTPUT.lzh PATH...
//
// Each PATH goes in under its own name; folders are walked in name order,
// each one a -lhd- member before its contents. Names are converted from
// UTF-8 to CP932. Symbolic links and special files are skipped.
#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lzh/crc16.h"
#include "lzh/header_writer.h"
#include "lzh/lzh_encoder.h"

namespace {

constexpr size_t READ_CHUNK = 1 << 20;
constexpr uint64_t FILETIME_UNIX_EPOCH = 116444736000000000ULL;

struct Packer {
  int out = -1;
  char method = '7';
  int level = LZH_DEFAULT_LEVEL;
  LzhEncoder encoder;
  std::unique_ptr<uint8_t[]> chunk{new uint8_t[READ_CHUNK]};
  iconv_t toCp932 = reinterpret_cast<iconv_t>(-1);
  uint64_t members = 0, inputBytes = 0, stored = 0;
  bool failed = false;

  struct FileSink final : LzhEncoderSink {
    int fd = -1;
    bool put(const uint8_t* data, size_t size) override { return writeAll(fd, data, size); }
  } sink;

  static bool writeAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
      const ssize_t n = ::write(fd, data, size);
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  bool cp932(const std::string& utf8, std::string& result) {
    std::string in = utf8;
    result.assign(in.size() * 2 + 4, '\0');
    char* src = in.data();
    size_t srcLeft = in.size();
    char* dst = result.data();
    size_t dstLeft = result.size();
    iconv(toCp932, nullptr, nullptr, nullptr, nullptr);
    if (iconv(toCp932, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1)) return false;
    result.resize(result.size() - dstLeft);
    return true;
  }

  static void setTimes(LzhHeaderFields& f, const struct stat& st) {
    const auto fileTime = [](const struct timespec& t) {
      return static_cast<uint64_t>(static_cast<int64_t>(FILETIME_UNIX_EPOCH) +
                                   static_cast<int64_t>(t.tv_sec) * 10000000LL + t.tv_nsec / 100);
    };
    f.unixTime = static_cast<uint32_t>(std::clamp<int64_t>(st.st_mtim.tv_sec, 0, 0xFFFFFFFFLL));
    // Readers take the fixed field as a signed 32-bit time; Windows time
    // stamps (27 bytes a member) are added only for times it cannot hold.
    if (st.st_mtim.tv_sec < 0 || st.st_mtim.tv_sec > 0x7FFFFFFF) {
      f.windowsTimes = true;
      f.lastWriteTime = f.creationTime = fileTime(st.st_mtim);
      f.lastAccessTime = st.st_atim.tv_sec >= 0 ? fileTime(st.st_atim) : f.lastWriteTime;
    }
  }

  bool writeHeaderAt(off_t offset, const LzhHeaderFields& f, size_t expected) {
    uint8_t header[65536];
    const size_t size = writeLzhHeader(f, header, sizeof header);
    if (size == 0 || size != expected) return false;
    return ::pwrite(out, header, size, offset) == static_cast<ssize_t>(size);
  }

  void fail(const std::string& what) {
    std::fprintf(stderr, "kasumiro-lzhpack: %s\n", what.c_str());
    failed = true;
  }

  // dir: CP932 path of the folder the member is in ("" or "a/b").
  void addDirectory(const std::string& path, const std::string& archiveDir, const struct stat& st) {
    LzhHeaderFields f;
    f.method = 'd';
    f.attributes = LZH_ATTRIBUTE_DIRECTORY;
    f.directory = archiveDir;
    setTimes(f, st);
    uint8_t header[65536];
    const size_t size = writeLzhHeader(f, header, sizeof header);
    if (size == 0 || !writeAll(out, header, size)) return fail("cannot write " + path);
    ++members;

    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
      while (const dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
      }
      closedir(d);
    } else {
      return fail("cannot read the folder " + path);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (failed) return;
      add(path + "/" + name, name, archiveDir);
    }
  }

  void addFile(const std::string& path, const std::string& archiveDir, const std::string& name,
               const struct stat& st) {
    const int in = ::open(path.c_str(), O_RDONLY);
    if (in < 0) return fail("cannot open " + path);
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    LzhHeaderFields f;
    f.method = size ? method : '0';
    f.uncompressedSize = size;
    f.attributes = LZH_ATTRIBUTE_ARCHIVE | ((st.st_mode & S_IWUSR) ? 0 : LZH_ATTRIBUTE_READ_ONLY);
    f.directory = archiveDir;
    f.fileName = name;
    setTimes(f, st);
    const size_t headerSize = lzhHeaderSize(f);
    const off_t headerAt = ::lseek(out, 0, SEEK_CUR);
    const off_t dataAt = headerAt + static_cast<off_t>(headerSize);
    if (headerSize == 0 || ::lseek(out, dataAt, SEEK_SET) != dataAt) {
      ::close(in);
      return fail("cannot write the header of " + path);
    }

    bool compressed = false;
    if (size > 0) {
      encoder.begin(method, level, &sink, size - 1);
      bool ok = true;
      for (;;) {
        const ssize_t n = ::read(in, chunk.get(), READ_CHUNK);
        if (n < 0) {
          ok = false;
          break;
        }
        if (n == 0 || !encoder.write(chunk.get(), static_cast<size_t>(n))) break;
      }
      if (!ok) {
        ::close(in);
        return fail("cannot read " + path);
      }
      compressed = encoder.finish();
      if (encoder.sinkFailed()) {
        ::close(in);
        return fail("cannot write the data of " + path);
      }
    }
    uint16_t crc = 0;
    uint64_t written = 0;
    if (compressed) {
      crc = encoder.crc();
      written = encoder.outputSize();
      if (encoder.inputSize() != size) {
        ::close(in);
        return fail(path + " changed while it was read");
      }
    } else {
      // Stored: the data as it is, in place of what the encoder wrote.
      f.method = '0';
      ++stored;
      if (::lseek(out, dataAt, SEEK_SET) != dataAt || ::ftruncate(out, dataAt) != 0 ||
          ::lseek(in, 0, SEEK_SET) != 0) {
        ::close(in);
        return fail("cannot store " + path);
      }
      for (;;) {
        const ssize_t n = ::read(in, chunk.get(), READ_CHUNK);
        if (n <= 0) break;
        crc = crc16Update(crc, chunk.get(), static_cast<size_t>(n));
        if (!writeAll(out, chunk.get(), static_cast<size_t>(n))) {
          ::close(in);
          return fail("cannot write the data of " + path);
        }
        written += static_cast<uint64_t>(n);
      }
      if (written != size) {
        ::close(in);
        return fail(path + " changed while it was read");
      }
    }
    ::close(in);
    f.compressedSize = written;
    f.dataCrc = crc;
    if (!writeHeaderAt(headerAt, f, headerSize)) return fail("cannot write the header of " + path);
    ++members;
    inputBytes += size;
  }

  void add(const std::string& path, const std::string& utf8Name, const std::string& archiveDir) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return fail("cannot find " + path);
    std::string name;
    if (!cp932(utf8Name, name)) return fail("no CP932 form for the name " + path);
    if (S_ISDIR(st.st_mode)) {
      addDirectory(path, archiveDir.empty() ? name : archiveDir + "/" + name, st);
    } else if (S_ISREG(st.st_mode)) {
      addFile(path, archiveDir, name, st);
    } else {
      std::fprintf(stderr, "kasumiro-lzhpack: skipping %s (not a file or folder)\n", path.c_str());
    }
  }
};

void usage() {
  std::fputs("usage: kasumiro-lzhpack [-1..-9] [-m5|-m6|-m7] [-q] OUTPUT.lzh PATH...\n", stderr);
}

}  // namespace

int main(int argc, char** argv) {
  Packer packer;
  bool quiet = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
    const char* a = argv[i];
    if (a[1] >= '1' && a[1] <= '9' && a[2] == '\0') {
      packer.level = a[1] - '0';
    } else if (a[1] == 'm' && a[2] >= '5' && a[2] <= '7' && a[3] == '\0') {
      packer.method = a[2];
    } else if (!std::strcmp(a, "-q")) {
      quiet = true;
    } else {
      usage();
      return 2;
    }
  }
  if (argc - i < 2) {
    usage();
    return 2;
  }
  packer.toCp932 = iconv_open("CP932", "UTF-8");
  if (packer.toCp932 == reinterpret_cast<iconv_t>(-1)) {
    std::fputs("kasumiro-lzhpack: no UTF-8 to CP932 conversion on this system\n", stderr);
    return 1;
  }
  const std::string output = argv[i++];
  packer.out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (packer.out < 0) {
    std::fprintf(stderr, "kasumiro-lzhpack: cannot create %s\n", output.c_str());
    return 1;
  }
  packer.sink.fd = packer.out;
  const auto start = std::chrono::steady_clock::now();
  for (; i < argc && !packer.failed; ++i) {
    std::string path = argv[i];
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const size_t slash = path.find_last_of('/');
    packer.add(path, slash == std::string::npos ? path : path.substr(slash + 1), "");
  }
  const uint8_t end = LZH_ARCHIVE_END;
  if (!packer.failed && !Packer::writeAll(packer.out, &end, 1))
    packer.fail("cannot write " + output);
  const off_t archiveSize = ::lseek(packer.out, 0, SEEK_CUR);
  if (::close(packer.out) != 0) packer.fail("cannot write " + output);
  iconv_close(packer.toCp932);
  if (packer.failed) {
    ::unlink(output.c_str());
    return 1;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!quiet) {
    std::printf("%llu members (%llu stored), %llu bytes in, %lld bytes out, %.3f s\n",
                static_cast<unsigned long long>(packer.members),
                static_cast<unsigned long long>(packer.stored),
                static_cast<unsigned long long>(packer.inputBytes),
                static_cast<long long>(archiveSize), seconds);
  }
  return 0;
}
