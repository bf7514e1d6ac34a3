// kasumiro: the native runner. Runs the passes of the self-extracting stub
// over a self-extracting file named on the command line, which plays the
// part of the program's own image.
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "extract/entry_header.h"
#include "extract/passes.h"
#include "paths/path_strings.h"
#include "platform/posix/platform_posix.h"
#include "platform/posix/text.h"
#include "startup/config.h"
#include "startup/sfx_state.h"
#include "ui/terminal/terminal_host.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

void usage() {
  std::fputs(
      "usage: kasumiro x [-y] [-o] [--run] FILE [DEST]   extract (DEST: the configured one)\n"
      "       kasumiro l FILE                            list the members\n"
      "       kasumiro t FILE                            test every member, write nothing\n"
      "       kasumiro info FILE                         show the configuration block\n"
      "  -y     answer Yes to the notice text\n"
      "  -o     overwrite existing files without asking\n"
      "  --run  start the configured command afterwards (it is only shown otherwise)\n",
      stderr);
}

// A native path (UTF-8, possibly relative) as an absolute CP932 path.
bool toCorePath(const char* path, char* out, size_t size) {
  char absolute[PATH_MAX + 2];
  if (path[0] == '/') {
    std::snprintf(absolute, sizeof absolute, "%s", path);
  } else {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return false;
    if (std::snprintf(absolute, sizeof absolute, "%s/%s", cwd, path) >=
        static_cast<int>(sizeof absolute))
      return false;
  }
  return utf8ToCp932(absolute, out, size);
}

bool setSelf(const char* file) {
  resetSfxState();
  if (!toCorePath(file, sfxState.selfPath, sizeof sfxState.selfPath)) {
    std::fprintf(stderr, "kasumiro: path too long: %s\n", file);
    return false;
  }
  return true;
}

void onInterrupt(int) { sfxState.cancelRequested = 1; }

void printFileTime(FileTime time) {
  long long seconds = static_cast<long long>(time / 10000000ULL) - 11644473600LL;
  time_t t = static_cast<time_t>(seconds);
  struct tm tm;
  char text[32] = "?";
  if (gmtime_r(&t, &tm)) strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  std::fputs(text, stdout);
}

int commandExtract(int argc, char** argv) {
  bool run = false;
  int i = 0;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    if (!std::strcmp(argv[i], "-y"))
      terminalHost.assumeYes = true;
    else if (!std::strcmp(argv[i], "-o"))
      terminalHost.overwriteSilent = true;
    else if (!std::strcmp(argv[i], "--run"))
      run = true;
    else {
      usage();
      return EXIT_USAGE;
    }
  }
  if (argc - i < 1 || argc - i > 2) {
    usage();
    return EXIT_USAGE;
  }
  if (!setSelf(argv[i])) return EXIT_FAILED;
  char tail[EXTRACT_DIR_SIZE] = "";
  if (argc - i == 2 && !toCorePath(argv[i + 1], tail, sizeof tail)) {
    std::fprintf(stderr, "kasumiro: destination path too long: %s\n", argv[i + 1]);
    return EXIT_FAILED;
  }
  posixRunCommands = run;
  if (!loadConfig(tail)) {
    std::fputs("kasumiro: the configuration block cannot be read\n", stderr);
    return EXIT_FAILED;
  }
  if (terminalHost.overwriteSilent) sfxState.config.flags |= FLAG_OVERWRITE;
  if (!runExtraction(nullptr, MODE_NOTICE)) return EXIT_FAILED;

  unquotePath(sfxState.extractDir, sfxState.config.defaultDir);
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigaction(SIGINT, &action, nullptr);
  sfxState.extracting = 1;
  sfxState.progress.total = 0;
  bool ok = runExtraction(nullptr, MODE_SCAN) && runExtraction(nullptr, MODE_EXTRACT);
  terminalEndProgress();
  if (posixLastCommand.started && !run) {
    std::printf("command (not run; --run starts it): '%s' %s  [in %s]\n", posixLastCommand.program,
                posixLastCommand.arguments, posixLastCommand.directory);
  }
  if (ok && !terminalHost.quiet && isatty(STDOUT_FILENO)) {
    char dir[1024];
    if (nativePath(sfxState.extractDir, dir, sizeof dir))
      std::printf("extracted %llu bytes into %s\n",
                  static_cast<unsigned long long>(sfxState.progress.total), dir);
  }
  return ok ? EXIT_OK : EXIT_FAILED;
}

int commandList(const char* file) {
  if (!setSelf(file)) return EXIT_FAILED;
  if (!loadConfig("")) {
    std::fputs("kasumiro: the configuration block cannot be read\n", stderr);
    return EXIT_FAILED;
  }
  if (!openArchive()) return EXIT_FAILED;
  std::printf("%12s %12s %-5s %-4s %-19s %s\n", "size", "packed", "meth", "crc", "time (UTC)",
              "name");
  unsigned long long members = 0, total = 0;
  HeaderResult r;
  while ((r = readEntryHeader()) == HEADER_OK) {
    const EntryHeader& e = sfxState.entry;
    std::printf("%12llu %12llu -lh%c- %04X ", static_cast<unsigned long long>(e.uncompressedSize),
                static_cast<unsigned long long>(e.compressedSize), e.method, e.dataCrc);
    printFileTime(e.lastWriteTime);
    std::fputc(' ', stdout);
    printCp932(stdout, sfxState.memberName);
    std::fputc('\n', stdout);
    ++members;
    total += e.uncompressedSize;
    if (!skipMemberData()) break;
  }
  closeArchive();
  std::printf("%12llu bytes in %llu members\n", total, members);
  return r == HEADER_END ? EXIT_OK : EXIT_FAILED;
}

int commandTest(const char* file) {
  if (!setSelf(file)) return EXIT_FAILED;
  if (!loadConfig("")) {
    std::fputs("kasumiro: the configuration block cannot be read\n", stderr);
    return EXIT_FAILED;
  }
  bool ok = runExtraction(nullptr, MODE_TEST);
  std::puts(ok ? "all members are intact" : "the archive is damaged");
  return ok ? EXIT_OK : EXIT_FAILED;
}

void printField(const char* label, const char* cp932) {
  std::printf("%-14s ", label);
  printCp932(stdout, cp932);
  std::fputc('\n', stdout);
}

int commandInfo(const char* file) {
  if (!setSelf(file)) return EXIT_FAILED;
  if (!loadConfig("")) {
    std::fputs("kasumiro: the configuration block cannot be read\n", stderr);
    return EXIT_FAILED;
  }
  const SfxConfig& c = sfxState.config;
  std::printf("%-14s %u (0x%X)\n", "archive at", c.archiveOffset, c.archiveOffset);
  printField("title", c.title);
  printField("message", c.message);
  printField("destination", c.defaultDir);
  printField("prompt", c.prompt);
  printField("command", c.runCommand);
  std::printf("%-14s 0x%08X (restore attributes %s, overwrite %s)\n", "flags", c.flags,
              c.flags & FLAG_RESTORE_ATTRIBUTES ? "on" : "off",
              c.flags & FLAG_OVERWRITE ? "on" : "off");
  return EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    usage();
    return EXIT_USAGE;
  }
  const char* command = argv[1];
  if (!std::strcmp(command, "x")) return commandExtract(argc - 2, argv + 2);
  if (argc != 3) {
    usage();
    return EXIT_USAGE;
  }
  if (!std::strcmp(command, "l")) return commandList(argv[2]);
  if (!std::strcmp(command, "t")) return commandTest(argv[2]);
  if (!std::strcmp(command, "info")) return commandInfo(argv[2]);
  usage();
  return EXIT_USAGE;
}
