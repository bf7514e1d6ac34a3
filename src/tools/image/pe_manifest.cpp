#include "tools/image/pe_manifest.h"

#include <cstring>

#include "tools/image/pe_image.h"
#include "tools/image/pe_layout.h"

namespace {

constexpr uint32_t RT_MANIFEST_TYPE = 24;
constexpr uint32_t MANIFEST_ID = 1;

bool isBlank(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Finds the level attribute of the requestedExecutionLevel element in
// [text, text + length): the value's offset and length, and the blanks
// that follow its closing quote and may be taken for a longer value.
bool findLevel(const uint8_t* text, size_t length, size_t& value, size_t& valueLength, size_t& room,
               std::string& error) {
  const std::string manifest(text, text + length);
  size_t element = manifest.find("<requestedExecutionLevel");
  size_t end = manifest.find('>', element);
  if (element == std::string::npos || end == std::string::npos) {
    error = "the manifest requests no execution level";
    return false;
  }
  size_t attribute = element;
  do {
    attribute = manifest.find("level=", attribute + 1);
  } while (attribute < end && !isBlank(text[attribute - 1]));
  if (attribute >= end || (text[attribute + 6] != '"' && text[attribute + 6] != '\'')) {
    error = "the manifest's requestedExecutionLevel has no level";
    return false;
  }
  char quote = static_cast<char>(text[attribute + 6]);
  value = attribute + 7;
  size_t close = manifest.find(quote, value);
  if (close >= end) {
    error = "the manifest's level is not closed";
    return false;
  }
  valueLength = close - value;
  size_t blanks = 0;
  while (isBlank(text[close + 1 + blanks])) ++blanks;
  // Another attribute behind the level keeps one blank before it.
  char next = static_cast<char>(text[close + 1 + blanks]);
  room = valueLength + blanks - (next != '/' && next != '>' && blanks > 0 ? 1 : 0);
  return true;
}

// Finds the level of the image's application manifest: value and
// valueLength in the image, room as in findLevel.
bool locateLevel(const std::vector<uint8_t>& image, PeImage& pe, size_t& value, size_t& valueLength,
                 size_t& room, std::string& error) {
  if (!readPeImage(image, pe, error)) return false;
  PeResourceTree tree;
  if (!tree.open(image, pe)) {
    error = "the image has no resources";
    return false;
  }
  uint32_t names = 0, languages = 0, entry = 0, rva = 0, size = 0;
  size_t manifest = 0;
  if (!tree.find(0, RT_MANIFEST_TYPE, names) || !(names & RESOURCE_SUBDIRECTORY) ||
      !tree.find(names & ~RESOURCE_SUBDIRECTORY, MANIFEST_ID, languages) ||
      !(languages & RESOURCE_SUBDIRECTORY) ||
      !tree.find(languages & ~RESOURCE_SUBDIRECTORY, 0, entry) || (entry & RESOURCE_SUBDIRECTORY) ||
      !tree.dataEntry(entry, rva, size) || !pe.rvaToFileOffset(rva, size, manifest)) {
    error = "the image has no application manifest (resource RT_MANIFEST 1)";
    return false;
  }
  if (!findLevel(image.data() + manifest, size, value, valueLength, room, error)) return false;
  value += manifest;
  return true;
}

}  // namespace

bool manifestExecutionLevel(const std::vector<uint8_t>& image, std::string& level,
                            std::string& error) {
  PeImage pe;
  size_t value = 0, valueLength = 0, room = 0;
  if (!locateLevel(image, pe, value, valueLength, room, error)) return false;
  level.assign(image.begin() + static_cast<ptrdiff_t>(value),
               image.begin() + static_cast<ptrdiff_t>(value + valueLength));
  return true;
}

bool setManifestExecutionLevel(std::vector<uint8_t>& image, const std::string& level,
                               std::string& error) {
  if (level.empty() || level.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                               "abcdefghijklmnopqrstuvwxyz") != std::string::npos) {
    error = "'" + level + "' is not an execution level";
    return false;
  }
  PeImage pe;
  size_t value = 0, valueLength = 0, room = 0;
  if (!locateLevel(image, pe, value, valueLength, room, error)) return false;
  if (level.size() > room) {
    error = "the manifest has room for a level of " + std::to_string(room) + " characters, not " +
            level;
    return false;
  }
  // The value, its quote and the blanks after it are written anew: the
  // level, the quote, blanks up to where the old ones ended.
  uint8_t* text = image.data() + value;
  uint8_t quote = text[valueLength];
  std::memset(text, ' ', room + 1);
  std::memcpy(text, level.data(), level.size());
  text[level.size()] = quote;
  size_t checksum = pe.optionalHeader + OH_CHECKSUM;
  put32(image.data() + checksum, peImageChecksum(image.data(), image.size(), checksum));
  return true;
}
