#include "tools/pack/stub_image.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
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

}  // namespace

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
    PeImage pe;
    if (!readPeImage(image, pe, error)) return fail(shown(stub) + ": " + error);
    const size_t checksum = pe.optionalHeader + OH_CHECKSUM;
    put32(image.data() + checksum, peImageChecksum(image.data(), image.size(), checksum));
  }
  return true;
}

}  // namespace pack
