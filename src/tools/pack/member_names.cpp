#include "tools/pack/member_names.h"

#include <cstring>

#include "paths/path_strings.h"
#include "platform/program_text.h"
#include "startup/sfx_state.h"

namespace {

// The stub builds a member's name from the directory name and the file name
// in memberName, as program text, and refuses components longer than a
// long-name volume takes: 255 UTF-16 units on Windows.
constexpr size_t MEMBER_NAME_LIMIT = MEMBER_NAME_SIZE - 1;
constexpr size_t COMPONENT_LIMIT = 255;

bool isLead(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || byte >= 0xE0; }

// Characters Windows does not allow in a name ('/' separates components).
bool isForbidden(unsigned char byte) {
  return byte < 0x20 || std::strchr("\\:*?\"<>|", byte) != nullptr;
}

const char* componentProblem(const char* component, size_t length) {
  if (length == 0) return "has an empty component";
  if (programTextUnits(component, length) > COMPONENT_LIMIT)
    return "has a component longer than the 255 characters Windows allows";
  if ((length == 1 && component[0] == '.') ||
      (length == 2 && component[0] == '.' && component[1] == '.'))
    return "has a '.' or '..' component";
  for (size_t i = 0; i < length; ++i) {
    const unsigned char byte = static_cast<unsigned char>(component[i]);
    uint32_t c = 0;
    if (const size_t escape = readEscape(component + i, &c)) {
      i += escape - 1;  // a character CP932 lacks
      continue;
    }
    if (isLead(byte) && i + 1 < length) {
      ++i;  // a trail byte may be 0x5C or 0x7C: it is half of a character
      continue;
    }
    if (isForbidden(byte)) return "holds a character Windows does not allow in names";
  }
  const char last = component[length - 1];
  if (last == '.' || last == ' ') return "has a component that ends with a dot or a blank";
  if (isDeviceName(component, length)) return "names a Windows device (CON, NUL, COM1, ...)";
  return nullptr;
}

}  // namespace

const char* memberNameProblem(const std::string& cp932Path, bool directory) {
  if (cp932Path.size() + (directory ? 1 : 0) > MEMBER_NAME_LIMIT)
    return "is too long for a member name";
  size_t start = 0;
  for (;;) {
    const size_t end = cp932Path.find('/', start);
    const size_t length = (end == std::string::npos ? cp932Path.size() : end) - start;
    if (const char* problem = componentProblem(cp932Path.c_str() + start, length)) return problem;
    if (end == std::string::npos) return nullptr;
    start = end + 1;
  }
}
