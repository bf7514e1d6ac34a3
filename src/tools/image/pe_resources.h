// The resources of a Windows executable as a list that a tool can edit (type,
// name and language, each with its bytes), read from an image's resource
// tree and written back as a new resource section. The section is laid out
// as Windows looks resources up: in every directory the named entries first,
// sorted by their UTF-16 units, then the numbered ones by ascending id; the
// directories, then the data entries, the names and the data, each aligned.
// It has to be the image's last section (in memory and in the file), so that
// it can grow; its header, SizeOfImage, the resource directory and the
// checksum are written anew. PE32 and PE32+ alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A type or a name: a number, or a string when name is not empty.
struct ResourceKey {
  uint16_t id = 0;
  std::u16string name;

  ResourceKey() = default;
  ResourceKey(uint16_t number) : id(number) {}  // NOLINT: ids are written as numbers
  bool named() const { return !name.empty(); }
  bool operator==(const ResourceKey& other) const { return id == other.id && name == other.name; }
  bool operator!=(const ResourceKey& other) const { return !(*this == other); }
  // Windows's order: named entries first, by their units, then ids.
  bool operator<(const ResourceKey& other) const;
};

struct Resource {
  ResourceKey type;
  ResourceKey name;
  uint16_t language = 0;
  uint32_t codePage = 0;  // as the data entry has it; 0 for almost every resource
  std::vector<uint8_t> data;
};

// Standard types.
constexpr uint16_t RESOURCE_ICON = 3;
constexpr uint16_t RESOURCE_DIALOG = 5;
constexpr uint16_t RESOURCE_STRING = 6;
constexpr uint16_t RESOURCE_RCDATA = 10;
constexpr uint16_t RESOURCE_ICON_GROUP = 14;
constexpr uint16_t RESOURCE_VERSION = 16;
constexpr uint16_t RESOURCE_MANIFEST = 24;

constexpr uint16_t LANGUAGE_NEUTRAL = 0;
constexpr uint16_t LANGUAGE_ENGLISH_US = 0x0409;
constexpr uint16_t LANGUAGE_JAPANESE = 0x0411;

// Every resource of image, in the tree's order. An image without resources
// gives an empty list. False with a description in error when the image or
// its tree is broken: an offset outside the directory, a tree that is not
// three levels deep, data outside the sections' raw data, a key twice.
bool readResources(const std::vector<uint8_t>& image, std::vector<Resource>& resources,
                   std::string& error);

// The resource with this type, name and language; null when there is none.
const Resource* findResource(const std::vector<Resource>& resources, const ResourceKey& type,
                             const ResourceKey& name, uint16_t language);

// Replaces the resource of the same type, name and language, or adds it.
void setResource(std::vector<Resource>& resources, Resource resource);

// The bytes of a resource section for resources at the RVA sectionAddress,
// data aligned to dataAlignment (4 or 8). Its length is the directory's size.
// False with error for a key given twice.
bool layOutResources(const std::vector<Resource>& resources, uint32_t sectionAddress,
                     uint32_t dataAlignment, std::vector<uint8_t>& section, std::string& error);

// Replaces the resource section of image by one that holds resources. False
// with error (image unchanged) when the image is broken, has no resource
// section, its resources do not start their section, another section or a
// data directory lies behind or inside it, or bytes follow the last section
// (write the resources before appending anything).
bool writeResources(std::vector<uint8_t>& image, const std::vector<Resource>& resources,
                    std::string& error);
