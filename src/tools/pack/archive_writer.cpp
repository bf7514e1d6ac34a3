#include "tools/pack/archive_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "lzh/crc16.h"
#include "tools/pack/pack_support.h"

namespace pack {

namespace {

constexpr size_t READ_CHUNK = 1 << 20;
constexpr uint64_t FILETIME_UNIX_EPOCH = 116444736000000000ULL;
constexpr uint64_t FOUR_GIB = 1ULL << 32;

double since(const struct timespec& t) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - t.tv_sec) + (now.tv_nsec - t.tv_nsec) / 1e9;
}

uint16_t attributesOf(const std::string& member, bool directory, const struct stat& st) {
  uint16_t attributes = directory ? LZH_ATTRIBUTE_DIRECTORY : LZH_ATTRIBUTE_ARCHIVE;
  if (!(st.st_mode & S_IWUSR)) attributes |= LZH_ATTRIBUTE_READ_ONLY;
  const size_t slash = member.rfind('/');
  if (member[slash == std::string::npos ? 0 : slash + 1] == '.') attributes |= 0x02;  // hidden
  return attributes;
}

// The exact names of a member beyond CP932: its directory and its name.
void setUnicodeNames(LzhHeaderFields& f, const std::string& unicode, bool directory,
                     std::u16string& text) {
  if (unicode.empty()) return;
  text = utf16Of(unicode);
  const std::u16string_view view(text);
  const size_t slash = directory ? view.size() : view.rfind(u'/');
  if (slash == std::u16string_view::npos) {
    f.unicodeFileName = view;
  } else {
    f.unicodeDirectory = view.substr(0, slash);
    if (!directory) f.unicodeFileName = view.substr(slash + 1);
  }
}

}  // namespace

// ---------------------------------------------------------- the progress

void Progress::begin() {
  enabled = enabled && isatty(STDERR_FILENO);
  clock_gettime(CLOCK_MONOTONIC, &start);
  last = start;
}

void Progress::update() {
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

void Progress::end() {
  if (shown) std::fputs("\r\033[K", stderr);
  shown = false;
}

// ---------------------------------------------------------- the file

ArchiveWriter::ArchiveWriter(const std::string& output, bool executable,
                             const WriteSettings& settings)
    : output_(output),
      executable_(executable),
      settings_(settings),
      chunk_(new uint8_t[READ_CHUNK]) {}

// OUTPUT is replaced by a rename, which would turn a device, a pipe, a
// folder or a link into a plain file (as root, /dev/null or /dev/full too):
// only a regular file, or nothing, may stand there.
static bool replaceable(const std::string& output) {
  struct stat st;
  if (lstat(output.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return true;
  const char* what = S_ISDIR(st.st_mode)                          ? " (a folder)"
                     : S_ISLNK(st.st_mode)                        ? " (a symbolic link)"
                     : S_ISFIFO(st.st_mode)                       ? " (a pipe)"
                     : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? " (a device)"
                                                                  : "";
  return fail(shown(output) + " exists and is not a regular file" + what + "; name another OUTPUT");
}

bool ArchiveWriter::open() {
  if (!replaceable(output_)) return false;
  const size_t slash = output_.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : output_.substr(0, slash);
  const std::string name = slash == std::string::npos ? output_ : output_.substr(slash + 1);
  temp_ = dir + "/." + name + ".kasumiro-XXXXXX";
  fd_ = mkstemp(temp_.data());
  if (fd_ < 0) {
    temp_.clear();
    return fail("cannot write in " + shown(dir) + ": " + reason());
  }
  return true;
}

bool ArchiveWriter::commit() {
  const mode_t mask = umask(0);
  umask(mask);
  const mode_t mode = (executable_ ? 0777 : 0666) & ~mask;
  if (!replaceable(output_)) return false;
  if (fchmod(fd_, mode) != 0 || fsync(fd_) != 0 || close(fd_) != 0) {
    fd_ = -1;
    return fail("cannot write " + shown(output_) + ": " + reason());
  }
  fd_ = -1;
  if (rename(temp_.c_str(), output_.c_str()) != 0)
    return fail("cannot make " + shown(output_) + ": " + reason());
  temp_.clear();
  return true;
}

void ArchiveWriter::discard() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!temp_.empty()) unlink(temp_.c_str());
  temp_.clear();
}

bool ArchiveWriter::put(const uint8_t* data, size_t size) {
  progress.packedBytes += size;
  return writeAll(data, size);
}

bool ArchiveWriter::writeAll(const uint8_t* data, size_t size) {
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

bool ArchiveWriter::copyFile(const std::string& path) {
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

// ---------------------------------------------------------- the members

// Hands the member's data to consume in chunks, counting it as done.
template <typename Consume>
bool ArchiveWriter::feed(const std::string& native, const std::string* contents, uint64_t size,
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

bool ArchiveWriter::directory(const std::string& member, const struct stat& st,
                              const std::string& unicode) {
  LzhHeaderFields f;
  f.method = 'd';
  f.attributes = attributesOf(member, true, st);
  setTimes(f, st.st_mtim);
  f.directory = member;
  std::u16string text;
  setUnicodeNames(f, unicode, true, text);
  return header(f);
}

// Compressed when it shrinks, stored otherwise. The header goes first with
// room for the final one, which is written once the sizes and the CRC are
// known (its length does not depend on them).
bool ArchiveWriter::file(const std::string& native, const std::string& member,
                         const struct stat& st, const std::string* contents,
                         const std::string& unicode) {
  LzhHeaderFields f;
  f.attributes = attributesOf(member, false, st);
  setTimes(f, st.st_mtim);
  const size_t slash = member.rfind('/');
  std::string directory = slash == std::string::npos ? "" : member.substr(0, slash);
  f.directory = directory;
  f.fileName = slash == std::string::npos ? std::string_view(member)
                                          : std::string_view(member).substr(slash + 1);
  std::u16string text;
  setUnicodeNames(f, unicode, false, text);
  const uint64_t size = contents ? contents->size() : static_cast<uint64_t>(st.st_size);
  f.uncompressedSize = size;
  f.sizes64 = size >= FOUR_GIB;
  f.method = size == 0 ? '0' : settings_.method;
  const size_t headerLength = lzhHeaderSize(f);
  if (headerLength == 0) return fail(shown(native) + ": the header would be too long");
  const uint64_t headerAt = position_;
  std::vector<uint8_t> placeholder(headerLength);
  if (!writeAll(placeholder.data(), placeholder.size())) return false;
  const uint64_t dataAt = position_;

  uint64_t consumed = 0;
  if (f.method != '0') {
    encoder_.begin(f.method, settings_.level, this, size - 1);
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

bool ArchiveWriter::end() {
  const uint8_t marker = LZH_ARCHIVE_END;
  return writeAll(&marker, 1);
}

bool ArchiveWriter::header(const LzhHeaderFields& f) {
  uint8_t buffer[65536];
  const size_t length = writeLzhHeader(f, buffer, sizeof buffer);
  if (length == 0) return fail("a header would be too long");
  return writeAll(buffer, length);
}

bool ArchiveWriter::failWrite() {
  if (!failed_) fail("cannot write " + shown(output_) + ": " + reason());
  failed_ = true;
  return false;
}

void ArchiveWriter::setTimes(LzhHeaderFields& f, struct timespec t) const {
  const int64_t latest = settings_.latest;
  if (latest >= 0 && t.tv_sec > latest) t = {static_cast<time_t>(latest), 0};
  f.unixTime = static_cast<uint32_t>(std::clamp<int64_t>(t.tv_sec, 0, 0x7FFFFFFF));
  if (t.tv_sec >= 0) {
    f.windowsTimes = true;
    f.creationTime = f.lastWriteTime = f.lastAccessTime =
        FILETIME_UNIX_EPOCH + static_cast<uint64_t>(t.tv_sec) * 10000000ULL +
        static_cast<uint64_t>(t.tv_nsec) / 100;
  }
}

}  // namespace pack
