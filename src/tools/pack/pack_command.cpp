#include "tools/pack/pack_command.h"

#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/text.h"
#include "startup/config_block.h"
#include "tools/pack/archive_writer.h"
#include "tools/pack/exact_texts_resource.h"
#include "tools/pack/input_collector.h"
#include "tools/pack/pack_options.h"
#include "tools/pack/pack_support.h"
#include "tools/pack/stub_image.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

void onSignal(int) { pack::interrupted = 1; }

bool endsWith(const std::string& text, const char* tail) {
  const size_t n = std::strlen(tail);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(text[text.size() - n + i])) != tail[i])
      return false;
  return true;
}

int failWith(const std::string& message, int status) {
  std::fprintf(stderr, "kasumiro: %s\n", message.c_str());
  return status;
}

void warn(const std::string& message) {
  std::fprintf(stderr, "kasumiro: warning: %s\n", message.c_str());
}

// The command the block will hold (the last --command given), or "".
std::string commandOf(const pack::Options& o) {
  std::string command;
  for (const pack::BlockText& t : o.texts)
    if (t.option == "--command") command = t.utf8;
  return command;
}

// A command that starts %ExtractDir%\PATH, where PATH is no member, fails
// on every machine. A common cause: the folder went in under its own name
// (a/b/setup.exe), which -C a/b would have stored as setup.exe.
void checkCommandProgram(const std::string& command, const std::vector<std::string>& members) {
  // The program part, as the stub splits it: inside the leading quotes, or
  // up to the first blank or tab.
  size_t start = command.find_first_not_of(" \t");
  if (start == std::string::npos) return;
  size_t end;
  if (command[start] == '"') {
    end = command.find('"', ++start);
  } else {
    end = command.find_first_of(" \t", start);
  }
  const std::string program =
      command.substr(start, end == std::string::npos ? std::string::npos : end - start);
  std::string rest;
  for (const char* variable : {"%ExtractDir%", "%ExtractDirX%"})
    if (program.compare(0, std::strlen(variable), variable) == 0)
      rest = program.substr(std::strlen(variable));
  if (rest.empty() || (rest[0] != '\\' && rest[0] != '/') || rest.find('%') != std::string::npos)
    return;
  std::replace(rest.begin(), rest.end(), '\\', '/');
  rest.erase(0, rest.find_first_not_of('/'));
  std::string cp932;
  if (rest.empty() || !pack::toCp932(rest, cp932)) return;
  const std::string wanted = pack::foldedName(cp932);
  std::string deeper;  // a member that ends with the same path
  for (const std::string& member : members) {
    const std::string folded = pack::foldedName(member);
    if (folded == wanted) return;
    if (folded.size() > wanted.size() && folded[folded.size() - wanted.size() - 1] == '/' &&
        folded.compare(folded.size() - wanted.size(), wanted.size(), wanted) == 0)
      deeper = member;
  }
  std::string message =
      "--command starts " + pack::shown(program) + ", but no member is " + pack::shown(rest);
  if (!deeper.empty()) {
    std::vector<char> utf8(deeper.size() * 3 + 1);
    if (cp932ToUtf8(deeper.c_str(), utf8.data(), utf8.size()))
      message += " (" + pack::shown(utf8.data()) + " is: -C takes the PATHs from a folder down)";
  }
  warn(message);
}

}  // namespace

int commandPack(int argc, char** argv) {
  pack::Options o;
  bool help = false;
  if (!pack::parseOptions(argc, argv, o, help)) return EXIT_USAGE;
  if (help) {
    std::fputs(pack::PACK_HELP, stdout);
    return EXIT_OK;
  }
  const bool sfx = endsWith(o.output, ".exe");
  if (!sfx && o.configGiven)
    return failWith("the self-extracting options need an OUTPUT ending in .exe", EXIT_USAGE);
  if (!o.from.empty() && !sfx) return failWith("--from makes an OUTPUT.exe", EXIT_USAGE);
  const std::string command = commandOf(o);
  if ((o.sfx.config.flags & FLAG_TEMP_FOLDER) && command.empty())
    return failWith("--temp needs --command: the folder is removed when the command ends",
                    EXIT_USAGE);
  if ((o.sfx.config.flags & FLAG_WAIT_FOR_COMMAND) && command.empty())
    warn("--wait without --command: there is nothing to wait for");
  if (!sfx && !endsWith(o.output, ".lzh") && !endsWith(o.output, ".lha"))
    warn(pack::shown(o.output) + " will be an LZH archive; name it .lzh, or .exe for a " +
         "self-extracting file");
  // Texts beyond CP932: their renditions in the block, which older readers
  // show, and the exact texts in a resource, which the stub prefers.
  if (!pack::exactTextsResource(o.texts, o.sfx.resources.exactTexts) ||
      !pack::fillBlockTexts(pack::blockRenditions(o.texts), o.sfx.config))
    return EXIT_FAILED;
  if (sfx && !pack::chooseExecutionLevel(o.sfx)) return EXIT_USAGE;

  struct sigaction action {};
  action.sa_handler = onSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);

  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
    char* end = nullptr;
    const long long value = std::strtoll(epoch, &end, 10);
    if (!*epoch || *end || value < 0)
      return failWith("SOURCE_DATE_EPOCH is not a number of seconds", EXIT_FAILED);
    o.write.latest = value;
  }

  // Everything that goes in is known (and checked) before anything is
  // written.
  pack::InputCollector collector(o.collect);
  collector.setOutput(o.output);
  for (const std::string& path : o.paths)
    if (!collector.addArgument(path)) return EXIT_FAILED;
  if (!collector.complete()) return EXIT_FAILED;
  const std::vector<pack::Input>& inputs = collector.inputs();
  if (o.from.empty() && inputs.empty())
    return failWith("nothing to pack: no file or folder is left to go in", EXIT_FAILED);
  std::string notice;
  struct stat noticeStat {};
  if (!o.notice.empty() && !pack::readNotice(o.notice, notice, noticeStat)) return EXIT_FAILED;
  std::vector<uint8_t> image;
  if (sfx && !pack::makeStubImage(o.sfx, image)) return EXIT_FAILED;
  std::vector<std::string> members;
  if (!o.from.empty() && !pack::readWholeArchive(o.from, members)) return EXIT_FAILED;
  for (const pack::Input& e : inputs) members.push_back(e.member);
  if (sfx) checkCommandProgram(command, members);

  pack::ArchiveWriter writer(o.output, sfx, o.write);
  writer.progress.enabled = !o.quiet;
  for (const pack::Input& e : inputs) {
    writer.progress.totalBytes += e.directory ? 0 : static_cast<uint64_t>(e.st.st_size);
    writer.progress.totalFiles += e.directory ? 0 : 1;
  }
  writer.progress.begin();
  if (!writer.open()) return EXIT_FAILED;
  bool ok = writer.writeAll(image.data(), image.size());
  if (ok && !o.from.empty()) {
    ok = writer.copyFile(o.from);
  } else if (ok) {
    if (!notice.empty()) {
      if (o.write.latest >= 0) noticeStat.st_mtim = {static_cast<time_t>(o.write.latest), 0};
      ok = writer.file(o.notice, "!", noticeStat, &notice);
    }
    for (size_t i = 0; ok && i < inputs.size(); ++i) {
      const pack::Input& e = inputs[i];
      ok = e.directory ? writer.directory(e.member, e.st, e.unicode)
                       : writer.file(e.native, e.member, e.st, nullptr, e.unicode);
      if (!e.directory) ++writer.progress.doneFiles;
      writer.progress.update();
      if (ok && pack::interrupted) ok = pack::fail("interrupted");
    }
    if (ok) ok = writer.end();
  }
  writer.progress.end();
  if (!ok || !writer.commit()) {
    writer.discard();
    return EXIT_FAILED;
  }
  if (isatty(STDOUT_FILENO) && !o.quiet)
    std::printf("%s: %zu members, %llu bytes\n", pack::shown(o.output).c_str(),
                inputs.size() + (notice.empty() ? 0 : 1),
                static_cast<unsigned long long>(writer.position()));
  return EXIT_OK;
}
