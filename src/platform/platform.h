// The platform seam: every operating-system service the portable core needs.
//
// The core never includes a system header for files, windows or the
// environment; it calls these functions instead. Paths and texts are
// zero-terminated program text (CP932 with escapes for what CP932 lacks, see
// platform/program_text.h), exactly as the core handles them. The Win32
// implementation converts them to UTF-16 for the wide calls; the POSIX one
// to UTF-8 (and '\' to '/') at the system-call boundary.
//
// The implementation is chosen at link time: link exactly one of
// platform/posix or platform/win32.
#pragma once

#include <cstddef>
#include <cstdint>

using FileHandle = void*;
#define PLATFORM_INVALID_FILE (reinterpret_cast<FileHandle>(static_cast<intptr_t>(-1)))

// 100-nanosecond intervals since 1601-01-01 UTC, like a Win32 FILETIME.
using FileTime = uint64_t;

enum SeekOrigin { SEEK_FROM_START = 0, SEEK_FROM_CURRENT = 1 };

constexpr uint32_t PLATFORM_INVALID_ATTRIBUTES = 0xFFFFFFFFu;
constexpr uint32_t PLATFORM_ATTRIBUTE_READONLY = 0x01;
constexpr uint32_t PLATFORM_ATTRIBUTE_DIRECTORY = 0x10;
constexpr uint32_t PLATFORM_ATTRIBUTE_NORMAL = 0x80;
// A junction or symbolic link on Windows (never reported on POSIX, whose
// attributes never follow a link).
constexpr uint32_t PLATFORM_ATTRIBUTE_REPARSE_POINT = 0x400;

// --- files --------------------------------------------------------------
// Opens an existing file for reading, sharing read and write.
FileHandle platformOpenRead(const char* path);
// Creates (or truncates) a file for writing, no sharing, normal attributes.
FileHandle platformCreateOutput(const char* path);
// The same for a file below a directory whose path is the first
// trustedLength bytes of path: no link between that directory and the file
// is followed (the file is not created), nor one in the file's own place
// (Windows: the file must not exist; the passes remove an old one first).
FileHandle platformCreateOutputBelow(const char* path, size_t trustedLength);
// True when no component of path behind its first trustedLength bytes is a
// link (a symbolic link; on Windows any reparse point: junctions, symbolic
// links, mount points); the last component counts only when wholePath is
// set. The passes check every member path with it so that they never
// follow one out of the destination; links are never made by extraction,
// so a link found there was put there by someone else.
bool platformNoLinkBelow(const char* path, size_t trustedLength, bool wholePath);
// Starts a pass: platformNoLinkBelow may remember directories that it found
// real only until the next call (someone may have changed them between
// passes).
void platformForgetCheckedDirectories();
// Like platformCreateOutputBelow, for a file that the post-extraction
// command names: until platformReleaseHeld no other process can swap it.
// Windows holds it open without delete sharing from its creation (so it and
// the folders above it cannot be deleted or renamed) and, when the program
// runs elevated, gives it an access list that only administrators can
// write. At most 16 files are held at a time; more are created unheld.
FileHandle platformCreateHeldOutputBelow(const char* path, size_t trustedLength);
// Lets the held files go: right after the command has started, or before a
// held file is deleted after a failure (the pass then ends).
void platformReleaseHeld();
// Opens the null device for writing (used to test data without writing it).
FileHandle platformOpenNullSink();
// One read call; *got receives the byte count. False when the call failed.
bool platformRead(FileHandle file, void* buffer, uint32_t count, uint32_t* got);
// One write call; *written receives the byte count. False when it failed.
bool platformWrite(FileHandle file, const void* buffer, uint32_t count, uint32_t* written);
// Moves the file position; false on failure.
bool platformSeek(FileHandle file, int64_t distance, SeekOrigin origin);
// Closes a handle; false when the close failed (data may be lost).
bool platformClose(FileHandle file);
// Gives an open output file its last-write time (other times untouched).
void platformSetFileTime(FileHandle file, FileTime lastWrite);
bool platformDeleteFile(const char* path);
bool platformCreateDirectory(const char* path);
// Sets a directory's last-write time; only done where the system supports
// opening directories for that (the NT family, POSIX). Failures are ignored.
void platformSetDirectoryTime(const char* path, FileTime lastWrite);
uint32_t platformGetAttributes(const char* path);  // PLATFORM_INVALID_ATTRIBUTES if missing
bool platformSetAttributes(const char* path, uint32_t attributes);
// Maximum component length of the volume holding root; 0 when unknown.
uint32_t platformVolumeComponentLength(const char* root);

// --- environment and special directories (results zero-terminated) ------
// Expands %NAME% environment references; undefined ones stay as they are.
// The result is cut to size - 1 bytes.
void platformExpandEnvironment(const char* source, char* destination, uint32_t size);
bool platformCurrentDirectory(char* buffer, uint32_t size);
bool platformSystemDirectory(char* buffer, uint32_t size);
bool platformWindowsDirectory(char* buffer, uint32_t size);
bool platformTempDirectory(char* buffer, uint32_t size);  // ends with a separator
bool platformShortPathName(const char* path, char* buffer, uint32_t size);
// The path of a folder the shell knows (Win32; nothing elsewhere): 0 = the
// program files, 1 = the common files, 2 = the user's documents.
bool platformSpecialFolder(int folder, char* buffer, uint32_t size);

// --- program text (platform/program_text.h) -------------------------------
// A UTF-16LE text of units code units (as an archive record or a resource
// stores it) as program text in out (size bytes, zero-terminated): the CP932
// form of each character that has an exact one, an escape otherwise. False
// for U+0000 or an unpaired surrogate (out empty), and when the whole text
// does not fit: out then holds the whole characters that did.
bool platformTextFromUtf16(const uint8_t* utf16le, size_t units, char* out, size_t size);
// A UTF-8 text to show (a notice) as program text in out (size bytes,
// zero-terminated): what is not UTF-8, a character cut off at the end
// included, shows as U+FFFD; a text longer than out keeps the whole
// characters that fit.
void platformTextFromUtf8(const char* utf8, char* out, size_t size);
// The length of a component (bytes of program text) as the file system
// counts it against its component limit: UTF-16 units on Windows, bytes of
// UTF-8 on POSIX.
size_t platformComponentLength(const char* component, size_t bytes);

// The data of a resource of the program's own image (type and id numeric,
// any language), or null. The native runner registers the resources of the
// file it runs (posixSetProgramResource).
const uint8_t* platformProgramResource(unsigned type, unsigned id, uint32_t* size);

// --- process --------------------------------------------------------------
// The current time (UTC), to the millisecond.
FileTime platformCurrentFileTime();
bool platformIsLeadByte(unsigned char byte);
// True where names such as CON or LPT1 open devices (Windows).
bool platformHasDeviceNames();
// Loads a message text (the string table) as CP932 into buffer; the result is
// cut to size - 1 bytes. Returns the length, 0 when the id is unknown.
int platformLoadString(unsigned id, char* buffer, int size);
// Starts program with its argument string (may be empty: none is given) in
// directory, as the shell would. With exitCode, waits for the program to end
// and stores its exit code there (0 when the shell handed the work to a
// program that was running already, which leaves nothing to wait for).
// False when it could not be started.
bool platformStartCommand(void* ownerWindow, const char* program, const char* arguments,
                          const char* directory, uint32_t* exitCode = nullptr);

// --- the temporary folder of a run -----------------------------------------
// Creates a new directory at path for the program alone, false when
// anything is there already: others cannot write into it (when the process
// is elevated, neither can the user's unelevated programs), and it cannot
// be moved or replaced until platformRemoveTree removes it.
bool platformCreatePrivateDirectory(const char* path);
// Removes the directory at path and everything in it. A link found inside
// is removed itself, never followed. False when something stayed.
bool platformRemoveTree(const char* path);
