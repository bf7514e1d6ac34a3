// Resource and control identifiers of the stub's dialogs (the overwrite
// question's are the UI seam's own).
#pragma once

#include "ui/win32/resource.h"

#define IDD_MAIN 101
#define IDI_APPLICATION_ICON 103
#define IDD_OPTIONS 105

// Main dialog.
#define IDC_PROGRESS 1000
#define IDC_DIRECTORY 1001
#define IDC_LABEL 1002
#define IDC_STATUS 1003
#define IDC_BROWSE 1004
#define IDC_OPTIONS 1005

// Options dialog.
#define IDC_RESTORE_ATTRIBUTES 1005
#define IDC_OVERWRITE 1006
#define IDC_AUTO_RUN 1007
#define IDC_NO_FOLDERS 1008
#define IDC_COMMAND_LINE 1002
