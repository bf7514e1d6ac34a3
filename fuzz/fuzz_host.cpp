// The window-system seam for the fuzz targets: no windows at all. Every
// question is answered Yes (the notice, overwriting an existing file) and
// nothing is recorded. The texts are still read to their end, as a real
// host would, so that an unterminated text shows up under the sanitizers,
// and a progress value outside 0..100 stops the run.
#include <cstring>

#include "fuzz_support.h"
#include "ui/host.h"

namespace {

volatile size_t textBytesSeen;

void readText(const char* text) {
  if (text) textBytesSeen = textBytesSeen + std::strlen(text);
}

}  // namespace

void hostErrorBox(HostWindow, const char* text, const char* caption) {
  readText(text);
  readText(caption);
}

bool hostAskYesNo(HostWindow, const char* text, const char* caption) {
  readText(text);
  readText(caption);
  return true;
}

int hostAskOverwrite(HostWindow, const char* path, const char* caption) {
  readText(path);
  readText(caption);
  return ANSWER_YES;
}

void hostSetItemText(HostWindow, int, const char* text) { readText(text); }

void hostSendCommand(HostWindow, int command, intptr_t value) {
  if (command == CMD_PROGRESS)
    FUZZ_CHECK(value >= 0 && value <= 100, "progress " + std::to_string(value));
}

void hostPumpMessages(HostWindow) {}
