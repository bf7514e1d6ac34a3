#include "platform/win32/win32_text.h"

constexpr UINT CP_SHIFT_JIS = 932;

bool toWide(const char* text, wchar_t* out, int size, bool strict) {
  if (MultiByteToWideChar(CP_SHIFT_JIS, strict ? MB_ERR_INVALID_CHARS : 0, text, -1, out, size))
    return true;
  out[0] = 0;
  return false;
}

const wchar_t* wide(const char* text, bool strict) {
  // Three: the most text arguments of one call (the command to start).
  static wchar_t buffers[3][WIDE_TEXT_UNITS];
  static unsigned next;
  wchar_t* buffer = buffers[next++ % 3];
  toWide(text, buffer, WIDE_TEXT_UNITS, strict);
  return buffer;
}

int toCp932(const wchar_t* text, int length, char* out, int size, bool lossy) {
  BOOL defaulted = FALSE;
  // No best fit: a character that CP932 lacks must not turn into a look-alike
  // (another name, or a separator).
  int bytes = WideCharToMultiByte(CP_SHIFT_JIS, WC_NO_BEST_FIT_CHARS, text, length, out, size - 1,
                                  nullptr, lossy ? nullptr : &defaulted);
  if (defaulted || (bytes == 0 && length > 0)) bytes = -1;
  out[bytes < 0 ? 0 : bytes] = 0;
  return bytes;
}

static int wideLength(const wchar_t* text) {
  int length = 0;
  while (text[length]) ++length;
  return length;
}

static bool fitsCp932(const wchar_t* text, char* out, int size) {
  return toCp932(text, wideLength(text), out, size) >= 0;
}

bool pathToCp932(wchar_t* path, char* out, int size) {
  if (fitsCp932(path, out, size)) return true;
  // A folder named in another script (a user name, say) still has a short
  // name of plain characters where the volume keeps short names.
  DWORD length = GetShortPathNameW(path, path, WIDE_PATH_UNITS);
  return length != 0 && length < WIDE_PATH_UNITS && fitsCp932(path, out, size);
}

const char* win32CommandLine() {
  static char line[1024];
  const wchar_t* command = GetCommandLineW();
  // A longer line holds no destination the program could take anyway: it
  // comes out empty, as if none were given.
  if (!command || toCp932(command, wideLength(command), line, sizeof line, true) < 0) line[0] = 0;
  return line;
}

void win32ModulePath(HMODULE module, char* buffer, int size) {
  wchar_t path[WIDE_PATH_UNITS];
  DWORD length = GetModuleFileNameW(module, path, WIDE_PATH_UNITS);
  if (length == 0 || length >= WIDE_PATH_UNITS || !pathToCp932(path, buffer, size)) buffer[0] = 0;
}
