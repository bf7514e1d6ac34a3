#include "startup/program_start.h"

#include <cstring>

const char* commandLineTail(const char* commandLine) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(commandLine);
  if (*p == '"') {
    ++p;
    while (*p && *p != '"') ++p;
    if (*p == '"') ++p;
  } else if (*p > ' ') {
    while (*p > ' ') ++p;
  }
  while (*p >= 0x01 && *p <= ' ') ++p;
  return reinterpret_cast<const char*>(p);
}

static const char* skipBlanks(const char* p) {
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

StartSwitches parseStartSwitches(const char* tail) {
  StartSwitches found{};
  if (*tail != '/') {
    if (*tail) found.destination = tail;
    return found;
  }
  bool help = false;
  for (const char* p = tail; *p; p = skipBlanks(p + 2)) {
    // A switch: '/', one character, then a blank or the end; /D= takes the
    // rest of the line, which must hold more than blanks.
    char letter = p[0] == '/' && p[1] ? static_cast<char>(p[1] | 0x20) : 0;
    if (letter == 'd' && p[2] == '=') {
      // A path longer than a destination's 255 bytes would be cut to
      // another; blanks alone are none.
      const char* path = skipBlanks(p + 3);
      if (*path && std::strlen(path) < 256) {
        found.destination = path;
        break;
      }
      letter = 0;
    }
    const bool known = letter && (letter == 's' || letter == 'o' || p[1] == '?');
    if (!known || (p[2] != ' ' && p[2] != '\t' && p[2])) {
      found.action = START_BAD_LINE;
      return found;
    }
    found.silent |= letter == 's';
    found.overwrite |= letter == 'o';
    help |= p[1] == '?';
  }
  if (help) found.action = START_SHOW_HELP;
  return found;
}

bool isSupportedWindows(uint32_t version) {
  const unsigned major = version & 0xFF;
  const unsigned minor = (version >> 8) & 0xFF;
  if (version & 0x80000000u) return major >= 4;
  if (major != 3) return major > 3;
  return minor >= 51;
}
