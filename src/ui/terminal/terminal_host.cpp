#include "ui/terminal/terminal_host.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/posix/text.h"
#include "ui/host.h"

TerminalHostOptions terminalHost;

namespace {

bool progressShown = false;
bool clockStarted = false;
int stderrIsTerminal = -1;  // not asked yet
struct timespec firstProgress;
char statusText[4096];
int lastPercent = -1;

// Extractions shorter than this show no bar at all.
constexpr double PROGRESS_DELAY_SECONDS = 0.5;

double secondsSince(const struct timespec& start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
}

// Reads one answer line; false at the end of input (or no input at all).
bool readAnswer(char* line, int size) {
  std::fflush(stdout);
  if (!std::fgets(line, size, stdin)) return false;
  return true;
}

}  // namespace

void printCp932(void* stream, const char* text, bool multiline) {
  // Room for the longest text the core makes (1023 bytes, each escaped) and
  // native paths of any length in it.
  static char shown[16384];
  if (!cp932ToDisplay(text, shown, sizeof shown, multiline)) std::strcpy(shown, "?");
  std::fputs(shown, static_cast<FILE*>(stream));
}

void terminalEndProgress() {
  if (progressShown) std::fputs("\r\033[K", stderr);
  progressShown = false;
}

void hostErrorBox(HostWindow, const char* text, const char* caption) {
  terminalEndProgress();
  std::fputc('[', stderr);
  printCp932(stderr, caption);
  std::fputs("] ", stderr);
  printCp932(stderr, text);
  std::fputc('\n', stderr);
}

bool hostAskYesNo(HostWindow, const char* text, const char* caption) {
  terminalEndProgress();
  std::fputs("--- ", stdout);
  printCp932(stdout, caption);
  std::fputs(" ---\n", stdout);
  printCp932(stdout, text, true);
  std::fputs("\n---\n", stdout);
  if (terminalHost.assumeYes) return true;
  std::fputs("Continue? [y/N] ", stdout);
  char line[64];
  if (!readAnswer(line, sizeof line)) {
    std::fputs("\n", stdout);
    return false;
  }
  return line[0] == 'y' || line[0] == 'Y';
}

int hostAskOverwrite(HostWindow, const char* path, const char* caption) {
  terminalEndProgress();
  for (;;) {
    std::fputs("[", stdout);
    printCp932(stdout, caption);
    std::fputs("] ", stdout);
    printCp932(stdout, path);
    std::fputs(" exists. Overwrite? [y]es, [n]o, [a]ll, [c]ancel: ", stdout);
    char line[64];
    if (!readAnswer(line, sizeof line)) {
      std::fputs("\n", stdout);
      return ANSWER_CANCEL;
    }
    switch (line[0]) {
      case 'y':
      case 'Y':
        return ANSWER_YES;
      case 'n':
      case 'N':
        return ANSWER_NO;
      case 'a':
      case 'A':
        return ID_OVERWRITE_ALL;
      case 'c':
      case 'C':
        return ANSWER_CANCEL;
      default:
        break;
    }
  }
}

void hostSetItemText(HostWindow, int id, const char* text) {
  if (id != ID_STATUS_LINE) return;
  if (!cp932ToDisplay(text, statusText, sizeof statusText, false)) statusText[0] = 0;
}

void hostSendCommand(HostWindow, int command, intptr_t value) {
  if (command != CMD_PROGRESS || terminalHost.quiet) return;
  // Asked once: progress comes every 64 KiB of output.
  if (stderrIsTerminal < 0) stderrIsTerminal = isatty(STDERR_FILENO);
  if (!stderrIsTerminal) return;
  if (!clockStarted) {
    clock_gettime(CLOCK_MONOTONIC, &firstProgress);
    clockStarted = true;
  }
  int percent = static_cast<int>(value);
  if (secondsSince(firstProgress) < PROGRESS_DELAY_SECONDS) return;
  if (percent == lastPercent && progressShown) return;
  lastPercent = percent;
  constexpr int width = 30;
  char bar[width + 1];
  for (int i = 0; i < width; ++i) bar[i] = i < percent * width / 100 ? '#' : '.';
  bar[width] = 0;
  std::fprintf(stderr, "\r\033[K[%s] %3d%% %.60s", bar, percent, statusText);
  std::fflush(stderr);
  progressShown = true;
}

void hostPumpMessages(HostWindow) {}
