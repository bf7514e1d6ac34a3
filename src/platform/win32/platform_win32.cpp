// The platform seam on Windows: the Win32 API with exactly the calls and
// flags the program has always used, in their ANSI form or, where the ANSI
// code page is not 932, their wide form (see win32_text.h).
#include <windows.h>
// (windows.h first: the headers below rely on it)
#include <shellapi.h>

#include "platform/platform.h"
#include "platform/win32/win32_text.h"

static HANDLE handleOf(FileHandle file) { return static_cast<HANDLE>(file); }

static HANDLE openFile(const char* path, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags) {
  return textCall(CreateFileW, CreateFileA)(systemText(path), access, share, nullptr, disposition,
                                            flags, nullptr);
}

FileHandle platformOpenRead(const char* path) {
  return openFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL);
}

FileHandle platformCreateOutput(const char* path) {
  return openFile(path, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
}

// Member names cannot make links on Windows, and the stub has always opened
// the path as it is.
FileHandle platformCreateOutputBelow(const char* path, size_t) {
  return platformCreateOutput(path);
}

bool platformNoLinkBelow(const char*, size_t, bool) { return true; }
void platformForgetCheckedDirectories() {}

FileHandle platformOpenNullSink() {
  return openFile("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL);
}

bool platformRead(FileHandle file, void* buffer, uint32_t count, uint32_t* got) {
  DWORD n = 0;
  BOOL ok = ReadFile(handleOf(file), buffer, count, &n, nullptr);
  *got = n;
  return ok != FALSE;
}

bool platformWrite(FileHandle file, const void* buffer, uint32_t count, uint32_t* written) {
  DWORD n = 0;
  BOOL ok = WriteFile(handleOf(file), buffer, count, &n, nullptr);
  *written = n;
  return ok != FALSE;
}

bool platformSeek(FileHandle file, int64_t distance, SeekOrigin origin) {
  LONG high = static_cast<LONG>(distance >> 32);
  SetLastError(NO_ERROR);
  DWORD low = SetFilePointer(handleOf(file), static_cast<LONG>(distance & 0xFFFFFFFF), &high,
                             origin == SEEK_FROM_START ? FILE_BEGIN : FILE_CURRENT);
  // Only this combination is a failure: a position may have all low bits set.
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

bool platformClose(FileHandle file) { return CloseHandle(handleOf(file)) != FALSE; }

static FILETIME toFiletime(FileTime time) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(time);
  ft.dwHighDateTime = static_cast<DWORD>(time >> 32);
  return ft;
}

void platformSetFileTime(FileHandle file, FileTime lastWrite) {
  FILETIME ft = toFiletime(lastWrite);
  SetFileTime(handleOf(file), nullptr, nullptr, &ft);
}

bool platformDeleteFile(const char* path) {
  return textCall(DeleteFileW, DeleteFileA)(systemText(path)) != FALSE;
}

bool platformCreateDirectory(const char* path) {
  return textCall(CreateDirectoryW, CreateDirectoryA)(systemText(path), nullptr) != FALSE;
}

void platformSetDirectoryTime(const char* path, FileTime lastWrite) {
  // Directories can be opened for their times only on the NT family.
  if (!platformIsNtFamily()) return;
  HANDLE h = openFile(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS);
  if (h == INVALID_HANDLE_VALUE) return;
  FILETIME ft = toFiletime(lastWrite);
  SetFileTime(h, nullptr, nullptr, &ft);
  CloseHandle(h);
}

uint32_t platformGetAttributes(const char* path) {
  return textCall(GetFileAttributesW, GetFileAttributesA)(systemText(path));
}

bool platformSetAttributes(const char* path, uint32_t attributes) {
  return textCall(SetFileAttributesW, SetFileAttributesA)(systemText(path), attributes) != FALSE;
}

uint32_t platformVolumeComponentLength(const char* root) {
  DWORD length = 0, flags = 0;
  const wchar_t* text = systemText(root);
  // A root that cannot be converted comes out empty, which would ask about
  // the current directory's volume.
  if (win32WideText && !text[0]) return 0;
  return textCall(GetVolumeInformationW, GetVolumeInformationA)(text, nullptr, 0, nullptr, &length,
                                                                &flags, nullptr, 0)
             ? length
             : 0;
}

// Copies at most size - 1 bytes; used where a query's result did not fit.
static void copyBounded(char* destination, const char* source, uint32_t size) {
  if (!size) return;
  while (--size && *source) *destination++ = *source++;
  *destination = 0;
}

static bool fits(UINT result, uint32_t size) { return result != 0 && result < size; }

// The wide calls write their results here before they go back as CP932.
static wchar_t wideResult[WIDE_PATH_UNITS];

// A call that names a folder: the ANSI call has written it into buffer, the
// wide one into wideResult, from where it comes back as a path.
static bool folderResult(UINT length, char* buffer, uint32_t size) {
  if (!win32WideText) return fits(length, size);
  return fits(length, WIDE_PATH_UNITS) && pathToCp932(wideResult, buffer, static_cast<int>(size));
}

void platformExpandEnvironment(const char* source, char* destination, uint32_t size) {
  bool expanded;
  if (win32WideText) {
    // An expansion that CP932 cannot hold is treated like one that does not
    // fit.
    DWORD needed = ExpandEnvironmentStringsW(wide(source), wideResult, WIDE_PATH_UNITS);
    expanded =
        fits(needed, WIDE_PATH_UNITS + 1) &&
        toCp932(wideResult, static_cast<int>(needed) - 1, destination, static_cast<int>(size)) >= 0;
  } else {
    DWORD needed = ExpandEnvironmentStringsA(source, destination, size);
    expanded = needed != 0 && needed <= size;
  }
  // A result that does not fit leaves the text unexpanded rather than cut
  // somewhere in the middle of a variable's value.
  if (!expanded) copyBounded(destination, source, size);
}

bool platformCurrentDirectory(char* buffer, uint32_t size) {
  return folderResult(win32WideText ? GetCurrentDirectoryW(WIDE_PATH_UNITS, wideResult)
                                    : GetCurrentDirectoryA(size, buffer),
                      buffer, size);
}
bool platformSystemDirectory(char* buffer, uint32_t size) {
  return folderResult(win32WideText ? GetSystemDirectoryW(wideResult, WIDE_PATH_UNITS)
                                    : GetSystemDirectoryA(buffer, size),
                      buffer, size);
}
bool platformWindowsDirectory(char* buffer, uint32_t size) {
  return folderResult(win32WideText ? GetWindowsDirectoryW(wideResult, WIDE_PATH_UNITS)
                                    : GetWindowsDirectoryA(buffer, size),
                      buffer, size);
}
bool platformTempDirectory(char* buffer, uint32_t size) {
  return folderResult(
      win32WideText ? GetTempPathW(WIDE_PATH_UNITS, wideResult) : GetTempPathA(size, buffer),
      buffer, size);
}
bool platformShortPathName(const char* path, char* buffer, uint32_t size) {
  return folderResult(win32WideText ? GetShortPathNameW(wide(path), wideResult, WIDE_PATH_UNITS)
                                    : GetShortPathNameA(path, buffer, size),
                      buffer, size);
}

bool platformReadRegistryString(int root, const char* key, const char* valueName, char* buffer,
                                uint32_t size) {
  HKEY h;
  // The key names are plain ASCII, the same in every code page.
  if (RegOpenKeyExA(root == 0 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, key, 0, KEY_READ, &h) !=
      ERROR_SUCCESS)
    return false;
  if (win32WideText) {
    // The values are folders, which come back as other paths do.
    DWORD bytes = sizeof wideResult - sizeof(wchar_t);
    LONG result = RegQueryValueExW(h, wide(valueName), nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(wideResult), &bytes);
    RegCloseKey(h);
    wideResult[bytes / sizeof(wchar_t)] = 0;
    return result == ERROR_SUCCESS && wideResult[0] &&
           pathToCp932(wideResult, buffer, static_cast<int>(size));
  }
  DWORD length = size;
  LONG result =
      RegQueryValueExA(h, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &length);
  RegCloseKey(h);
  if (result != ERROR_SUCCESS || length == 0) return false;
  // A value stored without its terminator still ends inside the buffer.
  buffer[length < size ? length : size - 1] = 0;
  return true;
}

uint32_t platformVersion() { return GetVersion(); }
bool platformIsNtFamily() { return !(GetVersion() & 0x80000000u); }

FileTime platformCurrentFileTime() {
  SYSTEMTIME st;
  FILETIME ft;
  GetSystemTime(&st);
  SystemTimeToFileTime(&st, &ft);
  return static_cast<FileTime>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
}

// The lead bytes of CP932 (0x81-0x9F, 0xE0-0xFC) as a fixed test: the
// system's IsDBCSLeadByte answers for its own ANSI code page, which need not
// be 932, and IsDBCSLeadByteEx costs an import for the same answer.
bool platformIsLeadByte(unsigned char byte) {
  return static_cast<unsigned char>((byte ^ 0x20) - 0xA1) < 0x3C;
}

bool platformHasDeviceNames() { return true; }

int platformLoadString(unsigned id, char* buffer, int size) {
  HINSTANCE module = win32Module();
  int length;
  if (win32WideText) {
    // With no buffer, LoadStringW gives the resource's own text and length.
    const wchar_t* text = nullptr;
    length = LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length > 0) length = toCp932(text, length, buffer, size);
    if (length >= size) length = 0;  // the texts are far shorter than the buffers
  } else {
    length = LoadStringA(module, id, buffer, size);
  }
  if (length <= 0 && size > 0) buffer[0] = 0;
  return length;
}

void platformStartCommand(void* ownerWindow, const char* program, const char* arguments,
                          const char* directory) {
  // A name that cannot be converted comes out empty, which the shell refuses
  // (and, like any command that fails to start, it is not reported). The
  // three texts take the three buffers of wide.
  const wchar_t* text = systemText(arguments);
  textCall(ShellExecuteW, ShellExecuteA)(static_cast<HWND>(ownerWindow), nullptr,
                                         systemText(program), arguments[0] ? text : nullptr,
                                         systemText(directory), SW_SHOW);
}
