// kasumiro-mksfx: makes a self-extracting file from an LZH archive, either
// behind a built stub (whose block is filled in) or behind a bare DOS part
// that the native runner can read.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/text.h"
#include "startup/sfx_state.h"
#include "tools/image/dos_part.h"
#include "tools/image/file_bytes.h"
#include "tools/image/pe_layout.h"

namespace {

bool setText(char* field, size_t size, const char* utf8, const char* what) {
  char cp932[1024];
  if (!utf8ToCp932(utf8, cp932, sizeof cp932) || std::strlen(cp932) >= size) {
    std::fprintf(stderr, "kasumiro-mksfx: %s is longer than %zu bytes in CP932\n", what, size - 1);
    return false;
  }
  std::memset(field, 0, size);
  std::memcpy(field, cp932, std::strlen(cp932));
  return true;
}

void usage() {
  std::fputs(
      "usage: kasumiro-mksfx [options] OUTPUT ARCHIVE.lzh\n"
      "  --stub FILE      put the archive behind this stub (default: a bare DOS part)\n"
      "  --title TEXT     window title (50 bytes)\n"
      "  --message TEXT   label above the directory box (40 bytes)\n"
      "  --dir TEXT       default destination, may hold %ExtractDir%-style variables (255 bytes)\n"
      "  --prompt TEXT    text under the directory box (100 bytes)\n"
      "  --command TEXT   command run after extracting (259 bytes)\n"
      "  --attributes     restore file attributes\n"
      "  --overwrite      overwrite existing files without asking\n"
      "  --admin          ask for administrator rights when started (needs --stub)\n",
      stderr);
}

}  // namespace

int main(int argc, char** argv) {
  SfxConfig config;
  std::memset(&config, 0, sizeof config);
  const char* stub = nullptr;
  bool admin = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
    const char* option = argv[i];
    bool hasValue = i + 1 < argc;
    bool ok = true;
    if (!std::strcmp(option, "--attributes"))
      config.flags |= FLAG_RESTORE_ATTRIBUTES;
    else if (!std::strcmp(option, "--overwrite"))
      config.flags |= FLAG_OVERWRITE;
    else if (!std::strcmp(option, "--admin"))
      admin = true;
    else if (!hasValue) {
      usage();
      return 2;
    } else if (!std::strcmp(option, "--stub"))
      stub = argv[++i];
    else if (!std::strcmp(option, "--title"))
      ok = setText(config.title, sizeof config.title, argv[++i], "the title");
    else if (!std::strcmp(option, "--message"))
      ok = setText(config.message, sizeof config.message, argv[++i], "the message");
    else if (!std::strcmp(option, "--dir"))
      ok = setText(config.defaultDir, sizeof config.defaultDir, argv[++i], "the directory");
    else if (!std::strcmp(option, "--prompt"))
      ok = setText(config.prompt, sizeof config.prompt, argv[++i], "the prompt");
    else if (!std::strcmp(option, "--command"))
      ok = setText(config.runCommand, sizeof config.runCommand, argv[++i], "the command");
    else {
      usage();
      return 2;
    }
    if (!ok) return 1;
  }
  if (argc - i != 2 || (admin && !stub)) {
    usage();
    return 2;
  }
  const char* output = argv[i];
  std::vector<uint8_t> image, archive;
  if (!readFileBytes(argv[i + 1], archive)) {
    std::fprintf(stderr, "kasumiro-mksfx: cannot read %s\n", argv[i + 1]);
    return 1;
  }
  if (stub) {
    if (!readFileBytes(stub, image) || image.size() < DOS_PART_SIZE) {
      std::fprintf(stderr, "kasumiro-mksfx: cannot read the stub %s\n", stub);
      return 1;
    }
  } else {
    image.resize(DOS_PART_SIZE);
    writeDosPart(image.data(), DEFAULT_PE_OFFSET);
  }
  config.archiveOffset = static_cast<uint32_t>(image.size());
  std::memcpy(image.data() + CONFIG_BLOCK_OFFSET, &config, CONFIG_BLOCK_SIZE);
  image.insert(image.end(), archive.begin(), archive.end());
  std::string error;
  if (admin && !setManifestExecutionLevel(image, "requireAdministrator", error)) {
    std::fprintf(stderr, "kasumiro-mksfx: %s: %s\n", stub, error.c_str());
    return 1;
  }
  if (!writeFileBytes(output, image)) {
    std::fprintf(stderr, "kasumiro-mksfx: cannot write %s\n", output);
    return 1;
  }
  return 0;
}
