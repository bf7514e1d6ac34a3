// POSIX-only controls of the platform layer, for the native runner and tests.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The post-extraction command: recorded always, started only when enabled
// (the native runner shows it and starts it only on request).
struct PosixCommandRecord {
  bool started;  // platformStartCommand was called
  bool waited;   // ... and asked to wait for the command's end
  char program[1024];
  char arguments[1024];
  char directory[1024];
  char held[4096];  // posixHeldFiles when it was started
};
extern PosixCommandRecord posixLastCommand;
extern bool posixRunCommands;

// The files held for the command (platformCreateHeldOutputBelow) and not
// yet released, a native path a line. Nothing else can swap a file on
// POSIX that the Windows holds would stop, so they are only recorded.
extern char posixHeldFiles[4096];

// Fault injection for tests: the n-th write call from now fails (0 = never).
extern unsigned posixFailWriteAfter;

// Tests switch this on to get the Windows treatment of device names.
extern bool posixDeviceNames;

// Where the next platformRead of file starts: the system's position less
// what the layer has read ahead (tests use it to see how far a reader went).
int64_t posixReadPosition(FileHandle file);

// The resource that platformProgramResource answers with (the file the
// runner reads has no loaded resources); data must stay valid while it is
// registered. Null clears it.
void posixSetProgramResource(unsigned type, unsigned id, const uint8_t* data, uint32_t size);
