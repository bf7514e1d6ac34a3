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
  CollectSettings collect;         // -C, -L, -x, --skip-bad-names
  WriteSettings write;             // --method, -1 ... -9
  StubSettings sfx;                // --stub, --admin, --as-invoker, --overwrite, --attributes,
                                   // --wait, --temp, --language, --icon, --product,
                                   // --company, --description, --copyright, --file-version
  std::vector<BlockText> texts;    // --title, --message, --dir, --prompt, --command
  bool quiet = false;              // -q
  bool configGiven = false;        // an option that only a self-extracting file takes
  // From --config FILE: its folder, its inputs and their base.
  std::string fileFolder;
  std::vector<std::string> fileInputs;
  std::string fileBase;
};

// Reads argv (the arguments behind "a") into o, the file of --config first
// (so that the command line wins). False (reported) on a usage error; help
// is set, and nothing else read, at --help.
bool parseOptions(int argc, char** argv, Options& o, bool& help);

// Reads a configuration file into o: UTF-8 lines of "name = value", '#'
// lines and blank lines ignored. False (reported with the line) for a name
// that is not one, or a value its option refuses.
bool readConfigFile(const std::string& path, Options& o);

}  // namespace pack
