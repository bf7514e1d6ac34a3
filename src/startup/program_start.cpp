#include "startup/program_start.h"

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

bool isSupportedWindows(uint32_t version) {
  const unsigned major = version & 0xFF;
  const unsigned minor = (version >> 8) & 0xFF;
  if (version & 0x80000000u) return major >= 4;
  if (major != 3) return major > 3;
  return minor >= 51;
}
