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

// Prints a CP932 text to a stream as UTF-8, control characters escaped
// (line feeds and tabs kept when multiline).
void printCp932(void* stream, const char* text, bool multiline = false);
// Clears the progress line, if one is shown.
void terminalEndProgress();
