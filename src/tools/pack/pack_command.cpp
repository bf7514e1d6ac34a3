#include "tools/pack/pack_command.h"

#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/pack/archive_writer.h"
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
  if (!pack::fillBlockTexts(o.texts, o.sfx.config)) return EXIT_FAILED;

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
  collector.leaveOut(o.output);
  for (const std::string& path : o.paths)
    if (!collector.addArgument(path)) return EXIT_FAILED;
  if (!collector.complete()) return EXIT_FAILED;
  const std::vector<pack::Input>& inputs = collector.inputs();
  std::string notice;
  struct stat noticeStat {};
  if (!o.notice.empty() && !pack::readNotice(o.notice, notice, noticeStat)) return EXIT_FAILED;
  std::vector<uint8_t> image;
  if (sfx && !pack::makeStubImage(o.sfx, image)) return EXIT_FAILED;
  if (!o.from.empty() && !pack::looksLikeArchive(o.from)) return EXIT_FAILED;

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
