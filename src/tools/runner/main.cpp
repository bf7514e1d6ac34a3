// kasumiro: the native runner. Runs the passes of the self-extracting stub
// over a self-extracting file named on the command line, which plays the
// part of the program's own image, or over a plain LZH archive.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "extract/entry_header.h"
#include "extract/passes.h"
#include "extract/post_command.h"
#include "extract/temp_folder.h"
#include "lzh/lzh_format.h"
#include "paths/path_strings.h"
#include "platform/posix/platform_posix.h"
#include "platform/posix/text.h"
#include "startup/config.h"
#include "startup/exact_texts.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"
#include "tools/image/pe_image.h"
#include "tools/image/pe_manifest.h"
#include "tools/pack/pack_command.h"
#include "ui/terminal/terminal_host.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

const char* const VERSION_TEXT = "kasumiro " KASUMIRO_VERSION "\n";

const char* const EXTRACT_HELP =
    "usage: kasumiro x [-y] [-o] [--run] [-d DEST] FILE [DEST]\n"
    "Extracts FILE (a self-extracting file or an LZH archive) into DEST; without\n"
    "one, into the current directory (never into the destination the file\n"
    "configures: `kasumiro info FILE` shows it).\n"
    "  -y       answer Yes to the notice text\n"
    "  -o       overwrite existing files without asking (a file's own overwrite\n"
    "           setting is not followed: without -o every existing file is asked)\n"
    "  --run    start the configured command afterwards (it is only shown otherwise)\n"
    "  -d DEST  the destination (the same as naming it after FILE); missing folders\n"
    "           on the way are made\n"
    "Exit status: 0 when everything was extracted, 1 on any failure or refusal.\n"
    "With --run, a file made with --wait or --temp ends with the command's exit\n"
    "status; one made with --temp extracts into a new folder under $TMPDIR (or\n"
    "/tmp) that is removed afterwards, unless DEST is named.\n";
const char* const LIST_HELP =
    "usage: kasumiro l FILE\n"
    "Lists the members of FILE: sizes, method, CRC-16, time (UTC) and name.\n";
const char* const TEST_HELP =
    "usage: kasumiro t FILE\n"
    "Decodes every member of FILE and checks its CRC-16; writes nothing.\n";
const char* const INFO_HELP =
    "usage: kasumiro info FILE\n"
    "Shows the configuration block of a self-extracting file and whether it asks\n"
    "for administrator rights (the execution level of its manifest).\n";

void usage(FILE* stream) {
  std::fputs(
      "usage: kasumiro a [options] OUTPUT PATH...                  make an archive or .exe\n"
      "       kasumiro x [-y] [-o] [--run] [-d DEST] FILE [DEST]   extract\n"
      "       kasumiro l FILE                                      list the members\n"
      "       kasumiro t FILE                                      test every member\n"
      "       kasumiro info FILE                                   show the configuration\n"
      "       kasumiro VERB --help, kasumiro --version\n",
      stream);
}

int usageError() {
  usage(stderr);
  return EXIT_USAGE;
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

enum FileKind { KIND_NONE, KIND_SFX, KIND_ARCHIVE };

std::string nativeImage;  // the file that setSelf named

// The configuration block as stored, its texts terminated.
bool readBlock(SfxConfig& c) {
  uint32_t got = 0;
  FileHandle image = platformOpenRead(sfxState.selfPath);
  const bool read = image != PLATFORM_INVALID_FILE &&
                    platformSeek(image, CONFIG_BLOCK_OFFSET, SEEK_FROM_START) &&
                    platformRead(image, &c, CONFIG_BLOCK_SIZE, &got) && got == CONFIG_BLOCK_SIZE;
  if (image != PLATFORM_INVALID_FILE) platformClose(image);
  c.title[sizeof c.title - 1] = c.message[sizeof c.message - 1] = 0;
  c.defaultDir[sizeof c.defaultDir - 1] = c.prompt[sizeof c.prompt - 1] = 0;
  c.runCommand[sizeof c.runCommand - 1] = 0;
  return read;
}

// Names the image for the core and tells what it is: a self-extracting
// file (the marker of the DOS header), an LZH archive from its first byte,
// or neither (said in one line).
FileKind setSelf(const char* file) {
  resetSfxState();
  const std::string native = absoluteNative(file);
  nativeImage = native;
  setNativeRoot(IMAGE_SLOT, native.c_str(), sfxState.selfPath);
  const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "kasumiro: cannot open %s: %s\n", file, std::strerror(errno));
    return KIND_NONE;
  }
  uint8_t head[64] = {};
  const ssize_t got = read(fd, head, sizeof head);
  close(fd);
  if (got >= 0x2E && head[0] == 'M' && head[1] == 'Z' &&
      !std::memcmp(head + 0x24, "LHA's SFX ", 10))
    return KIND_SFX;
  if (got > 0 && lzhLooksLikeArchive(head, static_cast<size_t>(got))) return KIND_ARCHIVE;
  std::fprintf(stderr, "kasumiro: %s is neither a self-extracting file nor an LZH archive\n", file);
  return KIND_NONE;
}

// The exact texts of the self-extracting file at native (its resource), or
// nothing. Only the image in front of the archive is read; a signature does
// not matter for reading, so its directory entry is passed over.
std::vector<uint8_t> readExactTexts(const std::string& native, uint32_t archiveOffset) {
  std::vector<uint8_t> image(std::min<uint32_t>(archiveOffset, 64u << 20));
  const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  const ssize_t got = pread(fd, image.data(), image.size(), 0);
  close(fd);
  if (got < 0x40) return {};
  image.resize(static_cast<size_t>(got));
  const uint32_t pe = image[MZ_LFANEW] | image[MZ_LFANEW + 1] << 8;
  const size_t optional = size_t{pe} + OPTIONAL_HEADER;
  if (optional + 2 <= image.size()) {
    const bool plus = (image[optional] | image[optional + 1] << 8) == MAGIC_PE32_PLUS;
    const size_t security = optional +
                            (plus ? OH_DIRECTORY_COUNT_PE32_PLUS : OH_DIRECTORY_COUNT_PE32) + 4 +
                            8 * DIRECTORY_SECURITY;
    if (security + 8 <= image.size()) std::fill_n(image.begin() + security, 8, 0);
  }
  PeImage parsed;
  PeResourceTree tree;
  std::string error;
  uint32_t ids = 0, languages = 0, entry = 0, rva = 0, size = 0;
  size_t at = 0;
  if (!readPeImage(image, parsed, error, true) || !tree.open(image, parsed) ||
      !tree.find(0, EXACT_TEXTS_TYPE, ids) || !(ids & RESOURCE_SUBDIRECTORY) ||
      !tree.find(ids & ~RESOURCE_SUBDIRECTORY, EXACT_TEXTS_ID, languages) ||
      !(languages & RESOURCE_SUBDIRECTORY) ||
      !tree.find(languages & ~RESOURCE_SUBDIRECTORY, 0, entry) || (entry & RESOURCE_SUBDIRECTORY) ||
      !tree.dataEntry(entry, rva, size) || !parsed.rvaToFileOffset(rva, size, at))
    return {};
  return std::vector<uint8_t>(image.begin() + at, image.begin() + at + size);
}

std::vector<uint8_t> exactTexts;

// The configuration of the file: the block of a self-extracting file, or
// for a plain archive the defaults of an empty block with the archive at 0.
bool loadFileConfig(FileKind kind, const char* tail) {
  if (kind == KIND_SFX) {
    SfxConfig block{};
    if (readBlock(block)) {
      exactTexts = readExactTexts(nativeImage, block.archiveOffset);
      posixSetProgramResource(EXACT_TEXTS_TYPE, EXACT_TEXTS_ID, exactTexts.data(),
                              static_cast<uint32_t>(exactTexts.size()));
    }
    if (loadConfig(tail)) return true;
    std::fputs("kasumiro: the configuration block cannot be read\n", stderr);
    return false;
  }
  RunConfig& config = sfxState.config;
  std::memset(&config, 0, sizeof config);
  copyTextBounded(config.title, loadMessage(MSG_DEFAULT_TITLE), sizeof config.title);
  copyTextBounded(config.defaultDir, tail, sizeof config.defaultDir);
  sfxState.autoRun = 0;
  return true;
}

// Makes the directory at path and every missing one above it, as the stub
// does on Windows. False (said) when one cannot be made.
bool makeDirectoryPath(const std::string& path) {
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string part = path.substr(0, end);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      std::fprintf(stderr, "kasumiro: cannot make %s: %s\n", part.c_str(), std::strerror(errno));
      return false;
    }
    if (end == std::string::npos) return true;
  }
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
  const char* destination = nullptr;
  std::vector<const char*> operands;
  for (int i = 0; i < argc; ++i) {
    const char* a = argv[i];
    if (!std::strcmp(a, "--help")) {
      std::fputs(EXTRACT_HELP, stdout);
      return EXIT_OK;
    } else if (!std::strcmp(a, "-y")) {
      terminalHost.assumeYes = true;
    } else if (!std::strcmp(a, "-o")) {
      terminalHost.overwriteSilent = true;
    } else if (!std::strcmp(a, "--run")) {
      run = true;
    } else if (!std::strcmp(a, "-d") && i + 1 < argc && !destination) {
      destination = argv[++i];
    } else if (a[0] == '-' && a[1]) {
      return usageError();
    } else {
      operands.push_back(a);
    }
  }
  if (operands.size() == 2 && !destination)
    destination = operands[1];
  else if (operands.size() != 1)
    return usageError();
  const FileKind kind = setSelf(operands[0]);
  if (kind == KIND_NONE) return EXIT_FAILED;
  // A destination from the command line is used as it is; the core sees
  // its stand-in, and only member names are converted.
  char tail[EXTRACT_DIR_SIZE] = "";
  if (destination) setNativeRoot(DESTINATION_SLOT, absoluteNative(destination).c_str(), tail);
  posixRunCommands = run;
  if (!loadFileConfig(kind, tail)) return EXIT_FAILED;
  // The file's own overwrite setting is for the stub, whose user chose the
  // destination in its dialog; here only -o replaces without a question.
  sfxState.config.flags &= ~FLAG_OVERWRITE;
  if (terminalHost.overwriteSilent) sfxState.config.flags |= FLAG_OVERWRITE;
  if (!runExtraction(nullptr, MODE_NOTICE)) return EXIT_FAILED;

  // With --run, a file made with --temp extracts into a folder of its own
  // (unless DEST names one), as the stub does. Otherwise, without DEST, the
  // current directory, as other archivers do: the configured destination
  // (%TEMP%, or a folder of the author's choosing) is for the stub on Windows.
  const uint32_t flags = sfxState.config.flags;
  const bool temporary = run && !destination && (flags & FLAG_TEMP_FOLDER);
  const std::string native = destination ? absoluteNative(destination) : std::string();
  if (temporary) {
    if (!makeTempFolder()) return EXIT_FAILED;
  } else if (tail[0]) {
    std::strcpy(sfxState.extractDir, tail);
  } else {
    setNativeRoot(DESTINATION_SLOT, absoluteNative(".").c_str(), sfxState.extractDir);
  }
  if (!native.empty() && !makeDirectoryPath(native)) return EXIT_FAILED;
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigaction(SIGINT, &action, nullptr);
  sfxState.extracting = 1;
  sfxState.progress.total = 0;
  bool ok = runExtraction(nullptr, MODE_SCAN) && runExtraction(nullptr, MODE_EXTRACT);
  terminalEndProgress();
  int status = ok ? EXIT_OK : EXIT_FAILED;
  // A command that the file waits for: its exit status is the runner's.
  if (ok && (flags & COMMAND_WAITED_FOR)) {
    uint32_t code = 0;
    const CommandOutcome outcome = runCommandAndWait(&code);
    if (outcome == COMMAND_NOT_STARTED) status = EXIT_FAILED;
    if (outcome == COMMAND_ENDED && run) status = static_cast<int>(code);
  }
  if (temporary) removeTempFolder();
  if (posixLastCommand.started && !run) {
    static char program[4096], arguments[4096], directory[4096];
    escapeForDisplay(posixLastCommand.program, program, sizeof program, false);
    escapeForDisplay(posixLastCommand.arguments, arguments, sizeof arguments, false);
    escapeForDisplay(posixLastCommand.directory, directory, sizeof directory, false);
    std::printf("command (not run; --run starts it): '%s' %s  [in %s]\n", program, arguments,
                directory);
  }
  if (ok && !temporary && !terminalHost.quiet && isatty(STDOUT_FILENO)) {
    static char dir[16384];
    if (cp932ToDisplay(sfxState.extractDir, dir, sizeof dir, false))
      std::printf("extracted %llu bytes into %s\n",
                  static_cast<unsigned long long>(sfxState.progress.total), dir);
  }
  return status;
}

int commandList(const char* file) {
  const FileKind kind = setSelf(file);
  if (kind == KIND_NONE || !loadFileConfig(kind, "")) return EXIT_FAILED;
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
  const FileKind kind = setSelf(file);
  if (kind == KIND_NONE || !loadFileConfig(kind, "")) return EXIT_FAILED;
  bool ok = runTestPass(nullptr);
  std::puts(ok ? "all members are intact" : "the archive is damaged");
  return ok ? EXIT_OK : EXIT_FAILED;
}

void printField(const char* label, const char* cp932) {
  std::printf("%-11s ", label);
  printCp932(stdout, cp932);
  std::fputc('\n', stdout);
}

int commandInfo(const char* file) {
  const FileKind kind = setSelf(file);
  if (kind == KIND_NONE) return EXIT_FAILED;
  if (kind == KIND_ARCHIVE) {
    std::puts("an LZH archive without a configuration block (not self-extracting)");
    return EXIT_OK;
  }
  // The block as stored: what the author wrote, before the program
  // completes it (defaults, expansion, quoting) at run time.
  SfxConfig c;
  if (!readBlock(c)) {
    std::fputs("kasumiro: the configuration block cannot be read\n", stderr);
    return EXIT_FAILED;
  }
  // The labels are the names of the packer's options.
  std::printf("%-11s %u (0x%X)\n", "archive at", c.archiveOffset, c.archiveOffset);
  const char* const labels[EXACT_TEXT_COUNT] = {"title", "message", "dir", "prompt", "command"};
  const char* const fields[EXACT_TEXT_COUNT] = {c.title, c.message, c.defaultDir, c.prompt,
                                                c.runCommand};
  // Where the author's texts are beyond CP932, the exact ones stand beside
  // the block's renditions.
  const std::vector<uint8_t> exact = readExactTexts(nativeImage, c.archiveOffset);
  ExactText texts[EXACT_TEXT_COUNT] = {};
  const bool haveExact = !exact.empty() && parseExactTexts(exact.data(), exact.size(), texts);
  for (int i = 0; i < EXACT_TEXT_COUNT; ++i) {
    printField(labels[i], fields[i]);
    static char text[65536 * 5];
    if (haveExact && texts[i].count) {
      const bool whole = platformTextFromUtf16(texts[i].units, texts[i].count, text, sizeof text);
      printField(whole ? "  exact" : "  exact(!)", text);
    }
  }
  std::printf("%-11s %s\n", "overwrite", c.flags & FLAG_OVERWRITE ? "on" : "off");
  std::printf("%-11s %s\n", "attributes", c.flags & FLAG_RESTORE_ATTRIBUTES ? "on" : "off");
  std::printf("%-11s %s\n", "wait", c.flags & FLAG_WAIT_FOR_COMMAND ? "on" : "off");
  std::printf("%-11s %s\n", "temp", c.flags & FLAG_TEMP_FOLDER ? "on" : "off");
  // The execution level its manifest requests, from the image in front of
  // the archive (a stub is far smaller than the bound).
  std::vector<uint8_t> stub(c.archiveOffset < (64u << 20) ? c.archiveOffset : 0);
  const FileHandle image = platformOpenRead(sfxState.selfPath);
  uint32_t got = 0;
  const bool stubRead =
      image != PLATFORM_INVALID_FILE && !stub.empty() &&
      platformRead(image, stub.data(), static_cast<uint32_t>(stub.size()), &got) &&
      got == stub.size();
  if (image != PLATFORM_INVALID_FILE) platformClose(image);
  std::string level, error = "the image ends before the archive";
  const bool known = stubRead && manifestExecutionLevel(stub, level, error);
  // The level comes from the file: anything but a word is not shown.
  if (known && !level.empty() &&
      level.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") ==
          std::string::npos)
    std::printf("%-11s %s%s\n", "level", level.c_str(),
                level == "requireAdministrator" ? " (--admin: asks for administrator rights)" : "");
  else
    std::printf("%-11s unknown: %s\n", "level",
                known ? "the manifest's level is not a word" : error.c_str());
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

// Runs a verb that takes FILE alone (with --help).
int singleFileVerb(int argc, char** argv, const char* help, int (*verb)(const char*)) {
  if (argc == 1 && !std::strcmp(argv[0], "--help")) {
    std::fputs(help, stdout);
    return EXIT_OK;
  }
  if (argc != 1 || (argv[0][0] == '-' && argv[0][1])) return usageError();
  return verb(argv[0]);
}

int main(int argc, char** argv) {
  holdStandardDescriptors();
  if (argc < 2) return usageError();
  const char* command = argv[1];
  if (!std::strcmp(command, "--version")) {
    std::fputs(VERSION_TEXT, stdout);
    return EXIT_OK;
  }
  if (!std::strcmp(command, "--help")) {
    usage(stdout);
    return EXIT_OK;
  }
  if (!std::strcmp(command, "a")) return commandPack(argc - 2, argv + 2);
  if (!std::strcmp(command, "x")) return commandExtract(argc - 2, argv + 2);
  if (!std::strcmp(command, "l")) return singleFileVerb(argc - 2, argv + 2, LIST_HELP, commandList);
  if (!std::strcmp(command, "t")) return singleFileVerb(argc - 2, argv + 2, TEST_HELP, commandTest);
  if (!std::strcmp(command, "info"))
    return singleFileVerb(argc - 2, argv + 2, INFO_HELP, commandInfo);
  return usageError();
}
