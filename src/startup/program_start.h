// Program start: the command-line tail, its switches and the version gate.
// The Win32 entry that strings them together lives with the Win32 user
// interface.
#pragma once

#include <cstdint>

// The part of the command line behind the program name (possibly empty).
const char* commandLineTail(const char* commandLine);

enum StartAction {
  START_RUN,        // run: interactive, or silent with /S
  START_SHOW_HELP,  // /?: the box that lists the switches
  START_BAD_LINE,   // a switch the program does not know: the same box, a failure
};

struct StartSwitches {
  StartAction action;
  bool silent;              // /S
  bool overwrite;           // /O
  const char* destination;  // behind /D=, or the whole tail; null for none
};

// Reads the tail. A tail that does not start with '/' is a destination as
// it stands (a destination is a full path, which never starts with '/'). A
// tail that does is a row of switches separated by blanks or tabs, upper
// or lower case: /S, /O, /? and last /D=, whose path is the rest of the
// line, blanks included. An unknown switch, anything that is not a switch
// (a path without /D=), an empty /D= or one longer than a destination can
// be (255 bytes) makes the line bad.
StartSwitches parseStartSwitches(const char* tail);

// Windows 95 or later of the 95 family, NT 3.51 or later of the NT family,
// judged from a GetVersion word.
bool isSupportedWindows(uint32_t version);
