// The Win32 user interface of the stub: program start, the main, options
// and overwrite dialogs, and folder selection.
#pragma once

#include <windows.h>

int programMain(HINSTANCE instance, const char* commandTail);
void centerWindow(HWND window);
INT_PTR CALLBACK mainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK optionsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK overwriteDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Lets the user pick a folder; path (260 bytes) holds the seed and, on
// success, the chosen folder. Returns 1 when a folder was chosen.
int chooseFolder(HWND owner, char* path);
int browseWithShell(HWND owner, char* path, const char* title);

// Texts are CP932 (see platform/win32/win32_text.h for the calls used).
int messageBox(HWND owner, const char* text, const char* caption, UINT type);
// An error box with the message text id, captioned with the default title.
void defaultTitleErrorBox(HWND owner, int message);
void setText(HWND window, const char* text);
void setItemText(HWND dialog, int id, const char* text);
// Reads at most size - 1 bytes, cut at a character boundary; the length.
int getItemText(HWND dialog, int id, char* buffer, int size);
// Runs the dialog template id of the program modally.
INT_PTR dialogBox(int id, HWND owner, DLGPROC procedure);
