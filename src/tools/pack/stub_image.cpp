#include "tools/pack/stub_image.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "tools/image/pe_image.h"
#include "tools/image/pe_layout.h"
#include "tools/image/pe_manifest.h"
#include "tools/pack/embedded_stubs.h"
#include "tools/pack/pack_support.h"

namespace pack {

namespace {

struct TextField {
  const char* option;
  size_t offset;  // in SfxConfig
  size_t size;
};

constexpr TextField TEXT_FIELDS[] = {
    {"--title", offsetof(SfxConfig, title), sizeof SfxConfig::title},
    {"--message", offsetof(SfxConfig, message), sizeof SfxConfig::message},
    {"--dir", offsetof(SfxConfig, defaultDir), sizeof SfxConfig::defaultDir},
    {"--prompt", offsetof(SfxConfig, prompt), sizeof SfxConfig::prompt},
    {"--command", offsetof(SfxConfig, runCommand), sizeof SfxConfig::runCommand},
};

const TextField* findField(const std::string& option) {
  for (const TextField& f : TEXT_FIELDS)
    if (option == f.option) return &f;
  return nullptr;
}

// Matches name (a path variable, or a path whose '?' stands for any drive
// letter) at the start of text, in either case, up to a separator or the end.
bool startsWithFolder(const char* text, const char* name) {
  for (; *name; ++name, ++text) {
    const bool any = *name == '?' && std::isalpha(static_cast<unsigned char>(*text));
    if (!any && std::tolower(static_cast<unsigned char>(*text)) !=
                    std::tolower(static_cast<unsigned char>(*name)))
      return false;
  }
  return !*text || *text == '\\' || *text == '/';
}

// The path variables of the program, the environment's names for the same
// folders, and their usual places.
const char* const ADMINISTRATOR_FOLDERS[] = {
    "%ProgramFilesDir%",
    "%CommonFilesDir%",
    "%SystemDir%",
    "%windir%",
    "%SystemRoot%",
    "%ProgramFiles%",
    "%ProgramFiles(x86)%",
    "%ProgramW6432%",
    "%CommonProgramFiles%",
    "%CommonProgramFiles(x86)%",
    "%CommonProgramW6432%",
    "?:\\Program Files",
    "?:\\Program Files (x86)",
    "?:\\Windows",
};
const char* const USER_FOLDERS[] = {
    "%TEMP%",
    "%TMP%",
    "%MyDocuments%",
    "%USERPROFILE%",
    "%HOMEDRIVE%%HOMEPATH%",
    "%HOMEPATH%",
    "%APPDATA%",
    "%LOCALAPPDATA%",
    "%OneDrive%",
    "%PUBLIC%",
    "%ProgramData%",
    "%ALLUSERSPROFILE%",
    "?:\\Users",
    "?:\\Documents and Settings",
    "?:\\ProgramData",
};

}  // namespace

DestinationKind destinationKind(const char* defaultDir, std::string* folder) {
  const char* text = defaultDir;
  while (*text == ' ' || *text == '\t') ++text;
  if (*text == '"') ++text;
  if (folder) *folder = "the current directory";
  if (!*text) return DESTINATION_USERS;  // where the file is started: often Downloads
  const struct {
    const char* const* names;
    size_t count;
    DestinationKind kind;
  } tables[] = {
      {ADMINISTRATOR_FOLDERS, sizeof ADMINISTRATOR_FOLDERS / sizeof *ADMINISTRATOR_FOLDERS,
       DESTINATION_ADMINISTRATORS},
      {USER_FOLDERS, sizeof USER_FOLDERS / sizeof *USER_FOLDERS, DESTINATION_USERS},
  };
  for (const auto& table : tables) {
    for (size_t i = 0; i < table.count; ++i) {
      if (!startsWithFolder(text, table.names[i])) continue;
      if (folder) folder->assign(text, std::strlen(table.names[i]));
      return table.kind;
    }
  }
  return DESTINATION_OTHER;
}

bool chooseExecutionLevel(StubSettings& settings) {
  if (settings.admin && settings.asInvoker)
    return fail("--admin and --as-invoker exclude each other");
  std::string folder;
  const DestinationKind kind = destinationKind(settings.config.defaultDir, &folder);
  if (kind == DESTINATION_ADMINISTRATORS && !settings.admin && !settings.asInvoker) {
    settings.admin = true;
    std::fprintf(stderr,
                 "kasumiro: the destination lies in %s, which only administrators can write: "
                 "the file asks for administrator rights (--as-invoker: it does not)\n",
                 folder.c_str());
  } else if (kind == DESTINATION_USERS && settings.admin) {
    std::fprintf(stderr,
                 "kasumiro: warning: --admin with the destination in %s, which programs without "
                 "administrator rights can write: they can put files there for the elevated file "
                 "to use (%%ProgramFilesDir%% is safe)\n",
                 folder.c_str());
  }
  return true;
}

bool isBlockTextOption(const std::string& option) { return findField(option) != nullptr; }

bool fillBlockTexts(const std::vector<BlockText>& texts, SfxConfig& config) {
  for (const BlockText& t : texts) {
    const TextField* f = findField(t.option);
    if (!f) return fail(t.option + " is not a text of the block");
    std::string cp932;
    if (!toCp932(t.utf8, cp932))
      return fail(t.option + " holds a character that CP932 cannot represent");
    if (cp932.size() >= f->size)
      return fail(t.option + " is " + std::to_string(cp932.size()) + " bytes in CP932; at most " +
                  std::to_string(f->size - 1) + " fit");
    char* field = reinterpret_cast<char*>(&config) + f->offset;
    std::memset(field, 0, f->size);
    std::memcpy(field, cp932.data(), cp932.size());
  }
  return true;
}

bool makeStubImage(const StubSettings& settings, std::vector<uint8_t>& image) {
  const std::string& stub = settings.stub;
  if (stub == "i686" || stub == "x86_64") {
    const EmbeddedStub built = embeddedStub(stub == "i686" ? STUB_I686 : STUB_X86_64);
    if (!built.data)
      return fail("this kasumiro was built without the " + stub + " stub; use --stub FILE");
    image.assign(built.data, built.data + built.size);
  } else {
    const int fd = open(stub.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail("cannot open the stub " + shown(stub) + ": " + reason());
    uint8_t buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) image.insert(image.end(), buffer, buffer + n);
    close(fd);
  }
  if (image.size() < CONFIG_BLOCK_OFFSET + CONFIG_BLOCK_SIZE || image[0] != 'M' ||
      image[1] != 'Z' || std::memcmp(image.data() + 0x24, "LHA's SFX ", 10) != 0)
    return fail(shown(stub) + " is not a Kasumiro stub");
  // A signed stub is refused rather than quietly unsigned: its signature
  // covers the stub as it was and would be stale once the block and the
  // archive are written, and whoever signed it should learn that it is the
  // finished file that needs signing. Otherwise the whole image: a stub cut
  // short would have the archive written over its own code, one with
  // something behind it (a finished self-extracting file) would read the
  // wrong archive.
  PeImage pe;
  std::string problem;
  if (!readPeImage(image, pe, problem)) {
    if (problem.rfind(PE_IMAGE_SIGNED, 0) == 0)
      return fail(shown(stub) +
                  " is signed, and no signature survives the block and the archive written "
                  "into it: use the stub unsigned and sign the finished file");
    return fail(shown(stub) + " is not a whole stub: " + problem);
  }
  uint32_t archiveOffset = 0;
  std::memcpy(&archiveOffset, image.data() + CONFIG_BLOCK_OFFSET, sizeof archiveOffset);
  if (pe.peHeader < CONFIG_BLOCK_OFFSET + CONFIG_BLOCK_SIZE)
    return fail(shown(stub) + " is not a whole stub: its Windows headers lie in the block");
  if (archiveOffset != image.size())
    return fail(shown(stub) + " is not a whole stub: it is " + std::to_string(image.size()) +
                " bytes, its block expects " + std::to_string(archiveOffset));
  // The resources first: the archive goes behind the stub as it ends up.
  if (!editStubResources(settings.resources, stub, image)) return false;
  SfxConfig config = settings.config;
  config.archiveOffset = static_cast<uint32_t>(image.size());
  std::memcpy(image.data() + CONFIG_BLOCK_OFFSET, &config, CONFIG_BLOCK_SIZE);
  // The stub's checksum covers the stub alone, as it does without --admin.
  std::string error;
  if (settings.admin && !setManifestExecutionLevel(image, "requireAdministrator", error))
    return fail(shown(stub) + ": " + error);
  if (changesResources(settings.resources) && !settings.admin) {
    PeImage edited;
    if (!readPeImage(image, edited, error)) return fail(shown(stub) + ": " + error);
    const size_t checksum = edited.optionalHeader + OH_CHECKSUM;
    put32(image.data() + checksum, peImageChecksum(image.data(), image.size(), checksum));
  }
  return true;
}

}  // namespace pack
