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
