// Test-only assembly of self-extracting images in memory: the 512-byte DOS
// header, the 717-byte configuration block at 512, the DOS stub program at
// 0x4D0, filler up to the archive offset, then the archive.
#ifndef KASUMIRO_TESTS_SUPPORT_SFX_IMAGE_H
#define KASUMIRO_TESTS_SUPPORT_SFX_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testkit {

constexpr size_t kConfigOffset = 512;
constexpr size_t kConfigSize = 717;
constexpr size_t kDosStubOffset = 0x4D0;
constexpr size_t kDosStubSize = 58;
constexpr uint32_t kDefaultArchiveOffset = 0x5400;

// Offsets and widths of the configuration block fields.
struct ConfigField {
  size_t offset;
  size_t width;
};
constexpr ConfigField kCfgArchiveOffset{0, 4};
constexpr ConfigField kCfgTitle{4, 51};
constexpr ConfigField kCfgMessage{55, 41};
constexpr ConfigField kCfgDefaultDir{96, 256};
constexpr ConfigField kCfgPrompt{352, 101};
constexpr ConfigField kCfgRunCommand{453, 260};
constexpr ConfigField kCfgFlags{713, 4};

constexpr uint32_t kFlagRestoreAttributes = 1;
constexpr uint32_t kFlagOverwrite = 2;

struct SfxImageParts {
  // Text fields: copied byte for byte and zero-terminated; a text as long as
  // its field (or longer, cut to the field) is stored without a terminator.
  std::string title;
  std::string message;
  std::string defaultDir;
  std::string prompt;
  std::string runCommand;
  uint32_t flags = 0;

  std::vector<uint8_t> archive;
  // Where the archive is placed; also the value stored in the block unless
  // `storedArchiveOffset` says otherwise. Must be at least 0x50A.
  uint32_t archiveOffset = kDefaultArchiveOffset;
  std::optional<uint32_t> storedArchiveOffset;

  // Replaces the whole 717-byte block (shorter input is zero-padded) after the
  // fields above have been laid out; nothing of them survives.
  std::optional<std::vector<uint8_t>> rawConfig;

  uint32_t lfanew = 0x570;  // e_lfanew
  uint8_t filler = 0;       // bytes between the DOS stub and the archive
};

// The 717-byte block alone.
std::vector<uint8_t> buildConfigBlock(const SfxImageParts& layout);

// The 58-byte DOS stub program.
std::vector<uint8_t> dosStubProgram();

// The whole image.
std::vector<uint8_t> buildSfxImage(const SfxImageParts& layout);

// Writes `bytes` to `path` (created or truncated); throws std::runtime_error
// on failure.
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
// Reads a whole file; throws std::runtime_error when it cannot be opened.
std::vector<uint8_t> readFile(const std::string& path);

}  // namespace testkit

#endif  // KASUMIRO_TESTS_SUPPORT_SFX_IMAGE_H
