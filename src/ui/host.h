// The UI seam: what the passes and program start need from the window
// system. Texts are CP932 byte strings. Three implementations exist, chosen
// at link time: the Win32 dialogs (the product), a terminal host for the
// native runner and a scripted host for tests.
#pragma once

#include <cstdint>

using HostWindow = void*;

// Answers of the overwrite question, the ids of its buttons.
constexpr int ANSWER_YES = 6;
constexpr int ANSWER_NO = 7;
constexpr int ANSWER_CANCEL = 2;
constexpr int ID_OVERWRITE_ALL = 1004;

// Command with which progress (0..100 in lParam) reaches the main dialog.
constexpr int CMD_PROGRESS = 1100;
// The status line of the main dialog.
constexpr int ID_STATUS_LINE = 1003;

// An error box with the error icon and an OK button; owner may be null.
void hostErrorBox(HostWindow owner, const char* text, const char* caption);
// The notice question: Yes/No with the question icon. True for Yes.
bool hostAskYesNo(HostWindow owner, const char* text, const char* caption);
// The overwrite question for the existing file path; returns ANSWER_YES,
// ANSWER_NO, ID_OVERWRITE_ALL or ANSWER_CANCEL (any other value overwrites).
int hostAskOverwrite(HostWindow owner, const char* path, const char* caption);
// Sets the text of control id of window (the status line during passes).
void hostSetItemText(HostWindow window, int id, const char* text);
// Sends a command synchronously to window (CMD_PROGRESS with the percentage).
void hostSendCommand(HostWindow window, int command, intptr_t value);
// Drains the thread's message queue without waiting (the Win32 host at most
// every 20 ms: a call sooner after the last returns at once).
void hostPumpMessages(HostWindow dialog);
