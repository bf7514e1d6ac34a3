// The configuration block: 717 bytes at file offset 512 of the program's
// image, between the DOS header and the DOS program. The stub reads it; the
// tools that make and read self-extracting files write and show it.
#pragma once

#include <cstdint>

constexpr uint32_t CONFIG_BLOCK_OFFSET = 512;
constexpr uint32_t CONFIG_BLOCK_SIZE = 717;

constexpr uint32_t FLAG_RESTORE_ATTRIBUTES = 1u << 0;
constexpr uint32_t FLAG_OVERWRITE = 1u << 1;
// Readers that know only the two bits above ignore the others: an older
// stub runs a file with these as if it had neither.
// The program waits for the command and ends with its exit code.
constexpr uint32_t FLAG_WAIT_FOR_COMMAND = 1u << 2;
// The program extracts into a new folder of its own under the temporary
// folder, starts the command there, waits for it and removes the folder.
constexpr uint32_t FLAG_TEMP_FOLDER = 1u << 3;

#pragma pack(push, 1)
struct SfxConfig {
  uint32_t archiveOffset;
  char title[51];
  char message[41];
  char defaultDir[256];
  char prompt[101];
  char runCommand[260];
  uint32_t flags;
};
#pragma pack(pop)
static_assert(sizeof(SfxConfig) == CONFIG_BLOCK_SIZE, "configuration block is 717 bytes");

// The configuration as the program holds it once read: the block's fields
// under the same names, with room for program text (an exact text from the
// resource needs up to 4 bytes for each character CP932 lacks).
struct RunConfig {
  uint32_t archiveOffset;
  char title[512];
  char message[512];
  char defaultDir[1024];
  char prompt[512];
  char runCommand[1024];
  uint32_t flags;
};

// The five texts in the block's order (which the exact texts resource keeps):
// where each lies in the block, its size there, and where and in how many
// bytes the program holds it.
struct ConfigText {
  uint16_t blockOffset, blockSize, runOffset, runSize;
};
extern const ConfigText CONFIG_TEXTS[5];
