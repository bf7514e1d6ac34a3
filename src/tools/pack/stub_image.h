// The stub of a self-extracting file: which one (built in or a file), the
// check that it is ours, its configuration block filled from the options,
// and the execution level its manifest requests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "startup/config_block.h"
#include "tools/pack/stub_resources.h"

namespace pack {

struct StubSettings {
  std::string stub = "i686";   // "i686", "x86_64" (built in) or a stub file
  SfxConfig config{};          // the block; archiveOffset is set when it is written
  bool admin = false;          // the manifest requests administrator rights
  ResourceSettings resources;  // --language, --icon, the version information
};

// A text of the block as the user wrote it (UTF-8), named by its option.
struct BlockText {
  std::string option;
  std::string utf8;
};

// The options that set a text of the block: --title, --message, --dir,
// --prompt and --command.
bool isBlockTextOption(const std::string& option);

// Stores the texts in config in CP932, in the order given, each whole or
// refused (reported, and false).
bool fillBlockTexts(const std::vector<BlockText>& texts, SfxConfig& config);

// The stub with its resources edited, its configuration block filled in and
// the archive expected right behind it. False (reported) when the stub
// cannot be had, is not a Kasumiro stub, or its resources cannot be edited.
bool makeStubImage(const StubSettings& settings, std::vector<uint8_t>& image);

}  // namespace pack
