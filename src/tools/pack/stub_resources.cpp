#include "tools/pack/stub_resources.h"

#include <algorithm>
#include <cstdio>

#include "tools/image/author_resources.h"
#include "tools/image/pe_resources.h"
#include "tools/pack/pack_support.h"

namespace pack {

namespace {

constexpr uint16_t ICON_GROUP = 103;  // the program's icon (stub/resource.h)
constexpr uint16_t VERSION_ID = 1;
constexpr uint16_t EXACT_TEXTS_ID = 1;
// Far more than an icon of every size at 256 pixels in PNG takes.
constexpr size_t ICON_FILE_LIMIT = 4 << 20;

}  // namespace

std::string* versionTextOption(const std::string& option, ResourceSettings& settings) {
  if (option == "--product") return &settings.product;
  if (option == "--company") return &settings.company;
  if (option == "--description") return &settings.description;
  if (option == "--copyright") return &settings.copyright;
  return nullptr;
}

namespace {

bool hasVersion(const ResourceSettings& settings) {
  return !settings.fileVersion.empty() || !settings.product.empty() || !settings.company.empty() ||
         !settings.description.empty() || !settings.copyright.empty();
}

}  // namespace

bool changesResources(const ResourceSettings& settings) {
  return settings.language != "auto" || !settings.icon.empty() || hasVersion(settings) ||
         !settings.exactTexts.empty();
}

bool editStubResources(const ResourceSettings& settings, const std::string& stubName,
                       std::vector<uint8_t>& image) {
  if (!changesResources(settings)) return true;
  const bool version = hasVersion(settings);
  std::vector<Resource> resources;
  std::string error;
  if (!readResources(image, resources, error)) return fail(shown(stubName) + ": " + error);

  if (settings.language != "auto") {
    // One face: the other language's dialogs and string tables go.
    const uint16_t other = settings.language == "ja" ? LANGUAGE_ENGLISH_US : LANGUAGE_JAPANESE;
    const uint16_t kept = settings.language == "ja" ? LANGUAGE_JAPANESE : LANGUAGE_ENGLISH_US;
    if (!std::any_of(resources.begin(), resources.end(), [&](const Resource& r) {
          return r.type == ResourceKey(RESOURCE_DIALOG) && r.language == kept;
        }))
      return fail(shown(stubName) + " has no " + settings.language + " dialogs");
    resources.erase(std::remove_if(resources.begin(), resources.end(),
                                   [&](const Resource& r) {
                                     return (r.type == ResourceKey(RESOURCE_DIALOG) ||
                                             r.type == ResourceKey(RESOURCE_STRING)) &&
                                            r.language == other;
                                   }),
                    resources.end());
  }
  if (!settings.icon.empty()) {
    std::string file;
    if (!readSmallFile(settings.icon, ICON_FILE_LIMIT, "the icon", file)) return false;
    const std::vector<uint8_t> icon(file.begin(), file.end());
    if (!replaceIconGroup(resources, ICON_GROUP, icon, error))
      return fail(shown(settings.icon) + " is " + error);
  }
  if (version) {
    VersionInfo info;
    if (!settings.fileVersion.empty() &&
        !parseVersionNumber(settings.fileVersion, info.fileVersion))
      return fail("--file-version takes A.B.C.D (numbers up to 65535), not " +
                  shown(settings.fileVersion));
    char number[32];
    const uint16_t* v = info.fileVersion;
    std::snprintf(number, sizeof number, "%u.%u.%u.%u", v[0], v[1], v[2], v[3]);
    const std::pair<const char*, std::string> strings[] = {
        {"CompanyName", settings.company},
        {"FileDescription", settings.description},
        {"FileVersion", settings.fileVersion.empty() ? "" : number},
        {"LegalCopyright", settings.copyright},
        {"ProductName", settings.product},
        {"ProductVersion", settings.fileVersion.empty() ? "" : number},
    };
    for (const auto& [name, value] : strings)
      if (!value.empty()) info.strings.emplace_back(name, value);
    Resource r;
    r.type = RESOURCE_VERSION;
    r.name = VERSION_ID;
    r.language = LANGUAGE_NEUTRAL;
    if (!versionResource(info, r.data, error)) return fail("the version information: " + error);
    setResource(resources, std::move(r));
  }
  if (!settings.exactTexts.empty()) {
    Resource r;
    r.type = RESOURCE_RCDATA;
    r.name = EXACT_TEXTS_ID;
    r.language = LANGUAGE_NEUTRAL;
    r.data = settings.exactTexts;
    setResource(resources, std::move(r));
  }
  if (!writeResources(image, resources, error)) return fail(shown(stubName) + ": " + error);
  return true;
}

}  // namespace pack
