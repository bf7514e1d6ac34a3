// Running other programs from tests: shell quoting, a command's exit status
// and output, and whether a program is installed.
#ifndef KASUMIRO_TESTS_SUPPORT_SHELL_H
#define KASUMIRO_TESTS_SUPPORT_SHELL_H

#include <string>

namespace testkit {

struct ShellResult {
  int status;  // exit code, or -1 when the process did not exit normally
  std::string out;
  std::string err;
};

std::string shellQuote(const std::string& text);
// Runs command through the shell with stdin closed; scratch holds the
// captured output while it runs.
ShellResult runShell(const std::string& command, const std::string& scratch);
bool haveCommand(const char* name);

}  // namespace testkit

#endif  // KASUMIRO_TESTS_SUPPORT_SHELL_H
