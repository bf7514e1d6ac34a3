// kasumiro-layout: rewrites the stub as linked by MinGW-w64 into the
// self-extractor layout (DOS header with the marker, configuration block at
// 512, DOS stub program, PE image behind them), with the load configuration
// directory pointing to the program's _load_config_used.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/image/file_bytes.h"
#include "tools/image/pe_layout.h"

namespace {

void usage() {
  std::fputs(
      "usage: kasumiro-layout [options] IN.exe OUT.exe\n"
      "  --pe-offset N     e_lfanew (default 0x570; moved up to a suitable offset)\n"
      "  --compact         smallest headers: e_lfanew right behind the DOS program,\n"
      "                    unused data directories cut, a section that starts in the\n"
      "                    page of the one before joined to it, zero-filled data folded\n"
      "                    into a section before it with the same access\n"
      "  --strip-symbols   drop a COFF symbol table instead of refusing the image\n"
      "                    (link without -s so that _load_config_used is found)\n",
      stderr);
}

}  // namespace

int main(int argc, char** argv) {
  LayoutOptions options;
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    if (std::strcmp(argv[i], "--compact") == 0) {
      options.compactHeaders = true;
    } else if (std::strcmp(argv[i], "--strip-symbols") == 0) {
      options.stripSymbols = true;
    } else if (std::strcmp(argv[i], "--pe-offset") == 0 && i + 1 < argc) {
      char* end = nullptr;
      errno = 0;
      unsigned long value = std::strtoul(argv[++i], &end, 0);
      if (errno != 0 || end == argv[i] || *end != '\0' || value == 0 || value > 0x7FFFFFFF) {
        std::fprintf(stderr, "kasumiro-layout: bad PE offset %s\n", argv[i]);
        return 2;
      }
      options.peOffset = static_cast<uint32_t>(value);
    } else {
      usage();
      return 2;
    }
  }
  if (argc - i != 2) {
    usage();
    return 2;
  }
  const char* input = argv[i];
  const char* output = argv[i + 1];

  std::vector<uint8_t> linked;
  if (!readFileBytes(input, linked)) {
    std::fprintf(stderr, "kasumiro-layout: cannot read %s: %s\n", input, std::strerror(errno));
    return 1;
  }
  std::vector<uint8_t> image;
  std::string error;
  if (!layoutStubImage(linked, image, error, options)) {
    std::fprintf(stderr, "kasumiro-layout: %s: %s\n", input, error.c_str());
    return 1;
  }
  if (!writeFileBytes(output, image)) {
    std::fprintf(stderr, "kasumiro-layout: cannot write %s\n", output);
    return 1;
  }
  return 0;
}
