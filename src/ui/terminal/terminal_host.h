// The terminal host of the native runner: boxes go to stderr, questions are
// asked on stdin/stdout, progress is a bar on a terminal (and nothing when
// stderr is not one).
#pragma once

struct TerminalHostOptions {
  bool assumeYes;        // answer Yes to the notice question
  bool overwriteSilent;  // never asked: the pass overwrites by its flag
  bool quiet;
};
extern TerminalHostOptions terminalHost;

// Prints a CP932 text to a stream as UTF-8.
void printCp932(void* stream, const char* text);
// Clears the progress line, if one is shown.
void terminalEndProgress();
