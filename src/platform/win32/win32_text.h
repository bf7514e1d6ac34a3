// Text at the Win32 boundary, shared by the platform layer and the dialogs.
//
// The program works in program text throughout: CP932 (Shift-JIS), with
// escapes for the characters CP932 lacks (platform/program_text.h). Every
// text is converted to UTF-16 here and the wide functions are called, so
// that names and messages come out right whatever the system's code page;
// what the system gives back comes back without loss, whatever its script
// (a Korean user name in %TEMP%, a folder chosen in the browser). The
// conversions rely on
// WC_NO_BEST_FIT_CHARS, which the system has from Windows 2000 on: the
// program needs that or later (win32HasWideCalls).
#pragma once

#include <windows.h>

// The program's own module: the linker names the image's start, and the
// loader's base relocations keep the name right wherever the image is
// loaded.
extern "C" IMAGE_DOS_HEADER __ImageBase;
inline HINSTANCE win32Module() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

// Whether the system of a GetVersion word has the wide calls and the
// conversions the program relies on: the NT family from Windows 2000 on.
inline bool win32HasWideCalls(DWORD version) {
  return !(version & 0x80000000u) && (version & 0xFF) >= 5;
}

// The longest text handed across: a message box text, a status line.
constexpr int WIDE_TEXT_UNITS = 1024;
// The longest path: the core's current-path buffer.
constexpr int WIDE_PATH_UNITS = 520;

// Program text to UTF-16, zero-terminated in out (size units). With strict,
// bytes that are not CP932 and invalid escapes fail, since a name handed to
// the file system must not change on the way; otherwise they show as a
// default character. False (out empty) when it fails or does not fit.
bool toWide(const char* text, wchar_t* out, int size, bool strict);

// The same into the next of a few rotating buffers of WIDE_TEXT_UNITS, for
// the argument of a call: valid until three more conversions have been
// made. A text that cannot be converted comes out empty, which every file
// function refuses.
const wchar_t* wide(const char* text, bool strict = true);

// UTF-16 (length units) to program text, zero-terminated in out (size
// bytes), without loss. Returns the byte length, or -1 when the text does
// not fit (out holds the whole characters that did) or holds U+0000 or an
// unpaired surrogate (out empty).
int toCp932(const wchar_t* text, int length, char* out, int size);

// A path the system gave back, into program text: false when neither its
// long form nor its short (8.3) form fits. The short form, when tried,
// replaces path (WIDE_PATH_UNITS).
bool pathToCp932(wchar_t* path, char* out, int size);

// The process's command line as program text (empty when it is too long).
const char* win32CommandLine();
// The path of module as program text into buffer (empty when it cannot be had).
void win32ModulePath(HMODULE module, char* buffer, int size);
