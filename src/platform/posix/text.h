// CP932 <-> UTF-8 conversion for the POSIX side of the seams: paths and
// texts reach the system and the terminal as UTF-8.
#pragma once

#include <cstddef>

// Converts program text (CP932 with escapes, platform/program_text.h);
// bytes that are not valid CP932 become "%XX" so that distinct names stay
// distinct, and so does an invalid escape, unless strictEscapes makes it
// fail (an escape that does not stand for its character must never reach
// the file system). False when the result does not fit.
bool cp932ToUtf8(const char* in, char* out, size_t outSize, bool strictEscapes = false);
// Converts. False when a character has no exact CP932 form (nothing is
// silently replaced, no look-alike taken: U+301C WAVE DASH is not 0x8160) or
// the result does not fit.
bool utf8ToCp932(const char* in, char* out, size_t outSize);
// Converts UTF-8 to program text without loss: CP932 where a character has
// an exact form, an escape otherwise. False (out empty) for text that is not
// UTF-8, or a result that does not fit.
bool utf8ToProgramText(const char* in, char* out, size_t outSize);
// A core path (program text, '\' or '/' separated) as a native UTF-8 path.
bool nativePath(const char* path, char* out, size_t outSize);

// Native roots. The core's path buffers are CP932 and Windows-sized, but the
// destination and the image named on the command line are the user's own
// paths: any UTF-8, any length. The runner registers such a path here and
// gives the core its stand-in, NATIVE_ROOT_MARK and the slot's digit; the
// platform layer turns the stand-in back into the native path byte for byte,
// and only what the core appends behind it (member names) is converted.
constexpr char NATIVE_ROOT_MARK = '\x01';
constexpr int NATIVE_ROOT_SLOTS = 4;
// Registers native under slot (0..3) and writes the stand-in (3 bytes with
// its terminator) into standIn. An empty native path clears the slot.
void setNativeRoot(int slot, const char* native, char* standIn);

// A CP932 text with stand-ins (a command's arguments) as native UTF-8.
bool nativeText(const char* in, char* out, size_t outSize);

// A CP932 text (a box, a prompt, a member name) for the terminal: stand-ins
// become their native paths, the rest UTF-8, and control characters are
// shown escaped ("\x1B") so that no archive can move the cursor, retitle or
// clear the terminal. multiline keeps line feeds and tabs (and turns CR LF
// into LF). False when the result does not fit.
bool cp932ToDisplay(const char* in, char* out, size_t outSize, bool multiline);
// The same escaping for a text that is UTF-8 already.
bool escapeForDisplay(const char* in, char* out, size_t outSize, bool multiline);
