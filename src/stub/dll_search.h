// Where the stub's DLLs come from: the system folder, never the folder the
// self-extracting file was downloaded to. The image imports only kernel32
// and user32, known DLLs that the loader maps from the system's own copies;
// its load configuration asks the loader to take their dependencies from
// the system folder too (Windows 10 1607 and later honour it);
// narrowDllSearch does the same for every DLL loaded afterwards, by the
// program or by a system DLL on its behalf, and the program's other DLLs
// are loaded only after it.
#pragma once

// Restricts the process's DLL search to the system folder
// (SetDefaultDllDirectories with LOAD_LIBRARY_SEARCH_SYSTEM32). Where the
// system lacks that call (Windows 7 and Vista without update KB2533623),
// takes at least the current directory out of the search
// (SetDllDirectoryW with an empty text). The first thing the program does:
// before it, nothing may load a DLL.
void narrowDllSearch();

// Loads comctl32.dll, shell32.dll and ole32.dll, which the program uses
// but does not import (so that they, and whatever they load as they start,
// come after narrowDllSearch), and binds the functions it calls. False when
// one is missing.
bool bindLateImports();
