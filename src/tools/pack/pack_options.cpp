#include "tools/pack/pack_options.h"

#include "tools/image/author_resources.h"
#include "tools/pack/pack_support.h"

namespace pack {

const char* const PACK_HELP =
    "usage: kasumiro a [options] OUTPUT PATH...\n"
    "       kasumiro a [options] --from ARCHIVE.lzh OUTPUT.exe\n"
    "Packs files and folders (each under its own name, folders with everything in\n"
    "them) into OUTPUT: a self-extracting file when it ends in .exe, else a plain\n"
    ".lzh archive. OUTPUT appears only when it is complete.\n"
    "  -C DIR             take the PATHs relative to DIR\n"
    "  --method M         lh7 (default), lh6, lh5, or lh0 (stored); a file that\n"
    "                     would not shrink is always stored\n"
    "  -1 ... -9          faster ... smaller (default -5)\n"
    "  -L                 follow symbolic links (otherwise they are left out)\n"
    "  --skip-bad-names   leave out names the stub cannot create, with a warning\n"
    "  -q                 no progress bar\n"
    "The self-extracting file (UTF-8 texts, stored as CP932):\n"
    "  --title TEXT       window title (50 bytes)\n"
    "  --message TEXT     label above the folder box (40 bytes)\n"
    "  --dir TEXT         destination shown to the user, may hold %TEMP%,\n"
    "                     %ProgramFilesDir%, ... (255 bytes)\n"
    "  --prompt TEXT      text below the folder box (100 bytes)\n"
    "  --command TEXT     started after extracting, may hold %ExtractDir% (259 bytes)\n"
    "  --overwrite        replace existing files without asking\n"
    "  --attributes       restore read-only and hidden attributes\n"
    "  --notice FILE      a text (UTF-8) shown first, with Yes and No\n"
    "  --admin            ask for administrator rights when started\n"
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

bool parseOptions(int argc, char** argv, Options& o, bool& help) {
  std::vector<std::string> operands;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--help") {
      help = true;
      return true;
    } else if (a == "--") {
      for (++i; i < argc; ++i) operands.push_back(argv[i]);
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
    } else if (a == "--overwrite") {
      o.sfx.config.flags |= FLAG_OVERWRITE;
      o.configGiven = true;
    } else if (a == "--attributes") {
      o.sfx.config.flags |= FLAG_RESTORE_ATTRIBUTES;
      o.configGiven = true;
    } else if (a == "-C" && hasValue) {
      o.collect.base = argv[++i];
    } else if (a == "--from" && hasValue) {
      o.from = argv[++i];
    } else if (a == "--notice" && hasValue) {
      o.notice = argv[++i];
      o.configGiven = true;
    } else if (a == "--stub" && hasValue) {
      o.sfx.stub = argv[++i];
      o.configGiven = true;
    } else if (a == "--method" && hasValue) {
      const std::string m = argv[++i];
      if (m != "lh0" && m != "lh5" && m != "lh6" && m != "lh7")
        return fail("--method takes lh0, lh5, lh6 or lh7, not " + shown(m));
      o.write.method = m[2];
    } else if (a == "--language" && hasValue) {
      o.sfx.resources.language = argv[++i];
      const std::string& l = o.sfx.resources.language;
      if (l != "ja" && l != "en" && l != "auto")
        return fail("--language takes ja, en or auto, not " + shown(l));
      o.configGiven = true;
    } else if (a == "--icon" && hasValue) {
      o.sfx.resources.icon = argv[++i];
      o.configGiven = true;
    } else if (a == "--file-version" && hasValue) {
      o.sfx.resources.fileVersion = argv[++i];
      uint16_t version[4];
      if (!parseVersionNumber(o.sfx.resources.fileVersion, version))
        return fail("--file-version takes A.B.C.D (numbers up to 65535), not " +
                    shown(o.sfx.resources.fileVersion));
      o.configGiven = true;
    } else if (versionTextOption(a, o.sfx.resources) && hasValue) {
      *versionTextOption(a, o.sfx.resources) = argv[++i];
      o.configGiven = true;
    } else if (isBlockTextOption(a) && hasValue) {
      o.texts.push_back({a, argv[++i]});
      o.configGiven = true;
    } else {
      if (a.size() > 1 && a[0] == '-') return fail("unknown option " + shown(a) + " (see --help)");
      operands.push_back(a);
    }
  }
  if (operands.empty()) return fail("name the OUTPUT (see --help)");
  o.output = operands[0];
  o.paths.assign(operands.begin() + 1, operands.end());
  if (!o.from.empty() && !o.paths.empty()) return fail("--from takes no PATHs");
  if (o.from.empty() && o.paths.empty()) return fail("name what goes in (see --help)");
  return true;
}

}  // namespace pack
