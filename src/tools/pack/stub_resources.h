// What the author adds to the stub's resources: the languages of its face,
// an icon, version information, and the exact texts of the configuration.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pack {

struct ResourceSettings {
  std::string language = "auto";  // ja, en: only that face's dialogs and messages; auto: both
  std::string icon;               // --icon: an .ico file for the program's icon
  std::string fileVersion;        // --file-version A.B.C.D
  std::string product, company, description, copyright;
  std::vector<uint8_t> exactTexts;  // RT_RCDATA 1 (neutral) when not empty
};

// The options that set a text of the version information: --product,
// --company, --description and --copyright; the setting they write.
std::string* versionTextOption(const std::string& option, ResourceSettings& settings);

// Whether settings change the stub's resources at all.
bool changesResources(const ResourceSettings& settings);

// Writes what settings add into the stub image (before anything is appended
// to it); leaves an image that needs no change as it is. False (reported)
// when the icon file cannot be read or used, or the stub's resources cannot
// be rewritten.
bool editStubResources(const ResourceSettings& settings, const std::string& stubName,
                       std::vector<uint8_t>& image);

}  // namespace pack
