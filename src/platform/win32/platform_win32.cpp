// The platform seam on Windows: the Win32 API with exactly the calls and
// flags the program has always used, in their wide form (see win32_text.h).
#include <windows.h>
// (windows.h first: the headers below rely on it)
#include <shellapi.h>
#include <shlobj.h>

#include "platform/platform.h"
#include "platform/win32/win32_text.h"

static HANDLE handleOf(FileHandle file) { return static_cast<HANDLE>(file); }

static HANDLE openFile(const char* path, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags) {
  return CreateFileW(wide(path), access, share, nullptr, disposition, flags, nullptr);
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
  LARGE_INTEGER move;
  move.QuadPart = distance;
  return SetFilePointerEx(handleOf(file), move, nullptr,
                          origin == SEEK_FROM_START ? FILE_BEGIN : FILE_CURRENT) != FALSE;
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

bool platformDeleteFile(const char* path) { return DeleteFileW(wide(path)) != FALSE; }

bool platformCreateDirectory(const char* path) {
  return CreateDirectoryW(wide(path), nullptr) != FALSE;
}

void platformSetDirectoryTime(const char* path, FileTime lastWrite) {
  HANDLE h = openFile(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS);
  if (h == INVALID_HANDLE_VALUE) return;
  FILETIME ft = toFiletime(lastWrite);
  SetFileTime(h, nullptr, nullptr, &ft);
  CloseHandle(h);
}

uint32_t platformGetAttributes(const char* path) { return GetFileAttributesW(wide(path)); }

bool platformSetAttributes(const char* path, uint32_t attributes) {
  return SetFileAttributesW(wide(path), attributes) != FALSE;
}

uint32_t platformVolumeComponentLength(const char* root) {
  DWORD length = 0, flags = 0;
  const wchar_t* text = wide(root);
  // A root that cannot be converted comes out empty, which would ask about
  // the current directory's volume.
  if (!text[0]) return 0;
  return GetVolumeInformationW(text, nullptr, 0, nullptr, &length, &flags, nullptr, 0) ? length : 0;
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

// A call that names a folder has written it into wideResult, from where it
// comes back as a path.
static bool folderResult(UINT length, char* buffer, uint32_t size) {
  return fits(length, WIDE_PATH_UNITS) && pathToCp932(wideResult, buffer, static_cast<int>(size));
}

void platformExpandEnvironment(const char* source, char* destination, uint32_t size) {
  DWORD needed = ExpandEnvironmentStringsW(wide(source), wideResult, WIDE_PATH_UNITS);
  bool expanded =
      fits(needed, WIDE_PATH_UNITS + 1) &&
      toCp932(wideResult, static_cast<int>(needed) - 1, destination, static_cast<int>(size)) >= 0;
  // A result that does not fit leaves the text unexpanded rather than cut
  // somewhere in the middle of a variable's value.
  if (!expanded) copyBounded(destination, source, size);
}

bool platformCurrentDirectory(char* buffer, uint32_t size) {
  return folderResult(GetCurrentDirectoryW(WIDE_PATH_UNITS, wideResult), buffer, size);
}
bool platformSystemDirectory(char* buffer, uint32_t size) {
  return folderResult(GetSystemDirectoryW(wideResult, WIDE_PATH_UNITS), buffer, size);
}
bool platformWindowsDirectory(char* buffer, uint32_t size) {
  return folderResult(GetWindowsDirectoryW(wideResult, WIDE_PATH_UNITS), buffer, size);
}
bool platformTempDirectory(char* buffer, uint32_t size) {
  return folderResult(GetTempPathW(WIDE_PATH_UNITS, wideResult), buffer, size);
}
bool platformShortPathName(const char* path, char* buffer, uint32_t size) {
  return folderResult(GetShortPathNameW(wide(path), wideResult, WIDE_PATH_UNITS), buffer, size);
}

bool platformSpecialFolder(int folder, char* buffer, uint32_t size) {
  // The shell's own answer, which also holds where the old registry values
  // (the Shell Folders key among them) are gone or stale.
  static const int FOLDER_IDS[] = {CSIDL_PROGRAM_FILES, CSIDL_PROGRAM_FILES_COMMON, CSIDL_PERSONAL};
  return SHGetFolderPathW(nullptr, FOLDER_IDS[folder], nullptr, SHGFP_TYPE_CURRENT, wideResult) ==
             S_OK &&
         pathToCp932(wideResult, buffer, static_cast<int>(size));
}

FileTime platformCurrentFileTime() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return static_cast<FileTime>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
}

// The lead bytes of CP932 (0x81-0x9F, 0xE0-0xFC) as a fixed test: the
// system's IsDBCSLeadByte answers for its own ANSI code page, which need not
// be 932, and IsDBCSLeadByteEx costs an import for the same answer.
bool platformIsLeadByte(unsigned char byte) {
  return static_cast<unsigned char>((byte ^ 0x20) - 0xA1) < 0x3C;
}

bool platformHasDeviceNames() { return true; }

const uint8_t* platformProgramResource(unsigned type, unsigned id, uint32_t* size) {
  HINSTANCE module = win32Module();
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(type));
  HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
  if (!loaded) return nullptr;
  *size = SizeofResource(module, found);
  return static_cast<const uint8_t*>(LockResource(loaded));
}

int platformLoadString(unsigned id, char* buffer, int size) {
  HINSTANCE module = win32Module();
  // With no buffer, LoadStringW gives the resource's own text and length.
  const wchar_t* text = nullptr;
  int length = LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0);
  if (length > 0) length = toCp932(text, length, buffer, size);
  if (length >= size) length = 0;  // the texts are far shorter than the buffers
  if (length <= 0 && size > 0) buffer[0] = 0;
  return length;
}

void platformStartCommand(void* ownerWindow, const char* program, const char* arguments,
                          const char* directory) {
  // A name that cannot be converted comes out empty, which the shell refuses
  // (and, like any command that fails to start, it is not reported). The
  // three texts take the three buffers of wide.
  const wchar_t* text = wide(arguments);
  ShellExecuteW(static_cast<HWND>(ownerWindow), nullptr, wide(program),
                arguments[0] ? text : nullptr, wide(directory), SW_SHOW);
}
