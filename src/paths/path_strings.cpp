#include "paths/path_strings.h"

#include <cstring>

#include "platform/platform.h"
#include "platform/program_text.h"

namespace {

// A component's length on a volume with long names, as the file system
// counts it (platformComponentLength).
constexpr size_t LONG_NAME_LIMIT = 255;

bool isLead(char byte) { return platformIsLeadByte(static_cast<unsigned char>(byte)); }

bool isBlank(char byte) { return byte == ' ' || byte == '\t'; }

// Whether a lead byte at text takes the next byte as its trail: any but the
// terminator (CharNextA) and the first byte of an escape, which no CP932
// character has as its trail, so that every escape is read as the platform
// layers read it.
bool hasTrail(const char* text) {
  const unsigned char next = static_cast<unsigned char>(text[1]);
  return isLead(*text) && next != '\0' && next < TEXT_ESCAPE_BMP;
}

// The bytes of the character at text (not at its end): an escape whole, a
// lead byte with its trail byte, or one byte.
size_t characterLength(const char* text) {
  uint32_t c = 0;
  if (const size_t length = readEscape(text, &c)) return length;
  return hasTrail(text) ? 2 : 1;
}

template <typename Char>
Char* nextCharacter(Char* position) {
  if (*position == '\0') return position;
  return position + characterLength(position);
}

size_t componentLength(const char* component, size_t bytes) {
  return platformComponentLength(component, bytes);
}

bool isForbidden(unsigned char byte, bool longNames) {
  if (longNames) {
    switch (byte) {
      case '"':
      case '*':
      case '/':
      case ':':
      case '<':
      case '>':
      case '?':
      case '\\':
      case '|':
        return true;
      default:
        return false;
    }
  }
  if (byte >= 0x01 && byte <= 0x20) return true;
  switch (byte) {
    case '"':
    case '*':
    case '+':
    case ',':
    case '.':
    case '/':
    case ':':
    case ';':
    case '<':
    case '=':
    case '>':
    case '?':
    case '[':
    case '\\':
    case ']':
    case '|':
    case 0xFF:
      return true;
    default:
      return false;
  }
}

// A component made of dots and blanks only, two bytes or more (".." and
// "...", but also ". ." or ".. ", which Windows trims back to ".."), would
// climb out of the destination or alias its parent. Its first byte becomes
// '_' so that every member stays below the destination. A lone "." names the
// directory itself and is harmless. The 8.3 rules never produce such a
// component (dots inside the base and blanks are forbidden there), but the
// check runs in both modes so that containment does not hang on that detail.
void defuseDotComponent(char* component) {
  size_t length = 0;
  for (const char* p = component; *p != '\0'; ++p, ++length) {
    if (*p != '.' && *p != ' ') return;
  }
  if (length >= 2) component[0] = '_';
}

}  // namespace

size_t fitCharacters(const char* text, size_t length, size_t room) {
  if (length <= room) return length;
  size_t kept = 0;
  while (kept < room) {
    size_t step = characterLength(text + kept);
    if (kept + step > room) break;
    kept += step;
  }
  return kept;
}

void unquotePath(char* destination, const char* source) {
  while (isBlank(*source)) ++source;
  // Copy forwards byte by byte: callers may unquote a buffer into itself.
  if (*source == '"') {
    ++source;
    while (*source != '\0' && *source != '"') *destination++ = *source++;
    *destination = '\0';
    return;
  }
  while ((*destination++ = *source++) != '\0') {
  }
}

void getPathRoot(char* destination, const char* path) {
  destination[0] = '\0';
  if (path[0] == '\\' && path[1] == '\\') {
    std::strcpy(destination, path);
    // \\server\share\ : the first backslash after the server name is passed,
    // the second one ends the root. Trail bytes 0x5C are skipped whole.
    int backslashes = 0;
    for (char* p = destination + 2; *p != '\0'; p = nextCharacter(p)) {
      if (*p == '\\' && ++backslashes == 2) {
        p[1] = '\0';
        return;
      }
    }
    return;
  }
  if (path[0] != '\0' && path[1] == ':' && path[2] == '\\') {
    std::memcpy(destination, path, 3);
    destination[3] = '\0';
  }
}

void addTrailingBackslash(char* path) {
  const char* last = nullptr;
  for (const char* p = path; *p != '\0'; p = nextCharacter(p)) last = p;
  // The last character counts only when it is a single-byte backslash; a
  // double-byte character whose trail byte is 0x5C is not a separator.
  if (last != nullptr && *last == '\\') return;
  std::strcat(path, "\\");
}

void joinPath(char* destination, const char* directory, const char* memberPath) {
  std::strcpy(destination, directory);
  addTrailingBackslash(destination);
  if (*memberPath == '\\') ++memberPath;
  std::strcat(destination, memberPath);
}

char* unifySeparators(char* text, char separator) {
  char* result = text;
  for (char* p = text; *p != '\0'; ++p) {
    if (isLead(*p)) {
      if (p[1] == '\0') break;
      ++p;  // the trail byte, possibly 0x5C, stays as it is
      continue;
    }
    unsigned char byte = static_cast<unsigned char>(*p);
    if (byte == '/' || byte == '\\' || byte == 0xFF) {
      *p = separator;
      result = p + 1;
    }
  }
  return result;
}

char* sanitizeName(char* text, int limit, bool longNames) {
  if (limit <= 0) {
    *text = '\0';
    return text;
  }
  char* p = text;
  bool trailExpected = false;
  const char* loneLead = nullptr;
  for (int walked = 0; walked < limit && *p != '\0'; ++walked, ++p) {
    uint32_t c = 0;
    if (trailExpected) {
      trailExpected = false;
    } else if (const size_t escape = readEscape(p, &c)) {
      // An escape is one character: whole, or cut off before it.
      if (walked + static_cast<int>(escape) > limit) break;
      walked += static_cast<int>(escape) - 1;
      p += escape - 1;
    } else if (isLead(*p)) {
      // Before an escape a lead byte stands alone (and fails to convert).
      trailExpected = hasTrail(p) || p[1] == '\0';
      if (!trailExpected) loneLead = p;
    } else if (isForbidden(static_cast<unsigned char>(*p), longNames)) {
      *p = '_';
    }
  }
  // A lead byte whose trail fell behind the limit (or was missing) goes too,
  // and so does one left alone at the end by an escape cut off.
  if (trailExpected || (loneLead && loneLead == p - 1)) --p;
  *p = '\0';
  return p;
}

void sanitizeComponent(char* component, bool longNames) {
  if (longNames) {
    // The limit counts what the file system counts; the cut is made after
    // the last whole character within it.
    size_t length = std::strlen(component);
    while (length && componentLength(component, length) > LONG_NAME_LIMIT)
      length = fitCharacters(component, length, length - 1);
    sanitizeName(component, static_cast<int>(length), true);
  } else {
    char* dot = std::strrchr(component, '.');
    if (dot == nullptr) {
      sanitizeName(component, 8, false);
    } else {
      *dot = '\0';
      char* baseEnd = sanitizeName(component, 8, false);
      char* extension = dot + 1;
      char* extensionEnd = sanitizeName(extension, 3, false);
      *baseEnd = '.';
      std::memmove(baseEnd + 1, extension, static_cast<size_t>(extensionEnd - extension) + 1);
    }
  }
  defuseDotComponent(component);
}

void sanitizeMemberPath(char* path, bool longNames) {
  char* start = path;
  if (*start == '/') ++start;
  char* write = start;
  char* read = start;
  // Components are cut at every '/' byte, even one behind a lead byte: '/'
  // is never a valid trail byte, and the directory creation and the file
  // system split there too, so every piece they see is sanitised.
  for (;;) {
    char* end = read;
    while (*end != '\0' && *end != '/') ++end;
    bool last = *end == '\0';
    *end = '\0';
    sanitizeComponent(read, longNames);
    size_t length = std::strlen(read);
    // Results never grow, so write stays at or before read.
    std::memmove(write, read, length);
    write += length;
    if (last) break;
    *write++ = '/';
    read = end + 1;
  }
  *write = '\0';
}

void makeDirectories(const char* path) {
  static char work[2048];  // static: the stub has a small stack
  // A path that does not fit the work buffer is not followed further; the
  // output file cannot be created there either, which the caller reports.
  size_t last = 0;  // the last separator inside the work buffer
  for (size_t i = 0; path[i] != '\0' && i < sizeof work; ++i) {
    work[i] = path[i];
    if (path[i] == '/') last = i;
  }
  // Most members go where an earlier member went, or one directory below.
  // When the deepest directory exists already, or can be made at once, every
  // one above it exists: one or two calls then replace a creation attempt
  // per directory on the path.
  if (last != 0) {
    work[last] = '\0';
    const uint32_t attributes = platformGetAttributes(work);
    if (attributes == PLATFORM_INVALID_ATTRIBUTES ? platformCreateDirectory(work)
                                                  : (attributes & PLATFORM_ATTRIBUTE_DIRECTORY))
      return;
  }
  for (size_t i = 0; i <= last; ++i) {
    if (path[i] != '/') continue;
    work[i] = '\0';
    platformCreateDirectory(work);
    work[i] = '/';
  }
}

bool namesNoComponent(const char* path) {
  for (; *path; ++path)
    if (*path != '/' && (*path != '.' || (path[1] && path[1] != '/'))) return false;
  return true;
}

const char* splitCommandLine(char* programDestination, const char* command, int programSize) {
  const char* p = command;
  while (isBlank(*p)) ++p;
  const char* begin;
  const char* end;
  if (*p == '"') {
    begin = ++p;
    while (*p != '\0' && *p != '"') ++p;
    end = p;
    if (*p == '"') ++p;
  } else {
    begin = p;
    while (*p != '\0' && !isBlank(*p)) ++p;
    end = p;
  }
  // The program copy is bounded by the caller's buffer and never splits a
  // double-byte character; the arguments are found behind the whole program
  // part all the same.
  if (programSize > 0) {
    size_t length = fitCharacters(begin, static_cast<size_t>(end - begin),
                                  static_cast<size_t>(programSize - 1));
    std::memcpy(programDestination, begin, length);
    programDestination[length] = '\0';
  }
  while (isBlank(*p)) ++p;
  return p;
}

bool isDeviceName(const char* component, size_t length) {
  size_t base = 0;
  while (base < length && component[base] != '.') ++base;
  while (base > 0 && component[base - 1] == ' ') --base;
  const char* names;
  if (base == 3)
    names = "CONPRNAUXNUL";
  else if (base == 4 && component[3] >= '1' && component[3] <= '9')
    names = "COMLPT";
  else
    return false;
  for (; *names; names += 3) {
    // The names are letters: clearing bit 5 upper-cases a letter, and no
    // other byte becomes one.
    size_t i = 0;
    while (i < 3 && (component[i] & ~0x20) == names[i]) ++i;
    if (i == 3) return true;
  }
  return false;
}

bool defuseDeviceNames(char* path, size_t capacity) {
  size_t length = std::strlen(path);
  size_t growth = 0;
  for (size_t start = 0; start <= length;) {
    size_t end = start;
    while (end < length && path[end] != '/') ++end;
    // A component that already has the full length of a long name cannot
    // grow; its first byte becomes the '_' instead.
    if (isDeviceName(path + start, end - start) &&
        componentLength(path + start, end - start) < LONG_NAME_LIMIT)
      ++growth;
    start = end + 1;
  }
  if (length + growth + 1 > capacity) return false;
  // Work from the end so that every byte moves once.
  size_t write = length + growth;
  path[write] = '\0';
  size_t end = length;
  for (;;) {
    size_t start = end;
    while (start > 0 && path[start - 1] != '/') --start;
    const bool device = isDeviceName(path + start, end - start);
    const bool grows = device && componentLength(path + start, end - start) < LONG_NAME_LIMIT;
    for (size_t i = end; i > start;) path[--write] = path[--i];
    if (grows) {
      path[--write] = '_';
    } else if (device) {
      path[write] = '_';
    }
    if (start == 0) break;
    path[--write] = '/';
    end = start - 1;
  }
  return true;
}

// A component longer than a long-name volume takes (as the file system
// counts it: UTF-16 units on Windows, so 129 kanji are no more than that):
// cutting it could make it another member's name, so such a member is
// refused instead.
static bool hasOverlongComponent(const char* path) {
  for (const char* start = path;;) {
    const char* end = std::strchr(start, '/');
    const size_t bytes = end ? static_cast<size_t>(end - start) : std::strlen(start);
    if (componentLength(start, bytes) > LONG_NAME_LIMIT) return true;
    if (!end) return false;
    start = end + 1;
  }
}

OutputPathResult buildOutputPath(char* destination, size_t capacity, const char* directory,
                                 const char* memberName, size_t rootLength, bool longNames,
                                 bool deviceNames, size_t* memberOffset) {
  joinPath(destination, directory, "");
  const size_t offset = std::strlen(destination);
  if (memberOffset) *memberOffset = offset;
  std::strcat(destination, *memberName == '\\' ? memberName + 1 : memberName);
  // The destination is the user's: its separators become '/' so that the
  // directories on the way can be made, but its names stay as they are.
  if (rootLength < offset) {
    char saved = destination[offset];
    destination[offset] = 0;
    unifySeparators(destination + rootLength, '/');
    destination[offset] = saved;
  }
  char* member = destination + offset;
  unifySeparators(member, '/');
  if (longNames && hasOverlongComponent(member)) return OUTPUT_PATH_NAME_TOO_LONG;
  sanitizeMemberPath(member, longNames);
  if (deviceNames && !defuseDeviceNames(member, capacity - offset)) return OUTPUT_PATH_TOO_LONG;
  return OUTPUT_PATH_OK;
}
