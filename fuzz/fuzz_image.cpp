// Whole self-extracting images: the configuration block through loadConfig,
// then the Notice, Scan, Extract and Test passes with a scratch directory as
// the destination, exactly as the program and the runner make them.
//
// The first byte of the image (the 'M' of "MZ", which nothing reads) chooses
// the Windows treatment of device names when its lowest bit is set.
//
// After every input:
//   - the scratch directory holds nothing but the image and the destination
//     (no member got out of the destination);
//   - no descriptor is left open (image, output files, null device);
//   - the destination is emptied for the next input.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "extract/passes.h"
#include "fuzz_support.h"
#include "platform/posix/platform_posix.h"
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

std::string scratch;     // the process's directory
std::string work;        // scratch/w: the image and the destination
std::string imagePath;   // work/image.exe
std::string outputPath;  // work/out
// KASUMIRO_FUZZ_VERBOSE set: each input's pass results on stderr, for
// checking seeds by hand.
bool verbose;

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The size the first member header of the image claims (its fixed field, or
// the last 64-bit size record), read the way the header reader reads it.
bool noticeWithinBudget(const uint8_t* data, size_t size) {
  if (size < 516) return true;
  const uint32_t offset = le32(data + 512);
  if (offset >= size || size - offset < 26) return true;
  const uint8_t* header = data + offset;
  const size_t available = size - offset;
  const size_t headerSize = std::min<size_t>(header[0] | header[1] << 8, available);
  int64_t claimed = le32(header + 11);
  for (size_t at = 24; at + 2 <= headerSize;) {
    const size_t recordSize = header[at] | header[at + 1] << 8;
    if (recordSize < 3 || at + 2 + recordSize > headerSize) break;
    if (header[at + 2] == 0x42 && recordSize >= 19) {
      const uint8_t* sizes = header + at + 3;
      claimed = static_cast<int64_t>(le32(sizes + 8) | uint64_t{le32(sizes + 12)} << 32);
    }
    at += recordSize;
  }
  return claimed <= NOTICE_SIZE_BUDGET;
}

bool runPass(HostWindow window, ExtractMode mode) {
  posixFailWriteAfter = WRITE_BUDGET;
  bool ok = runExtraction(window, mode);
  posixFailWriteAfter = 0;
  FUZZ_CHECK(sfxState.archiveFile == PLATFORM_INVALID_FILE, "image left open");
  return ok;
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += "[" + n + "]";
  return out;
}

void checkContainment() {
  const auto top = listDirectory(scratch);
  FUZZ_CHECK(top.size() == 1 && top[0] == "w", "scratch directory holds " + joined(top));
  for (const auto& name : listDirectory(work))
    FUZZ_CHECK(name == "image.exe" || name == "out",
               "work directory holds " + joined(listDirectory(work)));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  scratch = makeScratchDirectory("image");
  work = scratch + "/w";
  imagePath = work + "/image.exe";
  outputPath = work + "/out";
  if (mkdir(work.c_str(), 0700) != 0) fuzzFailure("cannot prepare", work);
  posixRunCommands = false;
  verbose = std::getenv("KASUMIRO_FUZZ_VERBOSE") != nullptr;
  leakedDescriptors(scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  writeWholeFile(imagePath, data, size);
  resetCoreState();
  posixDeviceNames = size > 0 && (data[0] & 1);
  std::strcpy(sfxState.selfPath, imagePath.c_str());
  if (loadConfig("")) {
    // The configured directory has been expanded and quoted by now; the
    // destination is always the scratch one.
    std::strcpy(sfxState.extractDir, outputPath.c_str());
    const HostWindow window = reinterpret_cast<HostWindow>(1);
    int results[4] = {-1, -1, -1, -1};  // Notice, Scan, Extract, Test; -1: not run
    if (noticeWithinBudget(data, size)) results[0] = runPass(nullptr, MODE_NOTICE);
    if (results[0] != 0) {
      sfxState.extracting = 1;
      sfxState.progress.total = 0;
      results[1] = runPass(window, MODE_SCAN);
      if (results[1]) results[2] = runPass(window, MODE_EXTRACT);
      results[3] = runPass(window, MODE_TEST);
    }
    if (verbose)
      std::fprintf(stderr, "notice %d scan %d extract %d test %d, destination holds %zu\n",
                   results[0], results[1], results[2], results[3],
                   listDirectory(outputPath).size());
    FUZZ_CHECK(sfxState.outputFile == PLATFORM_INVALID_FILE, "output file left open");
  }
  checkContainment();
  const std::string leaked = leakedDescriptors(scratch);
  FUZZ_CHECK(leaked.empty(), "still open: " + leaked);
  removeTree(outputPath);
  return 0;
}
