// Whole self-extracting images: the configuration block through loadConfig,
// then the Notice, Scan, Extract and Test passes with a scratch directory as
// the destination, exactly as the program and the runner make them.
//
// The first byte of the image (the 'M' of "MZ", which nothing reads) holds
// two switches:
//   bit 0 set:   the Windows treatment of device names;
//   bit 1 clear: the header CRCs (and the data CRCs of stored members) are
//                put right before the run, so that mutated names, sizes and
//                extended headers get past the header check. Set, the image
//                runs as it is and the checks themselves are exercised.
//
// Every view of the archive walks the same members: after the Scan pass has
// succeeded, the members are listed the way it walks them, and every file
// and directory the Extract pass leaves must be one of those members (or a
// directory on the way to one), each file at the size its header gave.
//
// The destination lies four directories deep in the scratch directory, and
// every directory above it up to the scratch directory is watched: a file or
// directory created there, even one deleted again at once (a member whose data
// CRC failed), means a member got out of the destination. After every input
// no descriptor may be left open (image, output files, null device), and the
// destination is emptied for the next input.
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "extract/entry_header.h"
#include "extract/passes.h"
#include "fuzz_support.h"
#include "paths/path_strings.h"
#include "platform/posix/platform_posix.h"
#include "platform/posix/text.h"
#include "startup/config.h"
#include "startup/sfx_state.h"

namespace {

// Write calls one pass may make before the platform fails the next one. A
// few bytes of single-symbol blocks can claim gigabytes; this keeps each
// pass to at most 8 MiB of output and exercises the write-error path.
constexpr unsigned WRITE_BUDGET = 128;

// The Notice pass decodes the whole first member without writing anything,
// so the write budget does not bound it. Inputs whose first member claims
// more than this are not given that pass (the others still run).
constexpr int64_t NOTICE_SIZE_BUDGET = 8 << 20;

constexpr size_t FIXED_HEADER_SIZE = 26;

std::string scratch;     // the process's directory
std::string work;        // scratch/a/b/c/w: the image and the destination
std::string imagePath;   // work/image.exe
std::string outputPath;  // work/out
int watcher = -1;        // inotify on scratch, a, b, c and w
// KASUMIRO_FUZZ_VERBOSE set: each input's pass results on stderr, for
// checking seeds by hand.
bool verbose;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint64_t le64(const uint8_t* p) { return le32(p) | uint64_t{le32(p + 4)} << 32; }

uint16_t crc16(const uint8_t* data, size_t size) {
  uint16_t crc = 0;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

// One member header as the header reader sees it, for the harness's own
// bookkeeping (it never decides what the core accepts).
struct HeaderView {
  size_t headerSize = 0;
  size_t crcField = 0;  // offset of the last CRC record's value; 0 = none
  uint64_t compressedSize = 0;
  uint64_t uncompressedSize = 0;
};

// Reads the header at image[at...]; false when there is none (end marker,
// the image ends, or a size that cannot be walked).
bool viewHeader(const std::vector<uint8_t>& image, size_t at, HeaderView& view) {
  if (at >= image.size() || image[at] == 0 || image.size() - at < FIXED_HEADER_SIZE) return false;
  const uint8_t* h = image.data() + at;
  view = HeaderView();
  view.headerSize = le16(h);
  if (view.headerSize < FIXED_HEADER_SIZE || view.headerSize > image.size() - at) return false;
  view.compressedSize = le32(h + 7);
  view.uncompressedSize = le32(h + 11);
  for (size_t ext = 24;;) {
    const size_t recordSize = le16(h + ext);
    if (recordSize == 0) break;
    if (recordSize < 3 || ext + 2 + recordSize > view.headerSize) return false;
    const uint8_t* record = h + ext + 2;
    if (record[0] == 0x00 && recordSize >= 5) view.crcField = ext + 3;
    if (record[0] == 0x42 && recordSize >= 19) {
      view.compressedSize = le64(record + 1);
      view.uncompressedSize = le64(record + 9);
    }
    ext += recordSize;
  }
  return true;
}

// Puts every header CRC right, and the data CRC of every stored member whose
// data lies in the image, walking the members as the Scan pass does.
void repairChecksums(std::vector<uint8_t>& image) {
  if (image.size() < CONFIG_BLOCK_OFFSET + 4) return;
  size_t at = le32(image.data() + CONFIG_BLOCK_OFFSET);
  HeaderView view;
  while (viewHeader(image, at, view)) {
    uint8_t* h = image.data() + at;
    const size_t dataStart = at + view.headerSize;
    if (h[5] == '0' && view.uncompressedSize <= image.size() - dataStart) {
      const uint16_t crc = crc16(image.data() + dataStart, view.uncompressedSize);
      h[21] = static_cast<uint8_t>(crc);
      h[22] = static_cast<uint8_t>(crc >> 8);
    }
    if (view.crcField) {
      h[view.crcField] = h[view.crcField + 1] = 0;
      const uint16_t crc = crc16(h, view.headerSize);
      h[view.crcField] = static_cast<uint8_t>(crc);
      h[view.crcField + 1] = static_cast<uint8_t>(crc >> 8);
    }
    if (view.compressedSize > image.size() - dataStart) return;
    at = dataStart + view.compressedSize;
  }
}

// The size the first member claims, read the way the header reader reads
// it; within the budget when there is no first member.
bool noticeWithinBudget(const std::vector<uint8_t>& image) {
  if (image.size() < CONFIG_BLOCK_OFFSET + 4) return true;
  HeaderView view;
  if (!viewHeader(image, le32(image.data() + CONFIG_BLOCK_OFFSET), view)) return true;
  return static_cast<int64_t>(view.uncompressedSize) <= NOTICE_SIZE_BUDGET;
}

// One pass (Notice, Scan, Extract; or Test when test is set) under the
// write budget.
bool runPass(HostWindow window, ExtractMode mode, bool test = false) {
  posixFailWriteAfter = WRITE_BUDGET;
  bool ok = test ? runTestPass(window) : runExtraction(window, mode);
  posixFailWriteAfter = 0;
  FUZZ_CHECK(sfxState.archiveFile == PLATFORM_INVALID_FILE, "image left open");
  return ok;
}

// Everything created or moved into the directories above the destination
// since the last call, except the image itself and the destination.
std::string creationsAboveDestination() {
  std::string found;
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    ssize_t n = read(watcher, buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      const std::string name = event->len ? event->name : "";
      if (name != "image.exe" && name != "out") found += "[" + name + "]";
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return found;
}

// What the Scan pass's walk over the members says the destination may hold:
// every file with the sizes of the members that write it, and the
// directories.
struct Listing {
  std::map<std::string, std::vector<uint64_t>> files;
  std::set<std::string> directories;
};

// Adds the native form of a core output path, relative to the destination.
void addListed(Listing& listing, const char* corePath, bool directory, uint64_t size) {
  char native[4096];
  if (!nativePath(corePath, native, sizeof native)) return;
  std::string relative = native;
  if (relative.compare(0, outputPath.size() + 1, outputPath + "/") != 0) return;
  relative.erase(0, outputPath.size() + 1);
  // As the file system reads it: a run of separators counts as one, and a
  // "." component names the directory it is in (a ".." would have left the
  // destination, which the watcher reports).
  std::string normal;
  size_t begin = 0;
  for (size_t end; begin <= relative.size(); begin = end + 1) {
    end = relative.find('/', begin);
    if (end == std::string::npos) end = relative.size();
    const std::string component = relative.substr(begin, end - begin);
    if (end == relative.size()) {
      if (component != ".") normal += component;
    } else if (!component.empty() && component != ".") {
      normal += component + "/";
    }
  }
  relative = normal;
  // Directories on the way, before trailing separators go: a file member
  // named "a/" makes the directory a on its way and then fails.
  for (size_t slash = relative.find('/'); slash != std::string::npos;
       slash = relative.find('/', slash + 1))
    listing.directories.insert(relative.substr(0, slash));
  while (!relative.empty() && relative.back() == '/') relative.pop_back();
  if (relative.empty()) return;
  if (directory)
    listing.directories.insert(relative);
  else
    listing.files[relative].push_back(size);
}

Listing listMembers() {
  Listing listing;
  const int abortFlag = sfxState.abortFlag;
  if (!openArchive()) return listing;
  const uint32_t componentLength = platformVolumeComponentLength("");
  const bool longNames = (componentLength ? componentLength : 255) == 255;
  char path[CURRENT_PATH_SIZE];
  while (readEntryHeader() == HEADER_OK) {
    if (std::strcmp(sfxState.memberName, "!") != 0 &&
        buildOutputPath(path, sizeof path, sfxState.extractDir, sfxState.memberName, 0, longNames,
                        platformHasDeviceNames()) == OUTPUT_PATH_OK)
      addListed(listing, path, sfxState.entry.method == 'd', sfxState.entry.uncompressedSize);
    if (!skipMemberData()) break;
  }
  closeArchive();
  sfxState.abortFlag = abortFlag;
  return listing;
}

// Checks everything below the destination against the listing.
void checkAgainstListing(const Listing& listing, const std::string& relative = std::string()) {
  const std::string directory = relative.empty() ? outputPath : outputPath + "/" + relative;
  for (const std::string& name : listDirectory(directory)) {
    const std::string entry = relative.empty() ? name : relative + "/" + name;
    struct stat st;
    if (lstat((outputPath + "/" + entry).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      FUZZ_CHECK(listing.directories.count(entry), "unlisted directory extracted: " + entry);
      checkAgainstListing(listing, entry);
      continue;
    }
    const auto file = listing.files.find(entry);
    FUZZ_CHECK(file != listing.files.end(), "unlisted file extracted: " + entry);
    const auto& sizes = file->second;
    FUZZ_CHECK(
        std::find(sizes.begin(), sizes.end(), static_cast<uint64_t>(st.st_size)) != sizes.end(),
        "extracted at a size no header gave: " + entry);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  scratch = makeScratchDirectory("image");
  watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watcher < 0) fuzzFailure("inotify", scratch);
  std::string directory = scratch;
  for (const char* level : {"", "/a", "/b", "/c", "/w"}) {
    directory += level;
    if (*level && mkdir(directory.c_str(), 0700) != 0) fuzzFailure("cannot prepare", directory);
    if (inotify_add_watch(watcher, directory.c_str(), IN_CREATE | IN_MOVED_TO) < 0)
      fuzzFailure("cannot watch", directory);
  }
  work = directory;
  imagePath = work + "/image.exe";
  outputPath = work + "/out";
  posixRunCommands = false;
  verbose = std::getenv("KASUMIRO_FUZZ_VERBOSE") != nullptr;
  leakedDescriptors(scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> image(data, data + size);
  const uint8_t switches = size ? data[0] : 0;
  if (!(switches & 2)) repairChecksums(image);
  writeWholeFile(imagePath, image.data(), image.size());
  creationsAboveDestination();  // the image itself

  resetCoreState();
  posixDeviceNames = switches & 1;
  std::strcpy(sfxState.selfPath, imagePath.c_str());
  if (loadConfig("")) {
    // The configured directory has been expanded and quoted by now; the
    // destination is always the scratch one.
    std::strcpy(sfxState.extractDir, outputPath.c_str());
    const HostWindow window = reinterpret_cast<HostWindow>(1);
    int results[4] = {-1, -1, -1, -1};  // Notice, Scan, Extract, Test; -1: not run
    if (noticeWithinBudget(image)) results[0] = runPass(nullptr, MODE_NOTICE);
    if (results[0] != 0) {
      sfxState.extracting = 1;
      sfxState.progress.total = 0;
      results[1] = runPass(window, MODE_SCAN);
      if (results[1]) {
        const Listing listing = listMembers();
        results[2] = runPass(window, MODE_EXTRACT);
        checkAgainstListing(listing);
      }
      results[3] = runPass(window, MODE_EXTRACT, true);
    }
    if (verbose)
      std::fprintf(stderr, "notice %d scan %d extract %d test %d, destination holds %zu\n",
                   results[0], results[1], results[2], results[3],
                   listDirectory(outputPath).size());
    FUZZ_CHECK(sfxState.outputFile == PLATFORM_INVALID_FILE, "output file left open");
  }
  const std::string escaped = creationsAboveDestination();
  FUZZ_CHECK(escaped.empty(), "created outside the destination: " + escaped);
  const std::string leaked = leakedDescriptors(scratch);
  FUZZ_CHECK(leaked.empty(), "still open: " + leaked);
  removeTree(outputPath);
  return 0;
}
