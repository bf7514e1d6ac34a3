// The command line of kasumiro a: its help text, and the options and
// operands sorted into the settings of each part of the packer.
#pragma once

#include <string>
#include <vector>

#include "tools/pack/archive_writer.h"
#include "tools/pack/input_collector.h"
#include "tools/pack/stub_image.h"

namespace pack {

extern const char* const PACK_HELP;

struct Options {
  std::string output;              // OUTPUT
  std::vector<std::string> paths;  // PATH...
  std::string from;                // --from ARCHIVE
  std::string notice;              // --notice FILE
  CollectSettings collect;         // -C, -L, --skip-bad-names
  WriteSettings write;             // --method, -1 ... -9
  StubSettings sfx;                // --stub, --admin, --overwrite, --attributes, --language,
                                   // --icon, --product, --company, --description,
                                   // --copyright, --file-version
  std::vector<BlockText> texts;    // --title, --message, --dir, --prompt, --command
  bool quiet = false;              // -q
  bool configGiven = false;        // an option that only a self-extracting file takes
};

// Reads argv (the arguments behind "a") into o. False (reported) on a usage
// error; help is set, and nothing else read, at --help.
bool parseOptions(int argc, char** argv, Options& o, bool& help);

}  // namespace pack
