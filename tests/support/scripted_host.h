// The scripted UI host for tests: pre-set answers, and a record of every box,
// question, status line and progress value the passes produced.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

struct ScriptedBox {
  std::string text;     // CP932 bytes, as shown
  std::string caption;  // CP932 bytes
  bool owned;           // had an owner window
};

struct ScriptedHost {
  std::vector<ScriptedBox> errorBoxes;
  std::vector<ScriptedBox> questions;         // notice Yes/No questions
  std::vector<std::string> overwritePrompts;  // paths asked about
  std::vector<std::string> statusLines;
  std::vector<int> progress;
  int pumps = 0;
  std::deque<bool> yesNoAnswers;     // empty: answer Yes
  std::deque<int> overwriteAnswers;  // empty: answer Cancel
  // Called at every pump, with the pump's number (1, 2, ...).
  std::function<void(int)> onPump;

  void reset() { *this = ScriptedHost(); }
};

extern ScriptedHost scriptedHost;
