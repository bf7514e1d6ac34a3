// Path strings (program text: CP932, double-byte aware, with escapes taken
// whole, see platform/program_text.h): unquoting, roots, joining,
// separators, member-name sanitising, directory creation, command splitting.
#pragma once

#include <cstddef>

// Strips leading blanks/tabs and one pair of double quotes.
void unquotePath(char* destination, const char* source);
// The drive root (three bytes "X:\") or share root of path; empty otherwise.
void getPathRoot(char* destination, const char* path);
void addTrailingBackslash(char* path);
void joinPath(char* destination, const char* directory, const char* memberPath);
// Turns '/', '\' and 0xFF (never a trail byte) into separator; returns the
// position after the last replaced separator, or text.
char* unifySeparators(char* text, char separator);
char* sanitizeName(char* text, int limit, bool longNames);
// 8.3 or long-name rules; a result made only of dots and blanks (two bytes or
// more) gets '_' as its first byte, so no component can name a parent.
void sanitizeComponent(char* component, bool longNames);
void sanitizeMemberPath(char* path, bool longNames);
void makeDirectories(const char* path);
// True when path has no component but empty ones and ".": it names the
// directory it is relative to ("", "./", "/", "././").
bool namesNoComponent(const char* path);
// Copies the program part of command into programDestination (at most
// programSize - 1 bytes) and returns where the arguments start.
const char* splitCommandLine(char* programDestination, const char* command, int programSize = 516);

// How many of the first length bytes of text fit into room bytes without
// splitting a double-byte character or an escape (all of them when length
// <= room).
size_t fitCharacters(const char* text, size_t length, size_t room);

// Windows opens a device, not a file, for names such as CON, NUL, COM1 or
// LPT1 (with any extension, and with blanks before it): every such component
// of path gets a leading '_', or, when it already has the full length of a
// long name (as the file system counts it), '_' in place of its first byte.
// The path grows by one byte per prefixed component; false when it would not fit in capacity bytes
// (path unchanged).
bool defuseDeviceNames(char* path, size_t capacity);
// True for a component that names a device ("con", "Aux.txt", "LPT1 .log").
bool isDeviceName(const char* component, size_t length);

enum OutputPathResult {
  OUTPUT_PATH_OK = 0,
  OUTPUT_PATH_TOO_LONG = 1,       // the safe form does not fit the buffer
  OUTPUT_PATH_NAME_TOO_LONG = 2,  // a component longer than a long-name volume takes
};

// The output path of a member: directory, a separator and the member name
// joined. The directory behind its root (rootLength bytes) only gets '/' as
// its separator: it is the user's choice and never rewritten. The member's
// part (from *memberOffset, when given) has its separators unified to '/',
// every component sanitised for the volume, and device names defused when
// deviceNames is set. On a long-name volume a component beyond 255 (UTF-16
// units on Windows, bytes of UTF-8 elsewhere: platformComponentLength) is
// refused rather than cut.
OutputPathResult buildOutputPath(char* destination, size_t capacity, const char* directory,
                                 const char* memberName, size_t rootLength, bool longNames,
                                 bool deviceNames, size_t* memberOffset = nullptr);
