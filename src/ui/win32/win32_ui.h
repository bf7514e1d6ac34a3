// The Win32 pieces of the UI seam: message boxes, dialog texts, modal
// dialogs and the overwrite question. Texts are CP932 (see
// platform/win32/win32_text.h for the calls used).
#pragma once

#include <windows.h>

void centerWindow(HWND window);
int messageBox(HWND owner, const char* text, const char* caption, UINT type);
void setText(HWND window, const char* text);
void setItemText(HWND dialog, int id, const char* text);
// Runs the dialog template id of the program modally; procedure gets
// parameter with WM_INITDIALOG.
INT_PTR dialogBox(int id, HWND owner, DLGPROC procedure, LPARAM parameter = 0);
