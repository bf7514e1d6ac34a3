// What every part of kasumiro a shares: one way to report a failure, names
// shown safely on the terminal, UTF-8 to CP932, and the flag that an
// interrupting signal sets.
#pragma once

#include <signal.h>

#include <string>

namespace pack {

// Set by SIGINT, SIGTERM or SIGHUP: every loop stops at its next step.
extern volatile sig_atomic_t interrupted;

// Writes "kasumiro: message" on stderr; returns false for "return fail(...)".
bool fail(const std::string& message);
// The text of errno.
std::string reason();
// A UTF-8 path or text for the terminal, its control characters escaped.
std::string shown(const std::string& utf8);
// The CP932 form of utf8; false when CP932 cannot represent it exactly.
bool toCp932(const std::string& utf8, std::string& cp932);
// The CP932 form of (valid) utf8 for readers of CP932 alone: '_' for each
// character CP932 lacks.
std::string cp932Rendition(const std::string& utf8);

}  // namespace pack
