#include "tools/pack/pack_options.h"

#include "tools/image/author_resources.h"
#include "tools/pack/pack_support.h"

namespace pack {

const char* const PACK_HELP =
    "usage: kasumiro a [options] OUTPUT PATH...\n"
    "       kasumiro a [options] --from ARCHIVE.lzh OUTPUT.exe\n"
    "       kasumiro a --config FILE [options] [OUTPUT [PATH...]]\n"
    "Packs files and folders (each under its own name, folders with everything in\n"
    "them) into OUTPUT: a self-extracting file when it ends in .exe, else a plain\n"
    ".lzh archive. OUTPUT appears only when it is complete; an OUTPUT that exists\n"
    "and is not a regular file (a folder, a link, a device) is refused.\n"
    "  -C DIR, --base DIR take the PATHs relative to DIR\n"
    "  -x, --exclude PAT  leave out what matches the shell pattern PAT by its path\n"
    "                     or its name (repeatable; '*' also matches '/')\n"
    "  --config FILE      options from FILE: 'name = value' lines, the names those\n"
    "                     of the long options, plus input, output and level; paths\n"
    "                     in it are relative to its folder; the command line wins\n"
    "  --method M         lh7 (default), lh6, lh5, or lh0 (stored); a file that\n"
    "                     would not shrink is always stored\n"
    "  -1 ... -9          faster ... smaller (default -5)\n"
    "  -L                 follow symbolic links (otherwise they are left out)\n"
    "  --skip-bad-names   leave out names the stub cannot create, with a warning\n"
    "  -q                 no progress bar\n"
    "The self-extracting file (UTF-8 texts; bytes as CP932 counts them, where a text\n"
    "beyond CP932 is stored as it is beside a CP932 rendition for older readers):\n"
    "  --title TEXT       window title (50 bytes)\n"
    "  --message TEXT     label above the folder box (40 bytes)\n"
    "  --dir TEXT         destination shown to the user, may hold %TEMP%,\n"
    "                     %ProgramFilesDir%, ... (255 bytes)\n"
    "  --prompt TEXT      text below the folder box (100 bytes)\n"
    "  --command TEXT     started after extracting, may hold %ExtractDir% (259 bytes)\n"
    "  --wait             wait for the command and end with its exit code\n"
    "  --temp             extract into a new folder under %TEMP% (no folder asked),\n"
    "                     run the command there, wait for it, remove the folder;\n"
    "                     needs --command\n"
    "  --overwrite        replace existing files without asking\n"
    "  --attributes       restore read-only and hidden attributes\n"
    "  --notice FILE      a text (UTF-8, at most 1023 bytes as the stub holds it)\n"
    "                     shown first, with Yes and No\n"
    "  --admin            ask for administrator rights when started; the default\n"
    "                     when --dir lies under %ProgramFilesDir%, %CommonFilesDir%,\n"
    "                     %SystemDir% or %windir%\n"
    "  --as-invoker       never ask for administrator rights\n"
    "  --stub S           i686 (default), x86_64, or a stub file\n"
    "  --language L       the dialogs and messages: ja, en, or auto (default: both,\n"
    "                     Windows shows Japanese on a Japanese system, else English)\n"
    "  --icon FILE.ico    the program's icon (every image of the file)\n"
    "The version information (Properties, Details; any UTF-8 text):\n"
    "  --product TEXT     product name\n"
    "  --company TEXT     company name\n"
    "  --description TEXT file description\n"
    "  --copyright TEXT   copyright\n"
    "  --file-version V   file and product version, A.B.C.D\n"
    "SOURCE_DATE_EPOCH, when set, is the notice's time and the latest time stored.\n";

namespace {

// A path given in the configuration file: relative to the file's folder.
std::string besideFile(const std::string& folder, const std::string& path) {
  return path.empty() || path[0] == '/' || folder.empty() ? path : folder + "/" + path;
}

// Reads arguments (options and operands, as on the command line) into o;
// operands are collected. False (reported) on a usage error.
bool readArguments(const std::vector<std::string>& args, Options& o, bool& help,
                   std::vector<std::string>& operands) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--help") {
      help = true;
      return true;
    } else if (a == "--") {
      for (++i; i < args.size(); ++i) operands.push_back(args[i]);
    } else if (a.size() == 2 && a[0] == '-' && a[1] >= '1' && a[1] <= '9') {
      o.write.level = a[1] - '0';
    } else if (a == "-L") {
      o.collect.followLinks = true;
    } else if (a == "-q") {
      o.quiet = true;
    } else if (a == "--skip-bad-names") {
      o.collect.skipBadNames = true;
    } else if (a == "--admin") {
      o.sfx.admin = o.configGiven = true;
    } else if (a == "--as-invoker") {
      o.sfx.asInvoker = o.configGiven = true;
    } else if (a == "--overwrite") {
      o.sfx.config.flags |= FLAG_OVERWRITE;
      o.configGiven = true;
    } else if (a == "--attributes") {
      o.sfx.config.flags |= FLAG_RESTORE_ATTRIBUTES;
      o.configGiven = true;
    } else if (a == "--wait") {
      o.sfx.config.flags |= FLAG_WAIT_FOR_COMMAND;
      o.configGiven = true;
    } else if (a == "--temp") {
      o.sfx.config.flags |= FLAG_TEMP_FOLDER;
      o.configGiven = true;
    } else if ((a == "-C" || a == "--base") && hasValue) {
      o.collect.base = args[++i];
    } else if ((a == "-x" || a == "--exclude") && hasValue) {
      o.collect.exclude.push_back(args[++i]);
    } else if (a == "--config" && hasValue) {
      ++i;  // read before everything else
    } else if (a == "--from" && hasValue) {
      o.from = args[++i];
    } else if (a == "--notice" && hasValue) {
      o.notice = args[++i];
      o.configGiven = true;
    } else if (a == "--stub" && hasValue) {
      o.sfx.stub = args[++i];
      o.configGiven = true;
    } else if (a == "--method" && hasValue) {
      const std::string& m = args[++i];
      if (m != "lh0" && m != "lh5" && m != "lh6" && m != "lh7")
        return fail("--method takes lh0, lh5, lh6 or lh7, not " + shown(m));
      o.write.method = m[2];
    } else if (a == "--language" && hasValue) {
      o.sfx.resources.language = args[++i];
      const std::string& l = o.sfx.resources.language;
      if (l != "ja" && l != "en" && l != "auto")
        return fail("--language takes ja, en or auto, not " + shown(l));
      o.configGiven = true;
    } else if (a == "--icon" && hasValue) {
      o.sfx.resources.icon = args[++i];
      o.configGiven = true;
    } else if (a == "--file-version" && hasValue) {
      o.sfx.resources.fileVersion = args[++i];
      uint16_t version[4];
      if (!parseVersionNumber(o.sfx.resources.fileVersion, version))
        return fail("--file-version takes A.B.C.D (numbers up to 65535), not " +
                    shown(o.sfx.resources.fileVersion));
      o.configGiven = true;
    } else if (versionTextOption(a, o.sfx.resources) && hasValue) {
      *versionTextOption(a, o.sfx.resources) = args[++i];
      o.configGiven = true;
    } else if (isBlockTextOption(a) && hasValue) {
      o.texts.push_back({a, args[++i]});
      o.configGiven = true;
    } else {
      if (a.size() > 1 && a[0] == '-') return fail("unknown option " + shown(a) + " (see --help)");
      operands.push_back(a);
    }
  }
  return true;
}

// The names of a configuration file and what their values are.
enum NameKind {
  NAME_SWITCH,  // yes or no (or the name alone): the long option or nothing
  NAME_TEXT,    // the long option with the value as it stands
  NAME_PATH,    // the long option with the value relative to the file
  NAME_LEVEL,   // 1 ... 9
  NAME_INPUT,   // a PATH
  NAME_OUTPUT,  // OUTPUT
  NAME_BASE,    // -C for the file's inputs
};

struct ConfigName {
  const char* name;
  NameKind kind;
};

constexpr ConfigName CONFIG_NAMES[] = {
    {"overwrite", NAME_SWITCH},
    {"attributes", NAME_SWITCH},
    {"admin", NAME_SWITCH},
    {"as-invoker", NAME_SWITCH},
    {"wait", NAME_SWITCH},
    {"temp", NAME_SWITCH},
    {"skip-bad-names", NAME_SWITCH},
    {"title", NAME_TEXT},
    {"message", NAME_TEXT},
    {"dir", NAME_TEXT},
    {"prompt", NAME_TEXT},
    {"command", NAME_TEXT},
    {"method", NAME_TEXT},
    {"exclude", NAME_TEXT},
    {"notice", NAME_PATH},
    {"stub", NAME_PATH},
    {"from", NAME_PATH},
    {"level", NAME_LEVEL},
    {"input", NAME_INPUT},
    {"output", NAME_OUTPUT},
    {"base", NAME_BASE},
    {"language", NAME_TEXT},
    {"icon", NAME_PATH},
    {"product", NAME_TEXT},
    {"company", NAME_TEXT},
    {"description", NAME_TEXT},
    {"copyright", NAME_TEXT},
    {"file-version", NAME_TEXT},
};

// One line of the file: its option (into args) or its setting (into o).
// False (reported) for an unknown name or a value it cannot take.
bool readConfigLine(const std::string& name, const std::string& value, bool bare,
                    const std::string& folder, std::vector<std::string>& args, Options& o) {
  const ConfigName* found = nullptr;
  for (const ConfigName& n : CONFIG_NAMES)
    if (name == n.name) found = &n;
  if (!found) return fail("unknown name " + shown(name));
  if (found->kind == NAME_SWITCH) {
    if (bare || value == "yes" || value == "true" || value == "on" || value == "1")
      args.push_back("--" + name);
    else if (value != "no" && value != "false" && value != "off" && value != "0")
      return fail(name + " takes yes or no, not " + shown(value));
    return true;
  }
  if (bare) return fail(name + " needs a value: " + name + " = ...");
  switch (found->kind) {
    case NAME_TEXT:
      args.insert(args.end(), {"--" + name, value});
      break;
    case NAME_PATH: {
      // The built-in stubs are names, not paths.
      const bool builtIn = name == "stub" && (value == "i686" || value == "x86_64");
      args.insert(args.end(), {"--" + name, builtIn ? value : besideFile(folder, value)});
      break;
    }
    case NAME_LEVEL:
      if (value.size() != 1 || value[0] < '1' || value[0] > '9')
        return fail("level takes 1 to 9, not " + shown(value));
      args.push_back("-" + value);
      break;
    case NAME_INPUT:
      o.fileInputs.push_back(value);
      break;
    case NAME_OUTPUT:
      o.output = besideFile(folder, value);
      break;
    default:  // NAME_BASE
      o.fileBase = besideFile(folder, value);
      break;
  }
  return true;
}

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// A configuration file is a few hundred bytes; anything near this is not one.
constexpr size_t CONFIG_FILE_LIMIT = 1 << 20;

}  // namespace

bool readConfigFile(const std::string& path, Options& o) {
  std::string text;
  if (!readSmallFile(path, CONFIG_FILE_LIMIT, "the configuration", text)) return false;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);  // a byte-order mark
  const size_t slash = path.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  o.fileFolder = folder;
  size_t number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = trimmed(text.substr(start, end - start));
    start = end + 1;
    ++number;
    if (line.empty() || line[0] == '#') continue;
    const size_t equals = line.find('=');
    const std::string name = trimmed(line.substr(0, equals));
    const std::string value = equals == std::string::npos ? "" : trimmed(line.substr(equals + 1));
    const FailurePlace place(shown(path) + ":" + std::to_string(number) + ": ");
    std::vector<std::string> args;
    std::vector<std::string> operands;
    bool help = false;
    if (!readConfigLine(name, value, equals == std::string::npos, folder, args, o) ||
        !readArguments(args, o, help, operands))
      return false;
  }
  return true;
}

bool parseOptions(int argc, char** argv, Options& o, bool& help) {
  const std::vector<std::string> args(argv, argv + argc);
  // The configuration file first, so that the command line's options win.
  for (size_t i = 0; i + 1 < args.size() && args[i] != "--"; ++i)
    if (args[i] == "--config" && !readConfigFile(args[++i], o)) return false;
  std::vector<std::string> operands;
  if (!readArguments(args, o, help, operands)) return false;
  if (help) return true;
  // OUTPUT and the PATHs of the command line replace the file's; the file's
  // inputs are relative to its base, or to its folder, unless -C says
  // otherwise.
  if (!operands.empty()) o.output = operands[0];
  if (operands.size() > 1) {
    o.paths.assign(operands.begin() + 1, operands.end());
  } else if (!o.fileInputs.empty()) {
    o.paths = o.fileInputs;
    if (o.collect.base.empty()) o.collect.base = o.fileBase.empty() ? o.fileFolder : o.fileBase;
  }
  if (o.output.empty()) return fail("name the OUTPUT (see --help)");
  if (!o.from.empty() && !o.paths.empty()) return fail("--from takes no PATHs");
  if (o.from.empty() && o.paths.empty()) return fail("name what goes in (see --help)");
  return true;
}

}  // namespace pack
