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
  bool asInvoker = false;      // --as-invoker: never, whatever the destination
  ResourceSettings resources;  // --language, --icon, the version information
};

// Where a configured destination (the block's defaultDir) lies, as far as
// its text tells: in a folder that only administrators can write (the
// program files, the system), in one that programs without administrator
// rights can write (the user's folders, %TEMP%, the public and program-data
// folders, and the current directory for an empty one), or elsewhere.
// folder, when given, receives the part of the text that told (or "the
// current directory").
enum DestinationKind { DESTINATION_OTHER, DESTINATION_ADMINISTRATORS, DESTINATION_USERS };
DestinationKind destinationKind(const char* defaultDir, std::string* folder = nullptr);

// Settles the execution level from the destination: administrator rights
// by default where only administrators can write (said on stderr), unless
// --as-invoker; a warning for --admin where others can write. False
// (reported) when --admin and --as-invoker are both given.
bool chooseExecutionLevel(StubSettings& settings);

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
