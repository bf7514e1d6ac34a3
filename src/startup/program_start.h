// Program start: the command-line tail and the version gate. The Win32
// entry that strings them together lives with the Win32 user interface.
#pragma once

#include <cstdint>

// The part of the command line behind the program name (possibly empty).
const char* commandLineTail(const char* commandLine);

// Windows 95 or later of the 95 family, NT 3.51 or later of the NT family,
// judged from a GetVersion word.
bool isSupportedWindows(uint32_t version);
