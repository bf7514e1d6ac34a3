// The Windows program: its start, the main and options dialogs, and folder
// selection, on top of the Win32 pieces of the UI seam.
#pragma once

#include "ui/win32/win32_ui.h"

int programMain(HINSTANCE instance, const char* commandTail);
INT_PTR CALLBACK mainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK optionsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Lets the user pick a folder; path (260 bytes) holds the seed and, on
// success, the chosen folder. Returns 1 when a folder was chosen.
int chooseFolder(HWND owner, char* path);
int browseWithShell(HWND owner, char* path, const char* title);

// A box with the message text id, captioned with the default title.
void defaultTitleErrorBox(HWND owner, int message, UINT icon = MB_ICONERROR);
// Reads at most size - 1 bytes, cut at a character boundary; the length.
int getItemText(HWND dialog, int id, char* buffer, int size);
