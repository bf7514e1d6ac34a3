#include "support/shell.h"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testkit {

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

ShellResult runShell(const std::string& command, const std::string& scratch) {
  const std::string out = scratch + "/shell.out", err = scratch + "/shell.err";
  const std::string line =
      "( " + command + " ) </dev/null >" + shellQuote(out) + " 2>" + shellQuote(err);
  const int raw = std::system(line.c_str());
  return {(raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
}

bool haveCommand(const char* name) {
  const std::string probe = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(probe.c_str()) == 0;
}

}  // namespace testkit
