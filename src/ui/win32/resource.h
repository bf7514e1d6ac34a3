// Resource and control identifiers of the overwrite question, the dialog of
// the UI seam itself. The program's other dialogs add theirs in
// stub/resource.h.
#pragma once

#define IDD_OVERWRITE 104

#define IDC_OVERWRITE_ALL 1004
#define IDC_EXISTING_PATH 1003
#define IDC_QUESTION_ICON 1002
