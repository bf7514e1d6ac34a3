#include "paths/path_variables.h"

#include <cstdint>
#include <cstring>

#include "paths/path_strings.h"
#include "platform/platform.h"

namespace {

// The order decides which row is tried first; the row numbers select the
// value in produceValue.
const char* const pathVariables[] = {
    "%ExtractDir%", "%SystemDir%",   "%ProgramFilesDir%", "%CommonFilesDir%",
    "%TEMP%",       "%ExtractDirX%", "%MyDocuments%",     "%windir%",
};
constexpr int PATH_VARIABLE_COUNT = sizeof pathVariables / sizeof pathVariables[0];

enum {
  ROW_EXTRACT_DIR = 0,
  ROW_SYSTEM_DIR = 1,
  ROW_PROGRAM_FILES = 2,
  ROW_COMMON_FILES = 3,
  ROW_TEMP = 4,
  ROW_EXTRACT_DIR_SHORT = 5,
  ROW_MY_DOCUMENTS = 6,
  ROW_WINDIR = 7,
};

// What a special folder is taken to be when the system cannot tell.
const char* const specialFolderFallbacks[] = {
    "C:\\Program Files",
    "C:\\Program Files\\Common Files",
    "C:\\My Documents",
};

// Copies text into a PATH_VALUE_SIZE buffer, cut at a character boundary.
void copyValue(char* value, const char* text) {
  size_t length = fitCharacters(text, std::strlen(text), PATH_VALUE_SIZE - 1);
  std::memcpy(value, text, length);
  value[length] = '\0';
}

// A system directory query that fails yields an empty value rather than
// whatever the buffer held, so the variable simply disappears.
void queryDirectory(char* value, bool (*query)(char*, uint32_t)) {
  if (!query(value, PATH_VALUE_SIZE)) value[0] = '\0';
  value[PATH_VALUE_SIZE - 1] = '\0';
}

void produceValue(int row, const char* extractionDir, char* value) {
  switch (row) {
    case ROW_EXTRACT_DIR:
      copyValue(value, extractionDir);
      break;
    case ROW_EXTRACT_DIR_SHORT: {
      copyValue(value, extractionDir);
      // The short form exists only for an existing directory; otherwise the
      // long form stays.
      char shortForm[PATH_VALUE_SIZE];
      if (platformShortPathName(value, shortForm, PATH_VALUE_SIZE)) {
        shortForm[PATH_VALUE_SIZE - 1] = '\0';
        std::strcpy(value, shortForm);
      }
      break;
    }
    case ROW_SYSTEM_DIR:
      queryDirectory(value, platformSystemDirectory);
      break;
    case ROW_TEMP:
      queryDirectory(value, platformTempDirectory);
      break;
    case ROW_WINDIR:
      queryDirectory(value, platformWindowsDirectory);
      break;
    case ROW_PROGRAM_FILES:
      getSpecialFolder(value, SF_PROGRAM_FILES);
      break;
    case ROW_COMMON_FILES:
      getSpecialFolder(value, SF_COMMON_FILES);
      break;
    case ROW_MY_DOCUMENTS:
      getSpecialFolder(value, SF_MY_DOCUMENTS);
      break;
    default:
      value[0] = '\0';
      break;
  }
}

int matchRow(const char* text) {
  for (int row = 0; row < PATH_VARIABLE_COUNT; ++row) {
    const char* name = pathVariables[row];
    if (std::strncmp(text, name, std::strlen(name)) == 0) return row;
  }
  return -1;
}

// Appends to a fixed destination and remembers whether anything was lost.
struct BoundedOutput {
  char* start;
  size_t capacity;  // bytes available for text, the terminator excluded
  size_t used;
  bool cut;

  void append(const char* bytes, size_t count) {
    if (cut) return;
    size_t room = capacity - used;
    if (count > room) {
      count = room;
      cut = true;
    }
    std::memcpy(start + used, bytes, count);
    used += count;
  }
};

}  // namespace

char* expandPathVariables(const char* source, char* destination, const char* extractionDir,
                          int destinationSize) {
  if (destinationSize <= 0) return destination;
  BoundedOutput output{destination, static_cast<size_t>(destinationSize) - 1, 0, false};
  while (*source != '\0' && !output.cut) {
    if (*source != '%') {
      output.append(source++, 1);
      continue;
    }
    int row = matchRow(source);
    bool needsDirectory = row == ROW_EXTRACT_DIR || row == ROW_EXTRACT_DIR_SHORT;
    if (row < 0 || (needsDirectory && extractionDir == nullptr)) {
      // Only the '%' is taken; its closing '%' may begin another variable.
      output.append(source++, 1);
      continue;
    }
    char value[PATH_VALUE_SIZE];
    produceValue(row, extractionDir, value);
    output.append(value, std::strlen(value));
    source += std::strlen(pathVariables[row]);
  }
  // The result is the first destinationSize - 1 bytes of the full expansion,
  // less a lead byte whose trail byte did not fit (the full expansion is
  // longer than the part kept, hence length + 1).
  size_t length = output.used;
  if (output.cut) length = fitCharacters(destination, length + 1, length);
  destination[length] = '\0';
  return destination + length;
}

void getSpecialFolder(char* buffer, SpecialFolder folder) {
  int index = static_cast<int>(folder);
  if (index < 0 ||
      index >= static_cast<int>(sizeof specialFolderFallbacks / sizeof specialFolderFallbacks[0])) {
    buffer[0] = '\0';
    return;
  }
  std::strcpy(buffer, specialFolderFallbacks[index]);
  // Asked into a scratch buffer: a failed query, or an answer too long for
  // the buffer, must leave the fallback intact.
  char value[PATH_VALUE_SIZE];
  if (platformSpecialFolder(index, value, PATH_VALUE_SIZE)) {
    value[PATH_VALUE_SIZE - 1] = '\0';
    std::strcpy(buffer, value);
  }
}
