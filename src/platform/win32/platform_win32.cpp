// The platform seam on Windows: the Win32 API with exactly the calls and
// flags the program has always used, in their wide form (see win32_text.h).
#include <windows.h>
// (windows.h first: the headers below rely on it)
#include <shellapi.h>
#include <shlobj.h>

#include <cstring>

#include "platform/link_walk.h"
#include "platform/platform.h"
#include "platform/win32/win32_text.h"

static HANDLE handleOf(FileHandle file) { return static_cast<HANDLE>(file); }

static HANDLE openFile(const char* path, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags) {
  return CreateFileW(wide(path), access, share, nullptr, disposition, flags, nullptr);
}

// Read-ahead for the file opened for reading last (the archive): the passes
// read every header in small pieces and the decoder its input 16 KiB at a
// time, each a system call (and under Wine more than one). Reads of the
// buffer's size or more go straight to the caller. An earlier file loses
// its read-ahead (its position is put back) when a newer one is opened.
// Zero-filled, so the 64 KiB cost the file nothing.
namespace {
struct ReadAhead {
  HANDLE file;            // null: none
  uint32_t at, end;       // unread bytes: data[at, end)
  uint8_t data[1 << 16];  // the size of the decoder's output window
};
ReadAhead readAhead;

void forgetReadAhead() {
  readAhead.file = nullptr;
  readAhead.at = readAhead.end = 0;
}

// Reads until count bytes, the file's end or an error (ReadFile on a file
// fills the request unless the file ends).
bool readFile(HANDLE file, uint8_t* buffer, uint32_t count, uint32_t* got) {
  DWORD n = 0;
  const BOOL ok = ReadFile(file, buffer, count, &n, nullptr);
  *got = n;
  return ok != FALSE;
}
}  // namespace

FileHandle platformOpenRead(const char* path) {
  HANDLE file = openFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL);
  if (file != INVALID_HANDLE_VALUE) {
    // The earlier file's position goes back to what its caller has read.
    if (readAhead.file) {
      LARGE_INTEGER back;
      back.QuadPart = -static_cast<int64_t>(readAhead.end - readAhead.at);
      SetFilePointerEx(readAhead.file, back, nullptr, FILE_CURRENT);
    }
    forgetReadAhead();
    readAhead.file = file;
  }
  return file;
}

FileHandle platformCreateOutput(const char* path) {
  return openFile(path, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
}

// A junction, a symbolic link or a mount point inside the destination (put
// there by another program, perhaps before an elevated extraction) would
// carry what follows out of it: the directories below the destination are
// walked first and any reparse point refuses the member. (Cloud-file
// placeholders are reparse points too, but the system shows them to
// programs as plain files and folders.)
static PathKind kindOf(const char* path) {
  const DWORD attributes = GetFileAttributesW(wide(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) return PATH_MISSING;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return PATH_LINK;
  return attributes & FILE_ATTRIBUTE_DIRECTORY ? PATH_DIRECTORY : PATH_OTHER;
}

// Zero-filled (its buffer is set at each use): initialised data would cost
// the image a section of its own.
static char checkedPath[WIDE_PATH_UNITS];
static CheckedDirectory checkedDirectory;

void platformForgetCheckedDirectories() { checkedDirectory.length = 0; }

bool platformNoLinkBelow(const char* path, size_t trustedLength, bool wholePath) {
  char work[WIDE_PATH_UNITS];
  const size_t length = strlen(path);
  if (length >= sizeof work) return false;
  memcpy(work, path, length + 1);
  checkedDirectory.path = checkedPath;
  checkedDirectory.capacity = sizeof checkedPath;
  return walkNoLinkBelow(work, trustedLength, wholePath, kindOf, checkedDirectory);
}

// The file itself is made new (the pass has removed an old one after its
// question) and never through a link in its place: CREATE_NEW with
// FILE_FLAG_OPEN_REPARSE_POINT fails on any name that exists, a link
// included, instead of following it. Others may read it while it is
// written, which lets the command's files be held (below).
static HANDLE createBelow(const char* path, size_t trustedLength, SECURITY_ATTRIBUTES* security) {
  if (!platformNoLinkBelow(path, trustedLength, false)) return INVALID_HANDLE_VALUE;
  return CreateFileW(wide(path), GENERIC_WRITE, FILE_SHARE_READ, security, CREATE_NEW,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

FileHandle platformCreateOutputBelow(const char* path, size_t trustedLength) {
  return createBelow(path, trustedLength, nullptr);
}

// A self-relative security descriptor with a protected access list:
// SYSTEM and the Administrators full control, the Users read and run, and
// the file's owner (OWNER RIGHTS, which replaces an owner's implicit right
// to change the list) nothing more: a process without administrator rights
// can neither write the file nor change its access list, whoever owns it.
// clang-format off
static const unsigned char ADMINISTRATORS_WRITE[] = {
    1, 0, 0x04, 0x90, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0,  // DACL at 20, protected
    2, 0, 96, 0, 4, 0, 0, 0,                                            // 96 bytes, 4 entries
    0, 0, 20, 0, 0xFF, 0x01, 0x1F, 0x00,                                // full control:
    1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0,                                //   SYSTEM
    0, 0, 24, 0, 0xFF, 0x01, 0x1F, 0x00,                                // full control:
    1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0,                 //   Administrators
    0, 0, 24, 0, 0xA9, 0x00, 0x12, 0x00,                                // read and execute:
    1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 2, 0, 0,                 //   Users
    0, 0, 20, 0, 0x00, 0x00, 0x02, 0x00,                                // read the list:
    1, 1, 0, 0, 0, 0, 0, 3, 4, 0, 0, 0,                                 //   OWNER RIGHTS
};
// clang-format on

static HANDLE held[16];
static unsigned heldCount;

// Where the stub runs elevated (IsUserAnAdmin is true only for an elevated
// token under UAC), the file gets the access list above, so nothing
// unelevated can write it at any time; and a second handle, opened while
// the output's own still denies deletion, holds it until the command has
// started: it shares reading and writing (the output is still being
// written) but never deletion, so the file cannot be deleted or renamed,
// nor (NTFS refuses while a file below is open) any folder above it.
FileHandle platformCreateHeldOutputBelow(const char* path, size_t trustedLength) {
  // Constant (the system only reads it): an initialised local would cost
  // the image a data section.
  static const SECURITY_ATTRIBUTES security = {
      sizeof security, const_cast<unsigned char*>(ADMINISTRATORS_WRITE), FALSE};
  HANDLE output = createBelow(
      path, trustedLength, IsUserAnAdmin() ? const_cast<SECURITY_ATTRIBUTES*>(&security) : nullptr);
  if (output != INVALID_HANDLE_VALUE && heldCount < sizeof held / sizeof held[0]) {
    HANDLE hold =
        openFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (hold != INVALID_HANDLE_VALUE) held[heldCount++] = hold;
  }
  return output;
}

void platformReleaseHeld() {
  while (heldCount) CloseHandle(held[--heldCount]);
}

FileHandle platformOpenNullSink() {
  return openFile("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL);
}

bool platformRead(FileHandle file, void* buffer, uint32_t count, uint32_t* got) {
  auto* out = static_cast<uint8_t*>(buffer);
  ReadAhead& r = readAhead;
  if (handleOf(file) != r.file) return readFile(handleOf(file), out, count, got);
  uint32_t done = 0;
  for (;;) {
    const uint32_t take = count - done < r.end - r.at ? count - done : r.end - r.at;
    __builtin_memcpy(out + done, r.data + r.at, take);
    r.at += take;
    done += take;
    if (done == count) break;
    r.at = r.end = 0;
    uint32_t more = 0;
    if (count - done >= sizeof r.data) {
      const bool ok = readFile(r.file, out + done, count - done, &more);
      *got = done + more;
      return ok;
    }
    const bool ok = readFile(r.file, r.data, sizeof r.data, &more);
    r.end = more;
    if (!ok || more == 0) {
      *got = done;
      return ok;
    }
  }
  *got = done;
  return true;
}

bool platformWrite(FileHandle file, const void* buffer, uint32_t count, uint32_t* written) {
  DWORD n = 0;
  BOOL ok = WriteFile(handleOf(file), buffer, count, &n, nullptr);
  *written = n;
  return ok != FALSE;
}

bool platformSeek(FileHandle file, int64_t distance, SeekOrigin origin) {
  LARGE_INTEGER move;
  ReadAhead& r = readAhead;
  if (handleOf(file) == r.file) {
    // The passes skip member data from where they stand: a skip within the
    // buffered bytes costs no system call. Otherwise the file, which stands
    // at the buffer's end, moves and the buffer is dropped.
    const uint32_t unread = r.end - r.at;
    if (origin == SEEK_FROM_CURRENT) {
      if (distance >= 0 && distance <= unread) {
        r.at += static_cast<uint32_t>(distance);
        return true;
      }
      if (distance < INT64_MIN + unread) return false;
      distance -= unread;
    }
    r.at = r.end = 0;
  }
  move.QuadPart = distance;
  return SetFilePointerEx(handleOf(file), move, nullptr,
                          origin == SEEK_FROM_START ? FILE_BEGIN : FILE_CURRENT) != FALSE;
}

bool platformClose(FileHandle file) {
  if (handleOf(file) == readAhead.file) forgetReadAhead();
  return CloseHandle(handleOf(file)) != FALSE;
}

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
  // A link in the directory's place gets the time itself: its target never.
  HANDLE h = openFile(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
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

bool platformStartCommand(void* ownerWindow, const char* program, const char* arguments,
                          const char* directory, uint32_t* exitCode) {
  // A name that cannot be converted comes out empty, which the shell refuses.
  // The three texts take the three buffers of wide. No box of the shell's
  // own: the program reports nothing about a command that does not start.
  SHELLEXECUTEINFOW run = {};
  run.cbSize = sizeof run;
  run.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  run.hwnd = static_cast<HWND>(ownerWindow);
  const wchar_t* text = wide(arguments);
  run.lpFile = wide(program);
  run.lpParameters = arguments[0] ? text : nullptr;
  run.lpDirectory = wide(directory);
  run.nShow = SW_SHOW;
  const bool started = ShellExecuteExW(&run);
  // Started (or not): the held files go before any wait, so that the
  // command may change its own files and a folder of ours can be removed.
  platformReleaseHeld();
  if (!started) return false;
  DWORD code = 0;
  // No process when the shell handed the work to one that was running.
  if (run.hProcess) {
    if (exitCode) {
      WaitForSingleObject(run.hProcess, INFINITE);
      GetExitCodeProcess(run.hProcess, &code);
    }
    CloseHandle(run.hProcess);
  }
  if (exitCode) *exitCode = code;
  return true;
}

// The temporary folder of a run, held open (without sharing deletion) from
// its creation to its removal, so that nobody can rename it and put a link
// or a folder of their own in its place. Null when none (zero-filled data,
// like all of the program's).
static HANDLE heldFolder;

// A self-relative security descriptor with a protected DACL that gives
// SYSTEM (S-1-5-18) and the Administrators (S-1-5-32-544) full access, to
// folders and files below by inheritance: what an elevated process
// extracts is then out of reach of the user's unelevated programs, whose
// token holds the Administrators group for denial only.
// clang-format off
alignas(4) static const BYTE ADMINISTRATORS_ONLY[72] = {
    1, 0, 0x04, 0x90, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0,  // header
    2, 0, 52, 0, 2, 0, 0, 0,                                             // ACL, two ACEs
    0, 3, 20, 0, 0xFF, 0x01, 0x1F, 0,                                    // allow, inherited
    1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0,                                 // S-1-5-18
    0, 3, 24, 0, 0xFF, 0x01, 0x1F, 0,                                    // allow, inherited
    1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0,               // S-1-5-32-544
};
// clang-format on

bool platformCreatePrivateDirectory(const char* path) {
  // The user's own temporary folder is the user's alone already; an
  // elevated process needs more than that.
  static const SECURITY_ATTRIBUTES security = {sizeof security,
                                               const_cast<BYTE*>(ADMINISTRATORS_ONLY), FALSE};
  const wchar_t* name = wide(path);
  if (!CreateDirectoryW(name,
                        IsUserAnAdmin() ? const_cast<SECURITY_ATTRIBUTES*>(&security) : nullptr))
    return false;
  HANDLE held =
      CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  // Held now: a link put in the folder's place before that is found here,
  // and only the link itself is removed again (never what it points to).
  if (held != INVALID_HANDLE_VALUE &&
      (GetFileAttributesW(name) & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
          FILE_ATTRIBUTE_DIRECTORY) {
    heldFolder = held;
    return true;
  }
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  RemoveDirectoryW(name);
  return false;
}

bool platformRemoveTree(const char* path) {
  if (heldFolder) CloseHandle(heldFolder);
  heldFolder = nullptr;
  // Room for what the command may have made deeper than the program's own
  // paths. A folder is searched from its start again after one below it is
  // gone, so that no search stays open and no recursion grows the stack.
  constexpr int WORK_UNITS = 8192;
  static wchar_t work[WORK_UNITS];
  static WIN32_FIND_DATAW found;
  if (!toWide(path, work, WIDE_PATH_UNITS, true)) return false;
  int top = 0;
  while (work[top]) ++top;
  int length = top;
  for (;;) {
    work[length] = '\\';
    work[length + 1] = '*';
    work[length + 2] = 0;
    HANDLE search = FindFirstFileW(work, &found);
    int below = 0;  // the length of a folder to empty first
    BOOL removed = TRUE;
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const wchar_t* name = found.cFileName;
        if (name[0] == '.' && (!name[1] || (name[1] == '.' && !name[2]))) continue;
        int end = length + 1;
        while ((work[end] = *name++) != 0) ++end;
        // A link of either kind goes itself; anything else loses its
        // read-only attribute first, a folder is emptied first.
        const DWORD attributes = found.dwFileAttributes;
        if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
          SetFileAttributesW(work, FILE_ATTRIBUTE_NORMAL);
          if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            below = end;
            break;
          }
        }
        removed =
            attributes & FILE_ATTRIBUTE_DIRECTORY ? RemoveDirectoryW(work) : DeleteFileW(work);
      } while (removed && FindNextFileW(search, &found));
      FindClose(search);
    }
    // A name is at most MAX_PATH units: the next one always fits.
    if (!removed || below > WORK_UNITS - MAX_PATH - 3) return false;
    if (below) {
      length = below;
      continue;
    }
    work[length] = 0;
    if (!RemoveDirectoryW(work)) return false;
    if (length == top) return true;
    while (work[--length] != '\\') {
    }
  }
}
