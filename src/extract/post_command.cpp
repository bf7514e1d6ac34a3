#include "extract/post_command.h"

#include <cstring>

#include "paths/path_strings.h"
#include "paths/path_variables.h"
#include "platform/platform.h"
#include "startup/config.h"
#include "startup/sfx_state.h"

// Expands the environment, then the program's own path variables (with the
// destination), of text into destination (size bytes). Returns the end of
// the result.
static char* expandCommandPart(const char* text, char* destination, int size) {
  static char expanded[CURRENT_PATH_SIZE];
  platformExpandEnvironment(text, expanded, sizeof expanded);
  return expandPathVariables(expanded, destination, sfxState.extractDir, size);
}

static CommandOutcome startCommand(uint32_t* exitCode) {
  RunConfig& config = sfxState.config;
  if (!sfxState.autoRun || !config.runCommand[0] || sfxState.abortFlag) return COMMAND_NOT_RUN;
  // The command is split into program and arguments before anything is
  // expanded: a blank in the destination (in %ExtractDir%) must never
  // change which program starts.
  // Program text: a destination beyond CP932 takes up to 4 bytes for each
  // character in %ExtractDir%.
  static char program[sizeof config.runCommand];
  const char* arguments = splitCommandLine(program, config.runCommand, sizeof program);
  static char expandedProgram[CURRENT_PATH_SIZE], expandedArguments[CURRENT_PATH_SIZE];
  expandCommandPart(arguments, expandedArguments, sizeof expandedArguments);
  expandCommandPart(program, expandedProgram, sizeof expandedProgram);
  return platformStartCommand(sfxState.mainWindow, expandedProgram, expandedArguments,
                              sfxState.extractDir, exitCode)
             ? COMMAND_ENDED
             : COMMAND_NOT_STARTED;
}

void runPostCommand() {
  if (!(sfxState.config.flags & COMMAND_WAITED_FOR)) startCommand(nullptr);
}

CommandOutcome runCommandAndWait(uint32_t* exitCode) {
  // The held files were kept past the pass for this command; they go once
  // it has started (the platform lets them go before it waits), and in
  // every case here, so that a folder of the program's own can be removed.
  const CommandOutcome outcome = startCommand(exitCode);
  platformReleaseHeld();
  return outcome;
}

namespace {

// The command of this pass, expanded, as one line: the program in double
// quotes, a blank, the arguments (empty when it will not run).
char namedFiles[2 * CURRENT_PATH_SIZE + 4];

bool isSeparator(char c) { return c == '/' || c == '\\'; }

char folded(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 'a' - 'A') : c; }

// Whether [name, end) names path as Windows finds a file: a separator (or a
// run of them) matches a separator, letters match in either case,
// double-byte characters exactly. A name without a root is taken in the
// destination, where the command starts: it is matched against the
// member's part of path.
bool namesFile(const char* name, const char* end, const char* path, size_t memberOffset) {
  if (!isSeparator(*name) && !(end - name > 1 && name[1] == ':')) path += memberOffset;
  while (name < end) {
    if (isSeparator(*name)) {
      if (!isSeparator(*path)) return false;
      while (isSeparator(*name)) ++name;
      while (isSeparator(*path)) ++path;
      continue;
    }
    const bool lead = platformIsLeadByte(static_cast<unsigned char>(*name));
    if (folded(*name++) != folded(*path++) || (lead && *name++ != *path++)) return false;
  }
  return name == end && !*path;
}

}  // namespace

void prepareCommandNames() {
  namedFiles[0] = 0;
  if (!sfxState.autoRun || !sfxState.config.runCommand[0]) return;
  static char program[sizeof sfxState.config.runCommand];
  const char* arguments = splitCommandLine(program, sfxState.config.runCommand, sizeof program);
  namedFiles[0] = '"';
  char* end = expandCommandPart(program, namedFiles + 1, CURRENT_PATH_SIZE);
  *end++ = '"';
  *end++ = ' ';
  expandCommandPart(arguments, end, CURRENT_PATH_SIZE);
}

bool commandNamesFile(const char* path, size_t memberOffset) {
  // The parts of the line as the command line splits them: at blanks and
  // tabs, a part in double quotes whole.
  for (const char* p = namedFiles; *p;) {
    if (*p == ' ' || *p == '\t') {
      ++p;
      continue;
    }
    const bool quoted = *p == '"';
    const char* start = p + quoted;
    const char* end = start;
    while (*end && (quoted ? *end != '"' : *end != ' ' && *end != '\t')) ++end;
    if (end > start && namesFile(start, end, path, memberOffset)) return true;
    p = *end ? end + 1 : end;
  }
  return false;
}
