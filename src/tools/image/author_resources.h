// The author's identity as resources: an icon file (.ico) as the images and
// the group of an icon, and the version information that Windows shows in a
// file's properties.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/image/pe_resources.h"

// Replaces the icon group with the id group (in every language it has) and
// the images it names by the images of iconFile, the bytes of an .ico file
// (bitmaps and PNG images alike). The new group takes the language of the one
// it replaces. False with error, resources unchanged, for a file that is not
// a well-formed icon file.
bool replaceIconGroup(std::vector<Resource>& resources, uint16_t group,
                      const std::vector<uint8_t>& iconFile, std::string& error);

// A version A.B.C.D (one to four numbers from 0 to 65535; missing ones are 0).
bool parseVersionNumber(const std::string& text, uint16_t (&version)[4]);

struct VersionInfo {
  uint16_t fileVersion[4] = {0, 0, 0, 0};  // also the product version
  // The string table, names (CompanyName, ...) and UTF-8 values, in order.
  std::vector<std::pair<std::string, std::string>> strings;
};

// The version information's table is in no particular language with UTF-16
// texts: the author's texts may be in any language, and Windows finds the
// table through the translation entry whatever its language.
constexpr uint16_t VERSION_LANGUAGE = 0x0000;
constexpr uint16_t VERSION_CODE_PAGE = 1200;  // UTF-16

// The data of a version resource (VS_VERSIONINFO): the fixed part with the
// file and product version, a StringFileInfo table of the strings, and a
// VarFileInfo translation naming that table. False with error when a value
// is not UTF-8 or is too long for the format.
bool versionResource(const VersionInfo& info, std::vector<uint8_t>& data, std::string& error);
