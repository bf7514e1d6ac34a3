// kasumiro-record-args: writes where it was started and with which command
// line, for the end-to-end tests of the post-extraction command.
//
// The record goes to the file named by the environment variable
// KASUMIRO_RECORD (or record_args.txt in the working directory), as UTF-8
// lines: "cwd=...", "cmdline=...", "acp=N" (its ANSI code page, which it
// shares with the program that started it), "argc=N" and "argN=..." for
// every argument after the program name. It is written under a temporary name and then
// renamed, so that a reader never sees half a record. KASUMIRO_SLEEP (milliseconds) delays
// the record, so that a test can tell whether its starter waited; KASUMIRO_EXIT_CODE is the
// exit code after a record was written (0 without it).
// windows.h comes before the other Win32 headers.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cwchar>
#include <string>

namespace {

std::string utf8(const wchar_t* text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(n - 1, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  return out;
}

// A number from the environment, or 0.
DWORD numberFromEnvironment(const wchar_t* name) {
  wchar_t text[32];
  DWORD length = GetEnvironmentVariableW(name, text, 32);
  return length && length < 32 ? static_cast<DWORD>(std::wcstoul(text, nullptr, 10)) : 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  Sleep(numberFromEnvironment(L"KASUMIRO_SLEEP"));
  wchar_t directory[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, directory);
  const wchar_t* line = GetCommandLineW();
  int count = 0;
  wchar_t** args = CommandLineToArgvW(line, &count);

  std::string record = "cwd=" + utf8(directory) + "\r\ncmdline=" + utf8(line) + "\r\n";
  record += "acp=" + std::to_string(GetACP()) + "\r\n";
  record += "argc=" + std::to_string(count > 0 ? count - 1 : 0) + "\r\n";
  for (int i = 1; i < count; ++i)
    record += "arg" + std::to_string(i) + "=" + utf8(args[i]) + "\r\n";

  wchar_t target[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(L"KASUMIRO_RECORD", target, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) lstrcpyW(target, L"record_args.txt");
  std::wstring temporary = std::wstring(target) + L".part";
  HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  BOOL ok = WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
  CloseHandle(file);
  if (!ok || written != record.size()) return 1;
  if (!MoveFileExW(temporary.c_str(), target, MOVEFILE_REPLACE_EXISTING)) return 1;
  return static_cast<int>(numberFromEnvironment(L"KASUMIRO_EXIT_CODE"));
}
