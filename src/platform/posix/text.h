// CP932 <-> UTF-8 conversion for the POSIX side of the seams: paths and
// texts reach the system and the terminal as UTF-8.
#pragma once

#include <cstddef>

// Converts; bytes that are not valid CP932 become "%XX" so that distinct
// names stay distinct. False when the result does not fit.
bool cp932ToUtf8(const char* in, char* out, size_t outSize);
// Converts; characters without a CP932 form become '?'. False when the
// result does not fit.
bool utf8ToCp932(const char* in, char* out, size_t outSize);
// A core path (CP932, '\' or '/' separated) as a native UTF-8 path.
bool nativePath(const char* path, char* out, size_t outSize);
