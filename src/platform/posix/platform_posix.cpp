// The platform seam on Linux. Paths arrive as CP932 and reach the system as
// UTF-8 with '/' separators; the Windows-only answers get POSIX equivalents.
#include "platform/posix/platform_posix.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/link_walk.h"
#include "platform/platform.h"
#include "platform/posix/text.h"

PosixCommandRecord posixLastCommand;
char posixHeldFiles[4096];
bool posixRunCommands = false;
unsigned posixFailWriteAfter = 0;
bool posixDeviceNames = false;

namespace {

constexpr size_t NATIVE_PATH_SIZE = 4096;

int fdOf(FileHandle handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }
FileHandle handleOf(int fd) {
  return fd < 0 ? PLATFORM_INVALID_FILE : reinterpret_cast<FileHandle>(static_cast<intptr_t>(fd));
}

bool native(const char* path, char* out) { return nativePath(path, out, NATIVE_PATH_SIZE); }

// Any native name becomes program text: what CP932 lacks is escaped.
bool fromNative(const char* utf8, char* buffer, uint32_t size) {
  return utf8ToProgramText(utf8, buffer, size);
}

struct timespec toTimespec(FileTime time) {
  // FILETIME counts 100 ns from 1601; Unix time counts from 1970. A header
  // can claim any 64-bit value: the signed range's end is far enough.
  if (time > static_cast<uint64_t>(INT64_MAX)) time = static_cast<uint64_t>(INT64_MAX);
  const int64_t unix100ns = static_cast<int64_t>(time) - 116444736000000000LL;
  struct timespec ts;
  int64_t seconds = unix100ns / 10000000;
  int64_t rest = unix100ns % 10000000;
  if (rest < 0) {
    rest += 10000000;
    --seconds;
  }
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>(rest * 100);
  return ts;
}

}  // namespace

namespace {

// Read-ahead for the file opened for reading last (the archive): the passes
// read every header in small pieces and skip the data behind it, which
// would otherwise cost several system calls a member. Reads of a buffer's
// size or more go straight to the caller. An earlier file loses its
// read-ahead (its position is put back) when a newer one is opened.
struct ReadAhead {
  int fd = -1;
  uint32_t at = 0, end = 0;  // unread bytes: data[at, end)
  off_t dataStart = 0;       // the file position of data[0]
  uint8_t data[16384];       // as much as the decoder asks for at a time
};
ReadAhead readAhead;

// The file's position goes back to what the caller has read, the buffer
// is dropped.
void dropReadAhead() {
  if (readAhead.fd >= 0 && readAhead.at < readAhead.end)
    lseek(readAhead.fd, -static_cast<off_t>(readAhead.end - readAhead.at), SEEK_CUR);
  readAhead.fd = -1;
  readAhead.at = readAhead.end = 0;
}

// read() until count bytes or the end of the file; false on an error.
bool readFully(int fd, uint8_t* buffer, uint32_t count, uint32_t* got) {
  uint32_t done = 0;
  while (done < count) {
    ssize_t r = read(fd, buffer + done, count - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      *got = done;
      return false;
    }
    if (r == 0) break;
    done += static_cast<uint32_t>(r);
  }
  *got = done;
  return true;
}

}  // namespace

FileHandle platformOpenRead(const char* path) {
  char n[NATIVE_PATH_SIZE];
  if (!native(path, n)) return PLATFORM_INVALID_FILE;
  const int fd = open(n, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    dropReadAhead();
    readAhead.fd = fd;
    readAhead.dataStart = 0;
  }
  return handleOf(fd);
}

FileHandle platformCreateOutput(const char* path) {
  char n[NATIVE_PATH_SIZE];
  if (!native(path, n)) return PLATFORM_INVALID_FILE;
  // A symbolic link in the file's place is replaced, never followed.
  struct stat st;
  if (lstat(n, &st) == 0 && S_ISLNK(st.st_mode)) unlink(n);
  return handleOf(open(n, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
}

namespace {

char checkedPath[NATIVE_PATH_SIZE];
CheckedDirectory checkedDirectory{checkedPath, sizeof checkedPath, 0};

PathKind kindOf(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) return PATH_MISSING;
  if (S_ISLNK(st.st_mode)) return PATH_LINK;
  return S_ISDIR(st.st_mode) ? PATH_DIRECTORY : PATH_OTHER;
}

}  // namespace

void platformForgetCheckedDirectories() { checkedDirectory.length = 0; }

bool platformNoLinkBelow(const char* path, size_t trustedLength, bool wholePath) {
  char n[NATIVE_PATH_SIZE];
  char prefix[NATIVE_PATH_SIZE];
  char trusted[NATIVE_PATH_SIZE];
  if (trustedLength >= NATIVE_PATH_SIZE || !native(path, n)) return false;
  std::memcpy(prefix, path, trustedLength);
  prefix[trustedLength] = 0;
  if (!native(prefix, trusted)) return false;
  const size_t trustedEnd = std::strlen(trusted);
  if (std::strncmp(n, trusted, trustedEnd) != 0) return false;
  if (walkNoLinkBelow(n, trustedEnd, wholePath, kindOf, checkedDirectory)) return true;
  errno = ELOOP;
  return false;
}

FileHandle platformCreateOutputBelow(const char* path, size_t trustedLength) {
  // Every directory below the trusted one must be a real directory: an
  // existing link there would carry the file out of the destination.
  if (!platformNoLinkBelow(path, trustedLength, false)) return PLATFORM_INVALID_FILE;
  return platformCreateOutput(path);
}

FileHandle platformCreateHeldOutputBelow(const char* path, size_t trustedLength) {
  const FileHandle file = platformCreateOutputBelow(path, trustedLength);
  char n[NATIVE_PATH_SIZE];
  const size_t used = std::strlen(posixHeldFiles);
  if (file != PLATFORM_INVALID_FILE && native(path, n) &&
      used + std::strlen(n) + 2 <= sizeof posixHeldFiles) {
    std::strcat(std::strcat(posixHeldFiles + used, n), "\n");
  }
  return file;
}

void platformReleaseHeld() { posixHeldFiles[0] = 0; }

FileHandle platformOpenNullSink() { return handleOf(open("/dev/null", O_WRONLY | O_CLOEXEC)); }

bool platformRead(FileHandle file, void* buffer, uint32_t count, uint32_t* got) {
  // Like ReadFile on a disk file: fill the request unless the file ends.
  const int fd = fdOf(file);
  auto* out = static_cast<uint8_t*>(buffer);
  if (fd != readAhead.fd || fd < 0) return readFully(fd, out, count, got);
  ReadAhead& r = readAhead;
  uint32_t done = 0;
  for (;;) {
    const uint32_t take = count - done < r.end - r.at ? count - done : r.end - r.at;
    std::memcpy(out + done, r.data + r.at, take);
    r.at += take;
    done += take;
    if (done == count) break;
    r.dataStart += r.end;
    r.at = r.end = 0;
    uint32_t more = 0;
    if (count - done >= sizeof r.data) {
      const bool ok = readFully(fd, out + done, count - done, &more);
      r.dataStart += more;
      *got = done + more;
      return ok;
    }
    const bool ok = readFully(fd, r.data, sizeof r.data, &more);
    r.end = more;
    if (!ok || more == 0) {
      *got = done;
      return ok;
    }
  }
  *got = done;
  return true;
}

bool platformWrite(FileHandle file, const void* buffer, uint32_t count, uint32_t* written) {
  if (posixFailWriteAfter && --posixFailWriteAfter == 0) {
    *written = 0;
    errno = ENOSPC;
    return false;
  }
  uint32_t done = 0;
  while (done < count) {
    ssize_t r = write(fdOf(file), static_cast<const char*>(buffer) + done, count - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      *written = done;
      return false;
    }
    done += static_cast<uint32_t>(r);
  }
  *written = done;
  return true;
}

bool platformSeek(FileHandle file, int64_t distance, SeekOrigin origin) {
  const int fd = fdOf(file);
  if (fd >= 0 && fd == readAhead.fd) {
    ReadAhead& r = readAhead;
    // A target within the buffered bytes costs no system call.
    const bool inBuffer =
        origin == SEEK_FROM_START
            ? distance >= r.dataStart && distance - r.dataStart <= static_cast<int64_t>(r.end)
            : distance >= -static_cast<int64_t>(r.at) &&
                  distance <= static_cast<int64_t>(r.end - r.at);
    if (inBuffer) {
      r.at = static_cast<uint32_t>(origin == SEEK_FROM_START ? distance - r.dataStart
                                                             : r.at + distance);
      return true;
    }
    if (origin == SEEK_FROM_CURRENT) {
      // The file stands at the buffer's end, the caller at r.at.
      const int64_t behind = static_cast<int64_t>(r.end - r.at);
      if (distance < INT64_MIN + behind) return false;
      distance -= behind;
    }
    const off_t position =
        lseek(fd, static_cast<off_t>(distance), origin == SEEK_FROM_START ? SEEK_SET : SEEK_CUR);
    r.at = r.end = 0;
    if (position < 0) {
      r.dataStart = lseek(fd, 0, SEEK_CUR);
      return false;
    }
    r.dataStart = position;
    return true;
  }
  return lseek(fd, static_cast<off_t>(distance), origin == SEEK_FROM_START ? SEEK_SET : SEEK_CUR) >=
         0;
}

int64_t posixReadPosition(FileHandle file) {
  const off_t position = lseek(fdOf(file), 0, SEEK_CUR);
  if (position < 0 || fdOf(file) != readAhead.fd) return position;
  return position - static_cast<off_t>(readAhead.end - readAhead.at);
}

bool platformClose(FileHandle file) {
  if (fdOf(file) == readAhead.fd) {
    readAhead.fd = -1;
    readAhead.at = readAhead.end = 0;
  }
  return close(fdOf(file)) == 0;
}

void platformSetFileTime(FileHandle file, FileTime lastWrite) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = toTimespec(lastWrite);
  futimens(fdOf(file), times);
}

bool platformDeleteFile(const char* path) {
  char n[NATIVE_PATH_SIZE];
  return native(path, n) && unlink(n) == 0;
}

bool platformCreateDirectory(const char* path) {
  char n[NATIVE_PATH_SIZE];
  return native(path, n) && mkdir(n, 0777) == 0;
}

void platformSetDirectoryTime(const char* path, FileTime lastWrite) {
  char n[NATIVE_PATH_SIZE];
  if (!native(path, n)) return;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = toTimespec(lastWrite);
  utimensat(AT_FDCWD, n, times, AT_SYMLINK_NOFOLLOW);
}

uint32_t platformGetAttributes(const char* path) {
  char n[NATIVE_PATH_SIZE];
  struct stat st;
  if (!native(path, n) || lstat(n, &st) != 0) return PLATFORM_INVALID_ATTRIBUTES;
  if (S_ISDIR(st.st_mode)) return PLATFORM_ATTRIBUTE_DIRECTORY;
  uint32_t attributes = 0x20;  // FILE_ATTRIBUTE_ARCHIVE, as a fresh file has
  if (!(st.st_mode & S_IWUSR)) attributes |= PLATFORM_ATTRIBUTE_READONLY;
  return attributes;
}

bool platformSetAttributes(const char* path, uint32_t attributes) {
  // Only the read-only bit has a POSIX meaning, and only for files.
  char n[NATIVE_PATH_SIZE];
  struct stat st;
  if (!native(path, n) || lstat(n, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  mode_t mode = st.st_mode & 07777;
  mode = (attributes & PLATFORM_ATTRIBUTE_READONLY) ? mode & ~0222 : mode | S_IWUSR;
  return chmod(n, mode) == 0;
}

uint32_t platformVolumeComponentLength(const char* root) {
  char n[NATIVE_PATH_SIZE];
  if (!root[0]) root = "/";
  if (!native(root, n)) return 0;
  long length = pathconf(n, _PC_NAME_MAX);
  return length > 0 ? static_cast<uint32_t>(length) : 0;
}

void platformExpandEnvironment(const char* source, char* destination, uint32_t size) {
  uint32_t used = 0;
  auto put = [&](const char* text, size_t length) {
    for (size_t i = 0; i < length && used + 1 < size; ++i) destination[used++] = text[i];
  };
  const char* p = source;
  while (*p) {
    const char* close = *p == '%' ? std::strchr(p + 1, '%') : nullptr;
    if (close && close > p + 1) {
      char name[256];
      size_t length = static_cast<size_t>(close - p - 1);
      const char* value = nullptr;
      if (length < sizeof name) {
        std::memcpy(name, p + 1, length);
        name[length] = 0;
        value = std::getenv(name);
      }
      char converted[1024];
      if (value && utf8ToProgramText(value, converted, sizeof converted)) {
        put(converted, std::strlen(converted));
        p = close + 1;
        continue;
      }
    }
    put(p, 1);
    ++p;
  }
  if (size) destination[used] = 0;
}

bool platformCurrentDirectory(char* buffer, uint32_t size) {
  char n[NATIVE_PATH_SIZE];
  return getcwd(n, sizeof n) && fromNative(n, buffer, size);
}

// No system or Windows directory on Linux: the nearest equivalents.
bool platformSystemDirectory(char* buffer, uint32_t size) {
  return fromNative("/usr/lib", buffer, size);
}
bool platformWindowsDirectory(char* buffer, uint32_t size) {
  return fromNative("/usr", buffer, size);
}

bool platformTempDirectory(char* buffer, uint32_t size) {
  const char* tmp = std::getenv("TMPDIR");
  char n[NATIVE_PATH_SIZE];
  size_t length = std::strlen(tmp && *tmp ? tmp : "/tmp");
  if (length + 2 > sizeof n) return false;
  std::memcpy(n, tmp && *tmp ? tmp : "/tmp", length);
  if (n[length - 1] != '/') n[length++] = '/';
  n[length] = 0;
  return fromNative(n, buffer, size);
}

bool platformShortPathName(const char* path, char* buffer, uint32_t size) {
  // No short names here: an existing path is its own short form.
  char n[NATIVE_PATH_SIZE];
  struct stat st;
  if (!native(path, n) || stat(n, &st) != 0 || std::strlen(path) + 1 > size) return false;
  std::strcpy(buffer, path);
  return true;
}

bool platformSpecialFolder(int, char*, uint32_t) { return false; }

FileTime platformCurrentFileTime() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  // 1601-01-01 lies 11644473600 seconds before 1970-01-01.
  return (static_cast<FileTime>(ts.tv_sec) + 11644473600u) * 10000000u +
         static_cast<FileTime>(ts.tv_nsec / 1000000) * 10000u;
}

bool platformIsLeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

bool platformHasDeviceNames() { return posixDeviceNames; }

namespace {
struct {
  unsigned type, id;
  const uint8_t* data;
  uint32_t size;
} programResource;
}  // namespace

void posixSetProgramResource(unsigned type, unsigned id, const uint8_t* data, uint32_t size) {
  programResource = {type, id, data, size};
}

const uint8_t* platformProgramResource(unsigned type, unsigned id, uint32_t* size) {
  if (!programResource.data || programResource.type != type || programResource.id != id)
    return nullptr;
  *size = programResource.size;
  return programResource.data;
}

// The runner speaks Japanese where the user's locale for messages is
// Japanese, English elsewhere: the first of LC_ALL, LC_MESSAGES and LANG
// that is set decides, as for any POSIX program's messages.
static bool japaneseMessages() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return value[0] == 'j' && value[1] == 'a';
  }
  return false;
}

int platformLoadString(unsigned id, char* buffer, int size) {
  if (size <= 0) return 0;
  const bool japanese = japaneseMessages();
  const char* text = nullptr;
  switch (id) {
#define MESSAGE(number, name, japaneseText, englishText) \
  case number:                                           \
    text = japanese ? japaneseText : englishText;        \
    break;
#include "platform/message_texts.inc"
#undef MESSAGE
    default:
      break;
  }
  buffer[0] = 0;
  if (!text) return 0;
  char converted[1024];
  if (!utf8ToCp932(text, converted, sizeof converted)) return 0;
  // Cut to size - 1 bytes like LoadStringA, never inside a character.
  int length = 0;
  while (converted[length]) {
    int step = platformIsLeadByte(static_cast<unsigned char>(converted[length])) ? 2 : 1;
    if (length + step > size - 1) break;
    length += step;
  }
  std::memcpy(buffer, converted, static_cast<size_t>(length));
  buffer[length] = 0;
  return length;
}

bool platformStartCommand(void*, const char* program, const char* arguments, const char* directory,
                          uint32_t* exitCode) {
  PosixCommandRecord& r = posixLastCommand;
  r.started = true;
  r.waited = exitCode != nullptr;
  nativePath(program, r.program, sizeof r.program);
  if (!nativeText(arguments, r.arguments, sizeof r.arguments)) r.arguments[0] = 0;
  nativePath(directory, r.directory, sizeof r.directory);
  std::memcpy(r.held, posixHeldFiles, sizeof r.held);
  platformReleaseHeld();  // before any wait, as on Windows
  if (exitCode) *exitCode = 0;
  if (!posixRunCommands) return true;
  pid_t child = fork();
  if (child == 0) {
    if (chdir(r.directory) != 0) _exit(127);
    // The program is quoted for the shell; the arguments are one string,
    // as the Windows shell gets them.
    char command[4 * sizeof r.program + sizeof r.arguments + 8];
    size_t used = 0;
    command[used++] = '\'';
    for (const char* p = r.program; *p; ++p) {
      if (*p == '\'') {
        std::memcpy(command + used, "'\\''", 4);
        used += 4;
      } else {
        command[used++] = *p;
      }
    }
    std::snprintf(command + used, sizeof command - used, "' %s", r.arguments);
    execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
    _exit(127);
  }
  if (child < 0) return false;
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // A program ended by a signal reports it as a shell would: 128 + signal.
  if (exitCode)
    *exitCode = WIFEXITED(status) ? static_cast<uint32_t>(WEXITSTATUS(status))
                                  : 128u + static_cast<uint32_t>(WTERMSIG(status));
  return true;
}

bool platformCreatePrivateDirectory(const char* path) {
  char n[NATIVE_PATH_SIZE];
  return native(path, n) && mkdir(n, 0700) == 0;
}

namespace {

int removeEntry(const char* path, const struct stat*, int type, struct FTW*) {
  // Visited depth first without following links: a link is removed itself.
  return (type == FTW_DP ? rmdir(path) : unlink(path)) == 0 ? 0 : -1;
}

}  // namespace

bool platformRemoveTree(const char* path) {
  char n[NATIVE_PATH_SIZE];
  return native(path, n) && nftw(n, removeEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT) == 0;
}
