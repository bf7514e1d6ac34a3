// POSIX-only controls of the platform layer, for the native runner and tests.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The post-extraction command: recorded always, started only when enabled
// (the native runner shows it and starts it only on request).
struct PosixCommandRecord {
  bool started;  // platformStartCommand was called
  char program[1024];
  char arguments[1024];
  char directory[1024];
};
extern PosixCommandRecord posixLastCommand;
extern bool posixRunCommands;

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
