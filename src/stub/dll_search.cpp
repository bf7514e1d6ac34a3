#include "stub/dll_search.h"

#include <windows.h>

namespace {

// LOAD_LIBRARY_SEARCH_SYSTEM32 (the headers define it only for Windows 8
// and later).
constexpr DWORD SEARCH_SYSTEM32 = 0x800;

// The image's load configuration, under the name that the Microsoft linkers
// (and kasumiro-layout) point its data directory to. Of all its fields only
// the size and the flags for the dependencies of the static imports are
// set: DependentLoadFlags, the field the headers still call Reserved1. There
// is no security cookie to announce (the stub is built without stack
// protection) and no handler table (it has no structured exception
// handlers).
constexpr IMAGE_LOAD_CONFIG_DIRECTORY loadConfig() {
  IMAGE_LOAD_CONFIG_DIRECTORY config{};
  config.Size = sizeof config;
  config.Reserved1 = SEARCH_SYSTEM32;
  return config;
}

using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
using SetDllDirectoryCall = BOOL(WINAPI*)(LPCWSTR);

// A kernel32 function that older systems may lack, or null.
template <typename Call>
Call kernelFunction(const char* name) {
  return reinterpret_cast<Call>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32"), name)));
}

// Each DLL that the program loads itself, followed by the functions of it
// that the program calls, in the order of their slots below; an empty name
// ends each list, and the whole.
constexpr char LATE_IMPORTS[] =
    "comctl32\0InitCommonControls\0\0"
    "shell32\0IsUserAnAdmin\0SHBrowseForFolderW\0SHGetFolderPathW\0SHGetPathFromIDListW\0"
    "ShellExecuteExW\0\0"
    "ole32\0CoInitialize\0CoTaskMemFree\0CoUninitialize\0\0";

const char* next(const char* name) {
  while (*name++) {
  }
  return name;
}

}  // namespace

// The slots, in the order of LATE_IMPORTS, under the names through which the
// compiler calls an imported function (__imp_ and, on i686, the decorated
// name), so that every call goes through them as through the import address
// table. The stub is not linked with these DLLs' import libraries.
// clang-format off
#ifdef _WIN64
#define LATE_SLOT(name, argumentBytes) "\"__imp_" #name "\""
#define SLOT_BYTES "8"
#else
#define LATE_SLOT(name, argumentBytes) "\"__imp__" #name "@" #argumentBytes "\""
#define SLOT_BYTES "4"
#endif
#define DEFINE_SLOT(name, argumentBytes) \
  ".globl " LATE_SLOT(name, argumentBytes) "\n" \
  LATE_SLOT(name, argumentBytes) ": .space " SLOT_BYTES "\n"
asm(".section .bss,\"bw\"\n"
    ".balign 8\n"
    "kasumiroLateImports:\n"
    DEFINE_SLOT(InitCommonControls, 0)
    DEFINE_SLOT(IsUserAnAdmin, 0)
    DEFINE_SLOT(SHBrowseForFolderW, 4)
    DEFINE_SLOT(SHGetFolderPathW, 20)
    DEFINE_SLOT(SHGetPathFromIDListW, 8)
    DEFINE_SLOT(ShellExecuteExW, 4)
    DEFINE_SLOT(CoInitialize, 4)
    DEFINE_SLOT(CoTaskMemFree, 4)
    DEFINE_SLOT(CoUninitialize, 0)
    ".text\n");
// clang-format on
extern "C" FARPROC lateImports[] asm("kasumiroLateImports");

extern "C" __attribute__((used)) const IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used = loadConfig();

void narrowDllSearch() {
  auto setDefault = kernelFunction<SetDefaultDllDirectoriesCall>("SetDefaultDllDirectories");
  if (setDefault && setDefault(SEARCH_SYSTEM32)) return;
  auto setDirectory = kernelFunction<SetDllDirectoryCall>("SetDllDirectoryW");
  if (setDirectory) setDirectory(L"");
}

bool bindLateImports() {
  FARPROC* slot = lateImports;
  for (const char* name = LATE_IMPORTS; *name; name = next(name)) {
    // shell32 and ole32 are known DLLs (the system's own copies whatever
    // the search), comctl32 comes from the side-by-side assembly that the
    // manifest names, and the search is the system folder's alone by now
    // anyway.
    HMODULE module = LoadLibraryA(name);
    for (name = next(name); *name; name = next(name)) {
      if (!module || !(*slot++ = GetProcAddress(module, name))) return false;
    }
  }
  return true;
}
