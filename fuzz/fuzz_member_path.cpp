// Member names from headers on their way to an output path: the separators
// unified as the header reader does it, then the destination joined, the
// part after its root unified again and sanitised, as the Extract pass does
// it for Windows (device names defused), in both the long-name and the 8.3
// mode.
//
// Input layout:
//   byte 0  the destination, one of the fixed ones below; with bit 7 set the
//           name is a Unicode record
//   rest    the name as the header holds it: CP932 bytes (directory and file
//           name together; ends at a 0 byte, at most 1023 bytes), which may
//           forge escapes, or the UTF-16LE data of a 0x44/0x45 record, which
//           the header reader turns into program text (or refuses)
//
// Checked for both modes: the output path begins with the destination as the
// pass turns it into a path of its own (ending in '/', or in the '\' of a bare
// root), and behind it
//   - there is no ':' and no '\' outside a double-byte character, and no
//     lead byte is left without its trail byte;
//   - no component consists of two or more bytes that are all dots or blanks;
//   - no component names a device (CON, PRN, AUX, NUL, COM1-9, LPT1-9, in
//     any case, with any extension and blanks before it);
//   - every component keeps the rules of the mode (forbidden bytes, 255 bytes
//     of UTF-8 for long names, base of 8 and extension of 3 bytes for 8.3
//     names), with escapes taken whole;
//   - the whole path fits the 2048-byte path buffer;
//   - when the name reaches the file system (the POSIX layer decodes its
//     escapes, refusing invalid ones), the native path has the destination's
//     components and then exactly the member's, none of them a parent, a
//     '\' or a drive: no escape smuggles a separator or a dot in;
//   - a name that converts still converts after sanitising (no escape cut).
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "extract/entry_header.h"
#include "fuzz_support.h"
#include "paths/path_strings.h"
#include "platform/platform.h"
#include "platform/posix/text.h"
#include "platform/program_text.h"
#include "startup/sfx_state.h"

namespace {

const char* const DESTINATIONS[] = {
    "C:\\Work\\Out",
    "C:\\",
    "\\\\srv\\share\\dir",
    "\\\\srv\\share",
    "/tmp/kasumiro/out",
    "C:\\\x95\x5C\x8E\xA6\\\x83\x5C",  // two names whose second byte is 0x5C
    "D:\\a b\\c.d",
    "C:\\Documents and Settings\\user\\Local Settings\\Temp\\kasumiro extraction\\"
    "a rather long destination directory\\that leaves less room for members\\"
    "than the usual one does\\and then some more characters to get near the end\\of it",
};
constexpr size_t DESTINATION_COUNT = sizeof DESTINATIONS / sizeof DESTINATIONS[0];

bool isLead(uint8_t byte) { return platformIsLeadByte(byte); }

// The output path for name (already unified) below destination, or nothing
// when the pass refuses the member (the path would outgrow its buffer, or a
// name is longer than the volume takes). The
// buffers have the sizes of the fields they stand for, so that the
// sanitizers see any write beyond them.
bool outputPath(const char* destination, const char* name, bool longNames, std::string& result) {
  std::unique_ptr<char[]> directory(new char[EXTRACT_DIR_SIZE]);
  std::strcpy(directory.get(), destination);
  std::unique_ptr<char[]> path(new char[CURRENT_PATH_SIZE]);
  char root[EXTRACT_DIR_SIZE + 1];
  getPathRoot(root, directory.get());
  // The same routine the Extract pass uses, with device names defused.
  if (buildOutputPath(path.get(), CURRENT_PATH_SIZE, directory.get(), name, std::strlen(root),
                      longNames, true) != OUTPUT_PATH_OK)
    return false;
  result = path.get();
  return true;
}

// Windows opens a device for these base names, whatever follows the first
// dot and whatever blanks stand before it.
bool namesDevice(const std::string& component) {
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         base[3] >= '1' && base[3] <= '9';
}

bool forbiddenLong(uint8_t b) { return std::strchr("\"*:<>?\\|", b) && b; }

bool forbiddenShort(uint8_t b) {
  return (b >= 0x01 && b <= 0x20) || b == 0xFF || (std::strchr("\"*+,/:;<=>?[\\]|", b) && b);
}

std::string show(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x21 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

template <typename Where>
void checkComponent(const std::string& component, bool longNames, const Where& where) {
  auto what = [&] { return where() + ", component \"" + show(component) + "\""; };
  bool onlyDotsAndBlanks = true;
  for (char c : component) onlyDotsAndBlanks &= c == '.' || c == ' ';
  FUZZ_CHECK(!(onlyDotsAndBlanks && component.size() >= 2), what() + " names a parent");
  FUZZ_CHECK(!namesDevice(component), what() + " names a device");

  // Single-byte characters, double-byte characters and the position of the
  // last single-byte dot.
  size_t lastDot = std::string::npos;
  for (size_t i = 0; i < component.size(); ++i) {
    const uint8_t b = static_cast<uint8_t>(component[i]);
    uint32_t c = 0;
    if (const size_t escape = readEscape(component.c_str() + i, &c)) {
      i += escape - 1;
      continue;
    }
    if (isLead(b)) {
      FUZZ_CHECK(i + 1 < component.size(), what() + ": lead byte without its trail byte");
      ++i;
      continue;
    }
    FUZZ_CHECK(b != ':' && b != '\\', what() + ": separator or drive colon");
    if (longNames) {
      FUZZ_CHECK(!forbiddenLong(b), what() + ": forbidden byte");
    } else {
      FUZZ_CHECK(b == '.' || !forbiddenShort(b), what() + ": forbidden 8.3 byte");
      if (b == '.') {
        FUZZ_CHECK(lastDot == std::string::npos, what() + ": second dot");
        lastDot = i;
      }
    }
  }
  if (longNames) {
    FUZZ_CHECK(platformComponentLength(component.c_str(), component.size()) <= 255,
               what() + ": longer than 255 bytes of UTF-8");
  } else {
    const size_t base = lastDot == std::string::npos ? component.size() : lastDot;
    const size_t extension = lastDot == std::string::npos ? 0 : component.size() - lastDot - 1;
    FUZZ_CHECK(base <= 8 && extension <= 3, what() + ": not an 8.3 name");
  }
}

void checkPath(const char* destination, const char* name, bool longNames) {
  std::string prefix;
  std::string path;
  FUZZ_CHECK(outputPath(destination, "", longNames, prefix), "destination refused");
  if (!outputPath(destination, name, longNames, path)) return;
  auto where = [&] {
    return std::string(longNames ? "long names" : "8.3 names") + ", \"" + show(destination) +
           "\" + \"" + show(name) + "\" gave \"" + show(path) + "\"";
  };
  FUZZ_CHECK(!prefix.empty() && (prefix.back() == '/' || prefix.back() == '\\'),
             "destination \"" + show(prefix) + "\"");
  FUZZ_CHECK(path.compare(0, prefix.size(), prefix) == 0, where() + ": left the destination");
  FUZZ_CHECK(path.size() < CURRENT_PATH_SIZE, where() + ": too long");
  const std::string rest = path.substr(prefix.size());
  size_t start = 0, components = 0;
  for (;;) {
    const size_t end = rest.find('/', start);
    checkComponent(rest.substr(start, end == std::string::npos ? std::string::npos : end - start),
                   longNames, where);
    ++components;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  // At the system boundary: what the escapes decode to.
  static char nativeName[4 * CURRENT_PATH_SIZE], nativePrefix[4 * CURRENT_PATH_SIZE];
  const bool nameConverts = nativePath(name, nativeName, sizeof nativeName);
  if (!nativePath(path.c_str(), nativeName, sizeof nativeName)) {
    FUZZ_CHECK(!nameConverts, where() + ": a name that converts no longer does");
    return;
  }
  FUZZ_CHECK(nativePath(prefix.c_str(), nativePrefix, sizeof nativePrefix), "destination");
  const std::string native = nativeName, nativeBase = nativePrefix;
  FUZZ_CHECK(native.compare(0, nativeBase.size(), nativeBase) == 0,
             where() + ": left the destination natively");
  const std::string nativeRest = native.substr(nativeBase.size());
  size_t nativeComponents = 0;
  for (size_t at = 0;;) {
    const size_t end = nativeRest.find('/', at);
    const std::string part = nativeRest.substr(at, end == std::string::npos ? end : end - at);
    bool onlyDotsAndBlanks = true;
    for (char c : part) onlyDotsAndBlanks &= c == '.' || c == ' ';
    FUZZ_CHECK(!(onlyDotsAndBlanks && part.size() >= 2), where() + ": a parent natively");
    // (':' is an ordinary character here; a lead byte before it, which is no
    // trail byte, leaves it alone on POSIX and fails to convert on Windows.)
    FUZZ_CHECK(part.find('\\') == std::string::npos, where() + ": a separator natively");
    ++nativeComponents;
    if (end == std::string::npos) break;
    at = end + 1;
  }
  FUZZ_CHECK(nativeComponents == components, where() + ": components changed natively");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const char* destination = DESTINATIONS[(data[0] & 0x7F) % DESTINATION_COUNT];
  // memberName as the header reader leaves it: at most 1023 bytes, cut at
  // the first 0 byte (or converted from a Unicode record), separators
  // unified.
  std::unique_ptr<char[]> name(new char[MEMBER_NAME_SIZE]);
  if (data[0] & 0x80) {
    uint32_t used = 0;
    name[0] = 0;
    if (!appendUnicodeName(data + 1, static_cast<uint16_t>(size - 1 > 65535 ? 65535 : size - 1),
                           name.get(), MEMBER_NAME_SIZE, &used))
      return 0;
  } else {
    size_t length = 0;
    while (length < size - 1 && length < MEMBER_NAME_SIZE - 1 && data[1 + length]) {
      name[length] = static_cast<char>(data[1 + length]);
      ++length;
    }
    name[length] = 0;
  }
  unifySeparators(name.get(), '/');
  checkPath(destination, name.get(), true);
  checkPath(destination, name.get(), false);
  return 0;
}
