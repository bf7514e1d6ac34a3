// What every part of kasumiro a shares: one way to report a failure, names
// shown safely on the terminal, UTF-8 to CP932, and the flag that an
// interrupting signal sets.
#pragma once

#include <signal.h>

#include <cstddef>
#include <string>

namespace pack {

// Set by SIGINT, SIGTERM or SIGHUP: every loop stops at its next step.
extern volatile sig_atomic_t interrupted;

// Writes "kasumiro: message" on stderr; returns false for "return fail(...)".
// While a FailurePlace lives, its text ("FILE:LINE: ") comes before message.
bool fail(const std::string& message);
class FailurePlace {
 public:
  explicit FailurePlace(const std::string& place);
  ~FailurePlace();
  FailurePlace(const FailurePlace&) = delete;
  FailurePlace& operator=(const FailurePlace&) = delete;

 private:
  std::string outer_;
};

// Reads the regular file at path whole into bytes. False (reported, naming
// it as what) when it cannot be read, is not a regular file (a device, a
// pipe or a folder) or is longer than limit bytes.
bool readSmallFile(const std::string& path, size_t limit, const std::string& what,
                   std::string& bytes);
// The text of errno.
std::string reason();
// A UTF-8 path or text for the terminal, its control characters escaped.
std::string shown(const std::string& utf8);
// The CP932 form of utf8; false when CP932 cannot represent it exactly.
bool toCp932(const std::string& utf8, std::string& cp932);
// The CP932 form of (valid) utf8 for readers of CP932 alone: '_' for each
// character CP932 lacks.
std::string cp932Rendition(const std::string& utf8);
// Valid utf8 (checked where it came in) as UTF-16.
std::u16string utf16Of(const std::string& utf8);

}  // namespace pack
