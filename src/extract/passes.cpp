#include "extract/passes.h"

#include <cstdint>
#include <cstring>

#include "extract/entry_header.h"
#include "extract/member_data.h"
#include "extract/post_command.h"
#include "extract/progress.h"
#include "extract/running_crc.h"
#include "paths/path_strings.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"

static const char NOTICE_NAME[] = "!";

bool openArchive() {
  sfxState.archiveFile = platformOpenRead(sfxState.selfPath);
  if (sfxState.archiveFile == PLATFORM_INVALID_FILE) {
    reportImageError(MSG_READ_ERROR);
    return false;
  }
  // The offset is a signed 32-bit distance: the archive lies in the first 2 GiB.
  const int32_t offset = static_cast<int32_t>(sfxState.config.archiveOffset);
  if (offset < 0 || !platformSeek(sfxState.archiveFile, offset, SEEK_FROM_START)) {
    closeArchive();
    reportImageError(MSG_ARCHIVE_BROKEN);
    return false;
  }
  prepareRunningCrc();
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
    reportImageError(MSG_ARCHIVE_BROKEN);
    return false;
  }
  return true;
}

bool skipMemberData() { return skipBytes(sfxState.entry.compressedSize); }

// Decodes the current member's data into the output sink; a failure (shown)
// or a cancel sets abortFlag. Afterwards the archive stands at the next
// header, whatever the decoder needed: every view of the archive steps over
// members by the header's sizes alone.
static void decodeMemberData() {
  sfxState.runningCrc = 0;
  beginMemberInput(sfxState.entry.compressedSize);
  bool ok = true;
  // A stored member's two sizes are equal (the header reader sees to it).
  if (sfxState.entry.method == '0')
    ok = copyStored(sfxState.entry.compressedSize);
  else if (sfxState.entry.method >= '4' && sfxState.entry.method <= '7')
    ok = decodeCompressedMember();
  if (!ok) {
    sfxState.abortFlag = 1;
    return;
  }
  if (sfxState.entry.method != '0') skipBytes(unreadCompressedBytes());
}

// Reports the progress of a member passed over; a cancel sets abortFlag.
static void reportProgressOrStop() {
  if (!reportProgress(sfxState.progress.done, sfxState.progress.total)) sfxState.abortFlag = 1;
}

static void showStatus(int message) {
  formatMessage(sfxState.messageBuffer, MESSAGE_BUFFER_SIZE, loadMessage(message),
                sfxState.memberName);
  hostSetItemText(sfxState.mainWindow, ID_STATUS_LINE, sfxState.messageBuffer);
}

// The output of a member that failed goes. The pass ends and starts no
// command, so the held files go first: a held file cannot be deleted.
static void deleteOutput(const char* path) {
  platformReleaseHeld();
  platformDeleteFile(path);
}

static void failWithWriteError(bool deleteFile) {
  reportFileError(loadMessage(MSG_WRITE_ERROR), sfxState.currentPath);
  if (deleteFile) deleteOutput(sfxState.currentPath);
  sfxState.abortFlag = 1;
}

// A notice beyond CP932 is stored as UTF-8 after a byte-order mark; its
// text becomes program text in messageBuffer.
static void noticeFromUtf8() {
  char* text = sfxState.messageBuffer;
  if (text[0] != '\xEF' || text[1] != '\xBB' || text[2] != '\xBF') return;
  static char converted[MESSAGE_BUFFER_SIZE];
  platformTextFromUtf8(text + 3, converted, sizeof converted);
  std::strcpy(text, converted);
}

// The notice member: its text, then the question. False ends the pass.
static void runNotice() {
  sfxState.outputFile = PLATFORM_INVALID_FILE;
  sfxState.noticeCaptured = 0;
  // An empty notice captures nothing; ask with an empty text rather than
  // with whatever the buffer held before.
  sfxState.messageBuffer[0] = 0;
  decodeMemberData();
  if (sfxState.abortFlag) return;
  // A damaged notice could put words in the author's mouth: its text is
  // shown only when its data is intact.
  if (sfxState.runningCrc != sfxState.entry.dataCrc) {
    reportImageError(MSG_ARCHIVE_BROKEN);
    return;
  }
  noticeFromUtf8();
  if (!sfxState.silent &&
      !hostAskYesNo(sfxState.mainWindow, sfxState.messageBuffer, sfxState.config.title))
    sfxState.abortFlag = 1;
}

// Test mode: decode into the null device and check the data CRC.
static void testMember() {
  if (sfxState.entry.method == 'd') {
    skipMemberData();
    return;
  }
  sfxState.outputFile = platformOpenNullSink();
  if (sfxState.outputFile == PLATFORM_INVALID_FILE) {
    sfxState.abortFlag = 1;
    return;
  }
  std::strcpy(sfxState.currentPath, sfxState.memberName);
  decodeMemberData();
  platformClose(sfxState.outputFile);
  sfxState.outputFile = PLATFORM_INVALID_FILE;
  if (!sfxState.abortFlag && sfxState.runningCrc != sfxState.entry.dataCrc) {
    reportFileError(loadMessage(MSG_ARCHIVE_BROKEN), sfxState.memberName);
    sfxState.abortFlag = 1;
  }
}

struct PassTarget {
  uint32_t rootLength;
  bool longNames;
  bool overwriteAll;
  size_t memberOffset;        // where the member's part of currentPath starts
  uint32_t membersDone;       // members the Extract pass has gone through
  bool directoriesExtracted;  // a directory member was made: its time is due
};

// Builds currentPath for the member. False (reported, abortFlag set) when
// the member cannot be written: its safe path does not fit, a name is too
// long for the volume, or a link inside the destination is in the way.
static bool buildMemberPath(PassTarget& target) {
  char* path = sfxState.currentPath;
  switch (buildOutputPath(path, CURRENT_PATH_SIZE, sfxState.extractDir, sfxState.memberName,
                          target.rootLength, target.longNames, platformHasDeviceNames(),
                          &target.memberOffset)) {
    case OUTPUT_PATH_OK:
      break;
    case OUTPUT_PATH_NAME_TOO_LONG:
      failWithWriteError(false);
      return false;
    default:
      reportImageError(MSG_ARCHIVE_BROKEN);
      return false;
  }
  if (!platformNoLinkBelow(path, target.memberOffset, sfxState.entry.method == 'd')) {
    failWithWriteError(false);
    return false;
  }
  return true;
}

// Stored directory names end with a separator; only that one is removed.
static void dropClosingSeparator(char* path) {
  size_t length = std::strlen(path);
  if (length && path[length - 1] == '/') path[length - 1] = 0;
}

// Creates a directory member. False (reported) when it cannot be made.
static bool finishDirectory(PassTarget& target) {
  char* path = sfxState.currentPath;
  dropClosingSeparator(path);
  if (!platformCreateDirectory(path) &&
      !(platformGetAttributes(path) & PLATFORM_ATTRIBUTE_DIRECTORY)) {
    failWithWriteError(false);
    return false;
  }
  if (sfxState.config.flags & FLAG_RESTORE_ATTRIBUTES)
    platformSetAttributes(path, sfxState.entry.attributes);
  target.directoriesExtracted = true;
  return true;
}

// Gives every directory member extracted by the pass its time, now that
// nothing more is written below it (creating a file inside a directory
// changes the directory's time). The members are walked again from the
// start, up to where the pass stopped.
static void stampDirectories(PassTarget& target) {
  if (!target.directoriesExtracted || !openArchive()) return;
  for (uint32_t member = 0; member < target.membersDone; ++member) {
    if (readEntryHeader() != HEADER_OK) break;
    if (sfxState.entry.method == 'd' &&
        buildOutputPath(sfxState.currentPath, CURRENT_PATH_SIZE, sfxState.extractDir,
                        sfxState.memberName, target.rootLength, target.longNames,
                        platformHasDeviceNames(), &target.memberOffset) == OUTPUT_PATH_OK &&
        !namesNoComponent(sfxState.currentPath + target.memberOffset) &&
        platformNoLinkBelow(sfxState.currentPath, target.memberOffset, true)) {
      dropClosingSeparator(sfxState.currentPath);
      platformSetDirectoryTime(sfxState.currentPath, sfxState.entry.lastWriteTime);
    }
    if (!skipMemberData()) break;
  }
  closeArchive();
}

// Extracts one file member. Returns false when the pass must end.
static bool extractFile(PassTarget& target) {
  const char* path = sfxState.currentPath;
  uint32_t existing = platformGetAttributes(path);
  if (existing != PLATFORM_INVALID_ATTRIBUTES) {
    if (!target.overwriteAll) {
      const int answer = sfxState.silent
                             ? ANSWER_NO
                             : hostAskOverwrite(sfxState.mainWindow, path, sfxState.config.title);
      if (answer == ANSWER_CANCEL) {
        sfxState.abortFlag = 1;
        return false;
      }
      if (answer == ANSWER_NO) {
        sfxState.progress.done += sfxState.entry.uncompressedSize;
        reportProgressOrStop();
        return !sfxState.abortFlag && skipMemberData();
      }
      if (answer == ID_OVERWRITE_ALL) target.overwriteAll = true;
    }
    // The old file is removed, not rewritten: a new file costs the file
    // system far less than truncating one (which some flush at once), and a
    // read-only, hidden or system file has its attributes reset first so
    // that it can go. A link in its place goes itself; its target is never
    // touched.
    if (!(existing & PLATFORM_ATTRIBUTE_DIRECTORY)) {
      if (!(existing & PLATFORM_ATTRIBUTE_REPARSE_POINT))
        platformSetAttributes(path, PLATFORM_ATTRIBUTE_NORMAL);
      platformDeleteFile(path);
    }
  }

  sfxState.outputFile = commandNamesFile(path, target.memberOffset)
                            ? platformCreateHeldOutputBelow(path, target.memberOffset)
                            : platformCreateOutputBelow(path, target.memberOffset);
  if (sfxState.outputFile == PLATFORM_INVALID_FILE) {
    failWithWriteError(false);
    return false;
  }
  decodeMemberData();
  if (sfxState.abortFlag) {
    platformClose(sfxState.outputFile);
    sfxState.outputFile = PLATFORM_INVALID_FILE;
    deleteOutput(path);
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
    deleteOutput(path);
    sfxState.abortFlag = 1;
    return false;
  }
  if (sfxState.config.flags & FLAG_RESTORE_ATTRIBUTES)
    platformSetAttributes(path, sfxState.entry.attributes);
  return true;
}

// One member of the Extract pass. False when the pass must end.
static bool extractMember(PassTarget& target, bool isNotice) {
  if (isNotice) {
    sfxState.progress.done += sfxState.entry.uncompressedSize;
    reportProgressOrStop();
    return !sfxState.abortFlag && skipMemberData();
  }
  if (!buildMemberPath(target)) return false;
  // A directory member whose name is gone (folders suppressed) or names the
  // destination itself ("./", "/") has nothing to make: the destination is
  // the user's, its time and attributes too. Its data, if any, is passed
  // over like any other.
  if (sfxState.entry.method == 'd' && namesNoComponent(sfxState.currentPath + target.memberOffset))
    return skipMemberData();
  showStatus(MSG_EXTRACTING);
  makeDirectories(sfxState.currentPath);
  if (sfxState.entry.method == 'd') return finishDirectory(target) && skipMemberData();
  return extractFile(target);
}

bool runExtraction(HostWindow window, ExtractMode mode) {
  sfxState.mainWindow = window;
  sfxState.abortFlag = 0;
  sfxState.progress.done = 0;
  sfxState.progress.shown = 0;
  PassTarget target{};
  target.overwriteAll = (sfxState.config.flags & FLAG_OVERWRITE) != 0;
  platformForgetCheckedDirectories();
  if (mode == MODE_EXTRACT) prepareCommandNames();

  if (!openArchive()) return false;

  char root[EXTRACT_DIR_SIZE + 1];
  getPathRoot(root, sfxState.extractDir);
  target.rootLength = static_cast<uint32_t>(std::strlen(root));
  uint32_t componentLength = platformVolumeComponentLength(root);
  target.longNames = (componentLength ? componentLength : 255) == 255;

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
    ++target.membersDone;
    if (!extractMember(target, isNotice)) break;
  }

  closeArchive();
  if (mode == MODE_EXTRACT) {
    // The walk for the directories' times must not end the pass early or
    // change its outcome.
    const int abortFlag = sfxState.abortFlag;
    stampDirectories(target);
    sfxState.abortFlag = abortFlag;
    runPostCommand();
    // A command waited for starts after the pass (runCommandAndWait): its
    // files stay held until then, unless the pass failed.
    if (sfxState.abortFlag || !(sfxState.config.flags & COMMAND_WAITED_FOR)) platformReleaseHeld();
  }
  return !sfxState.abortFlag;
}

bool runTestPass(HostWindow window) {
  sfxState.mainWindow = window;
  sfxState.abortFlag = 0;
  sfxState.progress.done = 0;
  sfxState.progress.shown = 0;
  if (!openArchive()) return false;
  while (!sfxState.abortFlag && readEntryHeader() == HEADER_OK) testMember();
  closeArchive();
  return !sfxState.abortFlag;
}
