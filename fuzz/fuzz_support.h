// Helpers shared by the fuzz targets: a private scratch directory per fuzzing
// process, whole-file writes, tree removal, descriptor accounting, and the
// process-wide state put back to that of a fresh process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// Creates a fresh directory for this process (on the RAM disk when there is
// one, else under TMPDIR or /tmp) and returns its path; it is removed when
// the process exits normally (a crash leaves it for inspection). Aborts on
// failure.
std::string makeScratchDirectory(const char* tag);

// Writes size bytes to path (created or truncated). Aborts on failure.
void writeWholeFile(const std::string& path, const uint8_t* data, size_t size);
std::vector<uint8_t> readWholeFile(const std::string& path);

// Removes path and everything below it; read-only entries are made writable
// first. A missing path is fine.
void removeTree(const std::string& path);

// The names in a directory, without "." and "..", sorted.
std::vector<std::string> listDirectory(const std::string& path);

// The open descriptors of files the core opens: anything below scratch and
// the null device. Descriptors of the fuzzer itself (its pipes to the
// symbolizer, the null device it holds) are not counted: the first call
// takes note of those. Empty when there are none.
std::string leakedDescriptors(const std::string& scratch);

// A decoder source over a byte vector (false past its end), and a decoder
// sink that collects the decoded bytes and their CRC-16.
struct VectorSource {
  const std::vector<uint8_t>* bytes;
  size_t at;
};
bool readVectorSource(void* context, uint8_t* buffer, uint32_t count);
struct CollectedOutput {
  std::vector<uint8_t> bytes;
  uint16_t crc;
};
bool collectOutput(void* context, const uint8_t* data, uint32_t count);

struct LzhBlockDecoder;

// Decodes a whole member's stream with decoder and fails the run (what
// names the case) unless it decodes without error, consumes exactly the
// stream and gives exactly data with the CRC-16 crc.
void checkDecodesTo(LzhBlockDecoder& decoder, char method, const std::vector<uint8_t>& stream,
                    const std::vector<uint8_t>& data, uint16_t crc, const std::string& what);

// Puts back what the core keeps between calls as at process start: the
// state record.
void resetCoreState();

// Prints a message and aborts: the fuzzer records the input as a crash.
[[noreturn]] void fuzzFailure(const char* what, const std::string& detail = std::string());

#define FUZZ_CHECK(condition, detail) \
  ((condition) ? static_cast<void>(0) : fuzzFailure(#condition, (detail)))
