#include "extract/passes.h"

#include <cstdint>
#include <cstring>

#include "extract/abort_guard.h"
#include "extract/entry_header.h"
#include "extract/output_sink.h"
#include "extract/post_command.h"
#include "lzh/crc16.h"
#include "paths/path_strings.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"

static const char NOTICE_NAME[] = "!";

bool openArchive() {
  sfxState.archiveFile = platformOpenRead(sfxState.selfPath);
  if (sfxState.archiveFile == PLATFORM_INVALID_FILE) {
    reportFileError(loadMessage(MSG_READ_ERROR), sfxState.selfPath);
    return false;
  }
  // The offset is a signed 32-bit distance: the archive lies in the first 2 GiB.
  const int32_t offset = static_cast<int32_t>(sfxState.config.archiveOffset);
  if (offset < 0 || !platformSeek(sfxState.archiveFile, offset, SEEK_FROM_START)) {
    closeArchive();
    reportFileError(loadMessage(MSG_ARCHIVE_BROKEN), sfxState.selfPath);
    return false;
  }
  makeCrcTable(CRC16_POLYNOMIAL);
  return true;
}

void closeArchive() {
  if (sfxState.archiveFile != PLATFORM_INVALID_FILE) platformClose(sfxState.archiveFile);
  sfxState.archiveFile = PLATFORM_INVALID_FILE;
}

static bool skipBytes(uint64_t count) {
  // A size beyond the signed range would move backwards and could make the
  // pass read the same headers forever.
  if (count > static_cast<uint64_t>(INT64_MAX) ||
      (count &&
       !platformSeek(sfxState.archiveFile, static_cast<int64_t>(count), SEEK_FROM_CURRENT))) {
    reportFileError(loadMessage(MSG_ARCHIVE_BROKEN), sfxState.selfPath);
    sfxState.abortFlag = 1;
    return false;
  }
  return true;
}

bool skipMemberData() { return skipBytes(sfxState.entry.compressedSize); }

static void decodeBody(unsigned long long) {
  if (sfxState.entry.method == '0')
    copyStored(sfxState.entry.uncompressedSize);
  else if (sfxState.entry.method >= '4' && sfxState.entry.method <= '7')
    decodeMember();
}

static void progressBody(unsigned long long) {
  reportProgress(sfxState.progress.done, sfxState.progress.total);
}

// Decodes the current member's data under the abort guard. Afterwards the
// archive stands at the next header even when the decoder did not need every
// byte of the member's data.
static void decodeGuarded() {
  sfxState.runningCrc = 0;
  beginMemberInput(sfxState.entry.compressedSize);
  if (!runGuarded(decodeBody, 0)) {
    sfxState.abortFlag = 1;
    return;
  }
  if (sfxState.entry.method != '0' && sfxState.entry.method != 'd')
    skipBytes(unreadCompressedBytes());
}

static void reportProgressGuarded() {
  if (!runGuarded(progressBody, 0)) sfxState.abortFlag = 1;
}

static void showStatus(int message) {
  formatMessage(sfxState.messageBuffer, MESSAGE_BUFFER_SIZE, loadMessage(message),
                sfxState.memberName);
  hostSetItemText(sfxState.mainWindow, ID_STATUS_LINE, sfxState.messageBuffer);
}

static void failWithWriteError(bool deleteFile) {
  reportFileError(loadMessage(MSG_WRITE_ERROR), sfxState.currentPath);
  if (deleteFile) platformDeleteFile(sfxState.currentPath);
  sfxState.abortFlag = 1;
}

// The notice member: its text, then the question. False ends the pass.
static void runNotice() {
  sfxState.outputFile = PLATFORM_INVALID_FILE;
  sfxState.noticeCaptured = 0;
  // An empty notice captures nothing; ask with an empty text rather than
  // with whatever the buffer held before.
  sfxState.messageBuffer[0] = 0;
  decodeGuarded();
  if (sfxState.abortFlag) return;
  if (!hostAskYesNo(sfxState.mainWindow, sfxState.messageBuffer, sfxState.config.title))
    sfxState.abortFlag = 1;
}

// Test mode: decode into the null device and check the data CRC.
static void testMember() {
  if (sfxState.entry.method == 'd') return;
  sfxState.outputFile = platformOpenNullSink();
  if (sfxState.outputFile == PLATFORM_INVALID_FILE) {
    sfxState.abortFlag = 1;
    return;
  }
  std::strcpy(sfxState.currentPath, sfxState.memberName);
  decodeGuarded();
  platformClose(sfxState.outputFile);
  sfxState.outputFile = PLATFORM_INVALID_FILE;
  if (!sfxState.abortFlag && sfxState.runningCrc != sfxState.entry.dataCrc) {
    reportFileError(loadMessage(MSG_ARCHIVE_BROKEN), sfxState.memberName);
    sfxState.abortFlag = 1;
  }
}

struct PassTarget {
  uint32_t rootLength;
  uint32_t separators;  // in extractDir with its closing separator
  bool longNames;
  bool overwriteAll;
};

// Builds currentPath for the member and creates its directories. False
// (reported) when the safe form of the path does not fit.
static bool prepareOutputPath(const PassTarget& target) {
  char* path = sfxState.currentPath;
  if (!buildOutputPath(path, CURRENT_PATH_SIZE, sfxState.extractDir, sfxState.memberName,
                       target.rootLength, target.longNames, platformHasDeviceNames())) {
    reportFileError(loadMessage(MSG_ARCHIVE_BROKEN), sfxState.selfPath);
    sfxState.abortFlag = 1;
    return false;
  }
  showStatus(MSG_EXTRACTING);
  makeDirectories(path);
  return true;
}

static bool isLead(char c) { return platformIsLeadByte(static_cast<unsigned char>(c)); }

static uint32_t countSeparators(const char* text) {
  uint32_t count = 0;
  for (const char* p = text; *p; ++p) {
    if (isLead(*p) && p[1]) {
      ++p;
      continue;
    }
    count += *p == '\\' || *p == '/';
  }
  return count;
}

// Sanitising keeps every separator, so the member's part of the path starts
// behind as many separators as the destination has (with the one joining
// them).
static size_t findMemberOffset(const char* path, uint32_t separators) {
  const char* p = path;
  for (uint32_t seen = 0; *p && seen < separators; ++p) {
    if (isLead(*p) && p[1]) {
      ++p;
      continue;
    }
    seen += *p == '\\' || *p == '/';
  }
  return static_cast<size_t>(p - path);
}

static void finishDirectory() {
  char* path = sfxState.currentPath;
  size_t length = std::strlen(path);
  // Stored directory names end with a separator; only that one is removed.
  if (length && path[length - 1] == '/') path[--length] = 0;
  if (!length) return;
  platformCreateDirectory(path);
  platformSetDirectoryTime(path, sfxState.entry.lastWriteTime);
  if (sfxState.config.flags & FLAG_RESTORE_ATTRIBUTES)
    platformSetAttributes(path, sfxState.entry.attributes);
}

// Extracts one file member. Returns false when the pass must end.
static bool extractFile(PassTarget& target) {
  const char* path = sfxState.currentPath;
  uint32_t existing = platformGetAttributes(path);
  if (existing != PLATFORM_INVALID_ATTRIBUTES) {
    if (!target.overwriteAll) {
      int answer = hostAskOverwrite(sfxState.mainWindow, path, sfxState.config.title);
      if (answer == ANSWER_CANCEL) {
        sfxState.abortFlag = 1;
        return false;
      }
      if (answer == ANSWER_NO) {
        sfxState.progress.done += sfxState.entry.uncompressedSize;
        reportProgressGuarded();
        return !sfxState.abortFlag && skipMemberData();
      }
      if (answer == ID_OVERWRITE_ALL) target.overwriteAll = true;
    }
    if (!(existing & PLATFORM_ATTRIBUTE_DIRECTORY))
      platformSetAttributes(path, PLATFORM_ATTRIBUTE_NORMAL);
  }

  sfxState.outputFile = platformCreateOutputBelow(path, findMemberOffset(path, target.separators));
  if (sfxState.outputFile == PLATFORM_INVALID_FILE) {
    failWithWriteError(false);
    return false;
  }
  decodeGuarded();
  if (sfxState.abortFlag) {
    platformClose(sfxState.outputFile);
    sfxState.outputFile = PLATFORM_INVALID_FILE;
    platformDeleteFile(path);
    return false;
  }
  platformSetFileTime(sfxState.outputFile, sfxState.entry.lastWriteTime);
  bool closed = platformClose(sfxState.outputFile);
  sfxState.outputFile = PLATFORM_INVALID_FILE;
  if (!closed) {
    failWithWriteError(true);
    return false;
  }
  if (sfxState.runningCrc != sfxState.entry.dataCrc) {
    reportFileError(loadMessage(MSG_ARCHIVE_BROKEN), path);
    platformDeleteFile(path);
    sfxState.abortFlag = 1;
    return false;
  }
  if (sfxState.config.flags & FLAG_RESTORE_ATTRIBUTES)
    platformSetAttributes(path, sfxState.entry.attributes);
  return true;
}

bool runExtraction(HostWindow window, ExtractMode mode) {
  sfxState.mainWindow = window;
  sfxState.abortFlag = 0;
  sfxState.progress.done = 0;
  PassTarget target{};
  target.overwriteAll = (sfxState.config.flags & FLAG_OVERWRITE) != 0;

  if (!openArchive()) return false;

  char root[EXTRACT_DIR_SIZE + 1];
  getPathRoot(root, sfxState.extractDir);
  target.rootLength = static_cast<uint32_t>(std::strlen(root));
  uint32_t componentLength = platformVolumeComponentLength(root);
  target.longNames = (componentLength ? componentLength : 255) == 255;
  {
    char joined[EXTRACT_DIR_SIZE + 2];
    joinPath(joined, sfxState.extractDir, "");
    target.separators = countSeparators(joined);
  }

  for (;;) {
    HeaderResult header = readEntryHeader();
    if (header != HEADER_OK) break;
    const bool isNotice = std::strcmp(sfxState.memberName, NOTICE_NAME) == 0;

    if (mode == MODE_NOTICE) {
      if (isNotice) runNotice();
      break;
    }
    if (mode == MODE_SCAN) {
      showStatus(MSG_CHECKING);
      pumpMessages(sfxState.mainWindow);
      if (sfxState.cancelRequested == 1) {
        sfxState.abortFlag = 1;
        break;
      }
      sfxState.progress.total += sfxState.entry.uncompressedSize;
      if (!skipMemberData()) break;
      continue;
    }
    if (mode == MODE_TEST) {
      testMember();
      if (sfxState.abortFlag) break;
      continue;
    }
    if (isNotice) {
      sfxState.progress.done += sfxState.entry.uncompressedSize;
      reportProgressGuarded();
      if (sfxState.abortFlag || !skipMemberData()) break;
      continue;
    }
    if (!prepareOutputPath(target)) break;
    if (sfxState.entry.method == 'd') {
      finishDirectory();
      continue;
    }
    if (!extractFile(target)) break;
  }

  closeArchive();
  if (mode == MODE_EXTRACT) runPostCommand();
  return !sfxState.abortFlag;
}
