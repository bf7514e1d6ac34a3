// The platform seam on Windows: the ANSI Win32 API, with exactly the calls
// and flags the program has always used.
#include <windows.h>
// (windows.h first: the headers below rely on it)
#include <shellapi.h>

#include "platform/platform.h"

static HANDLE handleOf(FileHandle file) { return static_cast<HANDLE>(file); }

FileHandle platformOpenRead(const char* path) {
  return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

FileHandle platformCreateOutput(const char* path) {
  return CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

// Member names cannot make links on Windows, and the stub has always opened
// the path as it is.
FileHandle platformCreateOutputBelow(const char* path, size_t) {
  return platformCreateOutput(path);
}

bool platformNoLinkBelow(const char*, size_t, bool) { return true; }

FileHandle platformOpenNullSink() {
  return CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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

bool platformDeleteFile(const char* path) { return DeleteFileA(path) != FALSE; }

bool platformCreateDirectory(const char* path) { return CreateDirectoryA(path, nullptr) != FALSE; }

void platformSetDirectoryTime(const char* path, FileTime lastWrite) {
  // Directories can be opened for their times only on the NT family.
  if (!platformIsNtFamily()) return;
  HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  FILETIME ft = toFiletime(lastWrite);
  SetFileTime(h, nullptr, nullptr, &ft);
  CloseHandle(h);
}

uint32_t platformGetAttributes(const char* path) { return GetFileAttributesA(path); }

bool platformSetAttributes(const char* path, uint32_t attributes) {
  return SetFileAttributesA(path, attributes) != FALSE;
}

uint32_t platformVolumeComponentLength(const char* root) {
  DWORD length = 0, flags = 0;
  if (!GetVolumeInformationA(root, nullptr, 0, nullptr, &length, &flags, nullptr, 0)) return 0;
  return length;
}

// Copies at most size - 1 bytes; used where a query's result did not fit.
static void copyBounded(char* destination, const char* source, uint32_t size) {
  if (!size) return;
  lstrcpynA(destination, source, static_cast<int>(size));
}

void platformExpandEnvironment(const char* source, char* destination, uint32_t size) {
  DWORD needed = ExpandEnvironmentStringsA(source, destination, size);
  // A result that does not fit leaves the text unexpanded rather than cut
  // somewhere in the middle of a variable's value.
  if (needed == 0 || needed > size) copyBounded(destination, source, size);
}

static bool fits(UINT result, uint32_t size) { return result != 0 && result < size; }

bool platformCurrentDirectory(char* buffer, uint32_t size) {
  return fits(GetCurrentDirectoryA(size, buffer), size);
}
bool platformSystemDirectory(char* buffer, uint32_t size) {
  return fits(GetSystemDirectoryA(buffer, size), size);
}
bool platformWindowsDirectory(char* buffer, uint32_t size) {
  return fits(GetWindowsDirectoryA(buffer, size), size);
}
bool platformTempDirectory(char* buffer, uint32_t size) {
  return fits(GetTempPathA(size, buffer), size);
}
bool platformShortPathName(const char* path, char* buffer, uint32_t size) {
  return fits(GetShortPathNameA(path, buffer, size), size);
}

bool platformReadRegistryString(int root, const char* key, const char* valueName, char* buffer,
                                uint32_t size) {
  HKEY h;
  if (RegOpenKeyExA(root == 0 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, key, 0, KEY_READ, &h) !=
      ERROR_SUCCESS)
    return false;
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

void platformCurrentSystemTime(SystemTime* time) {
  SYSTEMTIME st;
  GetSystemTime(&st);
  time->year = st.wYear;
  time->month = st.wMonth;
  time->day = st.wDay;
  time->hour = st.wHour;
  time->minute = st.wMinute;
  time->second = st.wSecond;
  time->milliseconds = st.wMilliseconds;
}

bool platformIsLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != FALSE; }

bool platformHasDeviceNames() { return true; }

int platformLoadString(unsigned id, char* buffer, int size) {
  int length = LoadStringA(GetModuleHandleA(nullptr), id, buffer, size);
  if (length <= 0 && size > 0) buffer[0] = 0;
  return length;
}

void platformStartCommand(void* ownerWindow, const char* program, const char* arguments,
                          const char* directory) {
  ShellExecuteA(static_cast<HWND>(ownerWindow), nullptr, program,
                arguments[0] ? arguments : nullptr, directory, SW_SHOW);
}
