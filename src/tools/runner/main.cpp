// kasumiro: the native runner. Runs the passes of the self-extracting stub
// over a self-extracting file named on the command line, which plays the
// part of the program's own image.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

// Slots of the native paths the core sees only as stand-ins.
constexpr int DESTINATION_SLOT = 0;
constexpr int IMAGE_SLOT = 1;

// A path from the command line made absolute, whatever its length and
// characters: it is the user's and reaches the system unchanged.
std::string absoluteNative(const char* path) {
  if (path[0] == '/') return path;
  char* cwd = getcwd(nullptr, 0);
  std::string result = cwd ? cwd : ".";
  std::free(cwd);
  return result + "/" + path;
}

void setSelf(const char* file) {
  resetSfxState();
  setNativeRoot(IMAGE_SLOT, absoluteNative(file).c_str(), sfxState.selfPath);
}

// The configured destination (CP932, expanded by loadConfig) as the native
// destination. False when it holds bytes that are not CP932 text: it would
// name another folder once converted.
bool useConfiguredDestination(const char* configured) {
  char unquoted[EXTRACT_DIR_SIZE];
  char utf8[4 * EXTRACT_DIR_SIZE];
  char back[EXTRACT_DIR_SIZE];
  unquotePath(unquoted, configured);
  if (!nativePath(unquoted, utf8, sizeof utf8) || !utf8ToCp932(utf8, back, sizeof back) ||
      std::strcmp(back, unquoted) != 0)
    return false;
  setNativeRoot(DESTINATION_SLOT, absoluteNative(utf8).c_str(), sfxState.extractDir);
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
  setSelf(argv[i]);
  // A destination from the command line is used as it is; the core sees
  // its stand-in, and only member names are converted.
  char tail[EXTRACT_DIR_SIZE] = "";
  if (argc - i == 2) setNativeRoot(DESTINATION_SLOT, absoluteNative(argv[i + 1]).c_str(), tail);
  posixRunCommands = run;
  if (!loadConfig(tail)) {
    std::fputs("kasumiro: the configuration block cannot be read\n", stderr);
    return EXIT_FAILED;
  }
  if (terminalHost.overwriteSilent) sfxState.config.flags |= FLAG_OVERWRITE;
  if (!runExtraction(nullptr, MODE_NOTICE)) return EXIT_FAILED;

  if (tail[0]) {
    std::strcpy(sfxState.extractDir, tail);
  } else if (!useConfiguredDestination(sfxState.config.defaultDir)) {
    std::fputs("kasumiro: the configured destination is not a valid path; name one\n", stderr);
    return EXIT_FAILED;
  }
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigaction(SIGINT, &action, nullptr);
  sfxState.extracting = 1;
  sfxState.progress.total = 0;
  bool ok = runExtraction(nullptr, MODE_SCAN) && runExtraction(nullptr, MODE_EXTRACT);
  terminalEndProgress();
  if (posixLastCommand.started && !run) {
    static char program[4096], arguments[4096], directory[4096];
    escapeForDisplay(posixLastCommand.program, program, sizeof program, false);
    escapeForDisplay(posixLastCommand.arguments, arguments, sizeof arguments, false);
    escapeForDisplay(posixLastCommand.directory, directory, sizeof directory, false);
    std::printf("command (not run; --run starts it): '%s' %s  [in %s]\n", program, arguments,
                directory);
  }
  if (ok && !terminalHost.quiet && isatty(STDOUT_FILENO)) {
    static char dir[16384];
    if (cp932ToDisplay(sfxState.extractDir, dir, sizeof dir, false))
      std::printf("extracted %llu bytes into %s\n",
                  static_cast<unsigned long long>(sfxState.progress.total), dir);
  }
  return ok ? EXIT_OK : EXIT_FAILED;
}

int commandList(const char* file) {
  setSelf(file);
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
  setSelf(file);
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
  setSelf(file);
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

// Descriptors 0 to 2 are never left free: a file opened later would take
// one, and the questions would read their answers from the archive's own
// bytes (or the output would go into a file). A closed one reads as empty.
void holdStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  holdStandardDescriptors();
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
