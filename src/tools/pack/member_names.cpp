#include "tools/pack/member_names.h"

#include <cstring>

#include "paths/path_strings.h"

namespace {

// The stub builds a member's name from the directory name and the file name
// in 259 bytes, and refuses components longer than a long-name volume takes.
constexpr size_t MEMBER_NAME_LIMIT = 259;
constexpr size_t COMPONENT_LIMIT = 255;

bool isLead(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || byte >= 0xE0; }

// Characters Windows does not allow in a name ('/' separates components).
bool isForbidden(unsigned char byte) {
  return byte < 0x20 || std::strchr("\\:*?\"<>|", byte) != nullptr;
}

const char* componentProblem(const char* component, size_t length) {
  if (length == 0) return "has an empty component";
  if (length > COMPONENT_LIMIT) return "has a component longer than 255 bytes";
  if ((length == 1 && component[0] == '.') ||
      (length == 2 && component[0] == '.' && component[1] == '.'))
    return "has a '.' or '..' component";
  for (size_t i = 0; i < length; ++i) {
    const unsigned char byte = static_cast<unsigned char>(component[i]);
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
    return "is longer than the 259 bytes a member name may have";
  size_t start = 0;
  for (;;) {
    const size_t end = cp932Path.find('/', start);
    const size_t length = (end == std::string::npos ? cp932Path.size() : end) - start;
    if (const char* problem = componentProblem(cp932Path.c_str() + start, length)) return problem;
    if (end == std::string::npos) return nullptr;
    start = end + 1;
  }
}
