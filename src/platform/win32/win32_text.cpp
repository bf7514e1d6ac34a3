#include "platform/win32/win32_text.h"

#include "platform/platform.h"
#include "platform/program_text.h"

constexpr UINT CP_SHIFT_JIS = 932;

// The exact CP932 form of the character of units (one or two UTF-16 units)
// into bytes; its length, 0 when it has none. Without best fit, the system
// converts only a character that comes back unchanged, so that none turns
// into a look-alike (U+301C WAVE DASH into 0x8160, which is U+FF5E); a
// single byte that starts an escape (0xFD and up, the private-use characters
// U+F8F1-U+F8F3) is no form either.
static int exactCp932(const wchar_t* units, int count, char* bytes) {
  if (count != 1) return 0;
  if (units[0] < 0x80) {
    bytes[0] = static_cast<char>(units[0]);
    return 1;
  }
  BOOL defaulted = FALSE;
  const int length = WideCharToMultiByte(CP_SHIFT_JIS, WC_NO_BEST_FIT_CHARS, units, 1, bytes, 2,
                                         nullptr, &defaulted);
  if (length <= 0 || defaulted || (length == 1 && static_cast<unsigned char>(bytes[0]) >= 0xFD))
    return 0;
  return length;
}

bool toWide(const char* text, wchar_t* out, int size, bool strict) {
  int used = 0;
  const char* run = text;
  for (const char* p = text;; ++p) {
    const unsigned char byte = static_cast<unsigned char>(*p);
    if (byte && byte != TEXT_ESCAPE_BMP && byte != TEXT_ESCAPE_ASTRAL) continue;
    // The CP932 run before the escape (or the end).
    if (p > run) {
      // (A room of 0 would ask for the length instead of converting.)
      if (size - used - 1 <= 0) break;
      const int units = MultiByteToWideChar(CP_SHIFT_JIS, strict ? MB_ERR_INVALID_CHARS : 0, run,
                                            static_cast<int>(p - run), out + used, size - used - 1);
      if (units <= 0) break;
      used += units;
      run = p;
    }
    if (!byte) {
      out[used] = 0;
      return true;
    }
    uint32_t c = 0;
    wchar_t units[2];
    char bytes[2];
    size_t length = readEscape(p, &c);
    int count = c < 0x10000 ? 1 : 2;
    units[0] = static_cast<wchar_t>(count == 1 ? c : 0xD800 + ((c - 0x10000) >> 10));
    units[1] = static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
    // An escape stands only for a character without a CP932 form; anything
    // else (a forged '/', say) fails, or in a text to show stays with the
    // bytes around it, as whatever CP932 makes of them.
    if (!length || exactCp932(units, count, bytes)) {
      if (strict) break;
      continue;
    }
    if (used + count > size - 1) break;
    for (int i = 0; i < count; ++i) out[used++] = units[i];
    p += length - 1;
    run = p + 1;
  }
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

int toCp932(const wchar_t* text, int length, char* out, int size) {
  int used = 0;
  for (int i = 0; i < length;) {
    int count = 1;
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < length && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      count = 2;
    }
    char bytes[TEXT_ESCAPE_MAX];
    int n = exactCp932(text + i, count, bytes);
    if (!n) n = static_cast<int>(writeEscape(c, bytes));
    if (c == 0 || (c >= 0xD800 && c < 0xE000)) used = 0;
    if (c == 0 || (c >= 0xD800 && c < 0xE000) || used + n > size - 1) {
      out[used] = 0;  // the whole characters that fitted
      return -1;
    }
    for (int k = 0; k < n; ++k) out[used++] = bytes[k];
    i += count;
  }
  out[used] = 0;
  return used;
}

// The UTF-16 of a record or a notice on its way to program text.
static wchar_t text[2 * WIDE_TEXT_UNITS];

void platformTextFromUtf8(const char* utf8, char* out, size_t size) {
  // (Invalid bytes become U+FFFD; the text is at most 1023 bytes.)
  const int units = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text, 2 * WIDE_TEXT_UNITS);
  out[0] = 0;
  if (units > 0) toCp932(text, units - 1, out, static_cast<int>(size));
}

bool platformTextFromUtf16(const uint8_t* utf16le, size_t units, char* out, size_t size) {
  // Every unit makes a byte at least: more than size units never fit.
  size_t taken = units < size ? units : size - 1;
  if (!size || taken >= 2 * WIDE_TEXT_UNITS) return false;
  for (size_t i = 0; i < taken; ++i)
    text[i] = static_cast<wchar_t>(utf16le[2 * i] | utf16le[2 * i + 1] << 8);
  // A cut text keeps its last character whole.
  if (taken < units && taken && text[taken - 1] >= 0xD800 && text[taken - 1] < 0xDC00) --taken;
  return toCp932(text, static_cast<int>(taken), out, static_cast<int>(size)) >= 0 && taken == units;
}

size_t platformComponentLength(const char* component, size_t bytes) {
  return programTextUnits(component, bytes);
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
  // A path too long for the buffer in program text (4 bytes for each
  // character that CP932 lacks) may still fit in its short form.
  DWORD length = GetShortPathNameW(path, path, WIDE_PATH_UNITS);
  return length != 0 && length < WIDE_PATH_UNITS && fitsCp932(path, out, size);
}

const char* win32CommandLine() {
  static char line[4096];
  const wchar_t* command = GetCommandLineW();
  // A longer line holds no destination the program could take anyway: it
  // comes out empty, as if none were given.
  if (!command || toCp932(command, wideLength(command), line, sizeof line) < 0) line[0] = 0;
  return line;
}

void win32ModulePath(HMODULE module, char* buffer, int size) {
  wchar_t path[WIDE_PATH_UNITS];
  DWORD length = GetModuleFileNameW(module, path, WIDE_PATH_UNITS);
  if (length == 0 || length >= WIDE_PATH_UNITS || !pathToCp932(path, buffer, size)) buffer[0] = 0;
}
