// The one process-wide record of a run. Everything is plain data: zero at
// start, never freed.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "startup/config_block.h"
#include "ui/host.h"

// Program text: a character that CP932 lacks takes 4 bytes (5 beyond the
// BMP), so the buffers of paths and names have room for 255 such characters
// in a component or a destination.
constexpr int SELF_PATH_SIZE = 1024;
constexpr int EXTRACT_DIR_SIZE = 1024;
constexpr int MEMBER_NAME_SIZE = 1024;
constexpr int CURRENT_PATH_SIZE = 2048;
constexpr int MESSAGE_BUFFER_SIZE = 1024;
// A header's size field is 16 bits, so one fixed buffer holds any header.
constexpr int HEADER_BLOCK_SIZE = 65536;

struct ProgressCounter {
  uint64_t done;
  uint64_t total;
  unsigned shown;  // the percentage last sent to the window, plus one (0: none yet)
};

// The member header being processed (see extract/entry_header.h).
struct EntryHeader {
  uint16_t headerSize;
  uint8_t level;
  uint8_t osId;
  char method;  // the method character: '0', '4'..'7' or 'd'
  uint64_t compressedSize;
  uint64_t uncompressedSize;
  FileTime lastWriteTime;
  uint16_t attributes;
  uint16_t dataCrc;
  int32_t headerCrcField;  // offset inside headerBlock, -1 when absent
  uint16_t storedHeaderCrc;
  int32_t fileNameOffset;
  uint16_t fileNameLength;
  int32_t directoryNameOffset;
  uint16_t directoryNameLength;
  // The UTF-16LE names of records 0x44 and 0x45 (offset 0 when absent;
  // lengths in bytes), preferred to their CP932 records.
  int32_t unicodeNameOffset;
  uint16_t unicodeNameLength;
  int32_t unicodeDirectoryOffset;
  uint16_t unicodeDirectoryLength;
};

struct SfxState {
  RunConfig config;
  void* instance;
  char selfPath[SELF_PATH_SIZE];
  char extractDir[EXTRACT_DIR_SIZE];
  int noFolders;
  int autoRun;
  int abortFlag;
  int cancelRequested;
  int extracting;
  ProgressCounter progress;
  HostWindow mainWindow;
  char messageBuffer[MESSAGE_BUFFER_SIZE];
  char currentPath[CURRENT_PATH_SIZE];
  char memberName[MEMBER_NAME_SIZE];
  FileHandle archiveFile;
  FileHandle outputFile;
  uint16_t runningCrc;
  int noticeCaptured;
  // An unattended run (/S): no box and no question. The notice counts as
  // accepted, an existing file is kept unless overwriting is on, and a
  // failure ends the pass without a word.
  int silent;
  EntryHeader entry;
  // Fixed storage for the current member's header: no allocation per member.
  uint8_t headerBlock[HEADER_BLOCK_SIZE];
};

extern SfxState sfxState;

// Zero-fills the record (the state of a freshly started process).
void resetSfxState();
