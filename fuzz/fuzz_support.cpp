#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "lzh/block_decoder.h"
#include "lzh/crc16.h"
#include "startup/sfx_state.h"

void fuzzFailure(const char* what, const std::string& detail) {
  std::fprintf(stderr, "\n*** fuzz check failed: %s%s%s\n", what, detail.empty() ? "" : ": ",
               detail.c_str());
  std::abort();
}

namespace {

std::vector<std::string> scratchDirectories;

void removeScratchDirectories() {
  for (const auto& directory : scratchDirectories) removeTree(directory);
}

}  // namespace

std::string makeScratchDirectory(const char* tag) {
  const char* base = nullptr;
  struct stat st;
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0) {
    base = "/dev/shm";
  } else {
    base = std::getenv("TMPDIR");
    if (!base || !*base) base = "/tmp";
  }
  std::string pattern = std::string(base) + "/kasumiro-fuzz-" + tag + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back(0);
  if (!mkdtemp(buffer.data())) fuzzFailure("cannot create the scratch directory", pattern);
  if (scratchDirectories.empty()) std::atexit(removeScratchDirectories);
  scratchDirectories.push_back(buffer.data());
  return buffer.data();
}

void writeWholeFile(const std::string& path, const uint8_t* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fuzzFailure("cannot create", path);
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) fuzzFailure("cannot write", path);
    done += static_cast<size_t>(n);
  }
  close(fd);
}

std::vector<uint8_t> readWholeFile(const std::string& path) {
  std::vector<uint8_t> out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fuzzFailure("cannot open", path);
  uint8_t buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) fuzzFailure("cannot read", path);
    if (n == 0) break;
    out.insert(out.end(), buffer, buffer + n);
  }
  close(fd);
  return out;
}

void removeTree(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ignored;
  if (!fs::exists(fs::symlink_status(path, ignored))) return;
  fs::remove_all(path, ignored);
  if (!ignored) return;
  // Something below was not removable as it stood: open everything up.
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (auto it = fs::recursive_directory_iterator(path, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored))
    if (!it->is_symlink())
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path, ignored);
  if (ignored) fuzzFailure("cannot empty the scratch directory", path);
}

std::vector<std::string> listDirectory(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (!dir) return names;
  while (struct dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      names.push_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

// Descriptors on the null device that were open before the first input
// (the fuzzer's and the shell's own).
std::vector<std::string> nullDescriptorsBefore;
bool nullDescriptorsKnown = false;

std::string descriptorTarget(const std::string& name) {
  const std::string link = "/proc/self/fd/" + name;
  char target[4096];
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n < 0) return std::string();  // the directory listing's own descriptor
  target[n] = 0;
  return target;
}

}  // namespace

std::string leakedDescriptors(const std::string& scratch) {
  const auto names = listDirectory("/proc/self/fd");
  if (!nullDescriptorsKnown) {
    for (const auto& name : names)
      if (descriptorTarget(name) == "/dev/null") nullDescriptorsBefore.push_back(name);
    nullDescriptorsKnown = true;
  }
  std::string found;
  for (const auto& name : names) {
    const std::string path = descriptorTarget(name);
    const bool nullDevice =
        path == "/dev/null" && std::find(nullDescriptorsBefore.begin(), nullDescriptorsBefore.end(),
                                         name) == nullDescriptorsBefore.end();
    if (nullDevice || path.compare(0, scratch.size() + 1, scratch + "/") == 0)
      found += (found.empty() ? "" : ", ") + name + " -> " + path;
  }
  return found;
}

bool readVectorSource(void* context, uint8_t* buffer, uint32_t count) {
  auto* s = static_cast<VectorSource*>(context);
  if (s->bytes->size() - s->at < count) return false;
  std::memcpy(buffer, s->bytes->data() + s->at, count);
  s->at += count;
  return true;
}

bool collectOutput(void* context, const uint8_t* data, uint32_t count) {
  auto* o = static_cast<CollectedOutput*>(context);
  o->bytes.insert(o->bytes.end(), data, data + count);
  o->crc = crc16Update(o->crc, data, count);
  return true;
}

// The extraction's decoder needs no reset: it starts every member afresh.
void resetCoreState() { resetSfxState(); }

void checkDecodesTo(LzhBlockDecoder& decoder, char method, const std::vector<uint8_t>& stream,
                    const std::vector<uint8_t>& data, uint16_t crc, const std::string& what) {
  VectorSource source{&stream, 0};
  CollectedOutput output{{}, 0};
  const LzhStatus status =
      decoder.decodeMember(method, LzhSource{readVectorSource, &source}, stream.size(),
                           static_cast<int64_t>(data.size()), LzhSink{collectOutput, &output});
  FUZZ_CHECK(status == LZH_OK, what + ": decoding failed with " + std::to_string(status));
  FUZZ_CHECK(source.at == stream.size(),
             what + ": " + std::to_string(stream.size() - source.at) + " compressed bytes unread");
  FUZZ_CHECK(output.bytes.size() == data.size(),
             what + ": " + std::to_string(output.bytes.size()) + " bytes out");
  if (output.bytes != data) {
    size_t at = 0;
    while (output.bytes[at] == data[at]) ++at;
    fuzzFailure("decoded data differs", what + ", first at byte " + std::to_string(at));
  }
  FUZZ_CHECK(output.crc == crc, what + ": data CRC");
}
