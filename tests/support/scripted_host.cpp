#include "support/scripted_host.h"

#include "ui/host.h"

ScriptedHost scriptedHost;

void hostErrorBox(HostWindow owner, const char* text, const char* caption) {
  scriptedHost.errorBoxes.push_back({text, caption, owner != nullptr});
}

bool hostAskYesNo(HostWindow owner, const char* text, const char* caption) {
  scriptedHost.questions.push_back({text, caption, owner != nullptr});
  if (scriptedHost.yesNoAnswers.empty()) return true;
  bool answer = scriptedHost.yesNoAnswers.front();
  scriptedHost.yesNoAnswers.pop_front();
  return answer;
}

int hostAskOverwrite(HostWindow, const char* path, const char*) {
  scriptedHost.overwritePrompts.push_back(path);
  if (scriptedHost.overwriteAnswers.empty()) return ANSWER_CANCEL;
  int answer = scriptedHost.overwriteAnswers.front();
  scriptedHost.overwriteAnswers.pop_front();
  return answer;
}

void hostSetItemText(HostWindow, int id, const char* text) {
  if (id == ID_STATUS_LINE) scriptedHost.statusLines.push_back(text);
}

void hostSendCommand(HostWindow, int command, intptr_t value) {
  if (command == CMD_PROGRESS) scriptedHost.progress.push_back(static_cast<int>(value));
}

void hostPumpMessages(HostWindow) {
  ++scriptedHost.pumps;
  if (scriptedHost.onPump) scriptedHost.onPump(scriptedHost.pumps);
}
