#include "tools/image/pe_resources.h"

#include <algorithm>
#include <tuple>

#include "tools/image/pe_format.h"
#include "tools/image/pe_image.h"
#include "tools/image/pe_layout.h"

namespace {

// Optional header fields that only this writer changes.
constexpr size_t OH_SIZE_OF_INITIALIZED_DATA = 8;
constexpr size_t OH_SIZE_OF_IMAGE = 56;
constexpr uint32_t IMAGE_SCN_CNT_INITIALIZED_DATA = 0x40;

// A tree that refers to its own directories can describe far more resources
// than it holds; real executables have some dozens.
constexpr size_t MAX_RESOURCES = 4096;
constexpr uint64_t MAX_RESOURCE_BYTES = 64u << 20;

uint32_t alignUp(uint64_t value, uint32_t alignment) {
  return static_cast<uint32_t>((value + alignment - 1) / alignment * alignment);
}

bool sameKey(const Resource& a, const Resource& b) {
  return a.type == b.type && a.name == b.name && a.language == b.language;
}

bool keyBefore(const Resource* a, const Resource* b) {
  if (a->type != b->type) return a->type < b->type;
  if (a->name != b->name) return a->name < b->name;
  return a->language < b->language;
}

class TreeReader {
 public:
  TreeReader(const std::vector<uint8_t>& image, const PeImage& pe, size_t base, uint32_t size,
             std::vector<Resource>& out, std::string& error)
      : image_(image), pe_(pe), base_(base), size_(size), out_(out), error_(error) {}

  bool read() {
    Resource path;
    return readDirectory(0, 0, path);
  }

 private:
  bool fail(const std::string& text) {
    error_ = "resources: " + text;
    return false;
  }
  bool inside(uint64_t offset, uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }
  const uint8_t* at(uint64_t offset) const { return image_.data() + base_ + offset; }

  bool readName(uint32_t offset, std::u16string& name) {
    if (!inside(offset, 2)) return fail("a name at " + hex(offset) + " is outside the directory");
    const uint16_t length = get16(at(offset));
    if (length == 0 || !inside(offset + 2, uint64_t{length} * 2))
      return fail("a name at " + hex(offset) + " is empty or outside the directory");
    name.clear();
    for (uint16_t i = 0; i < length; ++i)
      name += static_cast<char16_t>(get16(at(offset + 2 + 2 * uint64_t{i})));
    return true;
  }

  // level 0: types, 1: names, 2: languages (whose entries are data entries).
  bool readDirectory(uint32_t offset, int level, Resource& path) {
    if (!inside(offset, RESOURCE_DIRECTORY_SIZE))
      return fail("a directory at " + hex(offset) + " is outside the resource directory");
    const size_t named = get16(at(offset + 12)), count = named + get16(at(offset + 14));
    if (!inside(offset + RESOURCE_DIRECTORY_SIZE, RESOURCE_ENTRY_SIZE * uint64_t{count}))
      return fail("the entries of a directory at " + hex(offset) + " are cut off");
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* entry = at(offset + RESOURCE_DIRECTORY_SIZE + RESOURCE_ENTRY_SIZE * i);
      const uint32_t id = get32(entry), target = get32(entry + 4);
      ResourceKey key;
      if (id & RESOURCE_SUBDIRECTORY) {
        if (!readName(id & ~RESOURCE_SUBDIRECTORY, key.name)) return false;
      } else if (id > 0xFFFF) {
        return fail("the id " + hex(id) + " is not a 16-bit number");
      } else {
        key.id = static_cast<uint16_t>(id);
      }
      const bool subdirectory = (target & RESOURCE_SUBDIRECTORY) != 0;
      if (subdirectory != (level < 2)) return fail("the tree is not three levels deep");
      if (level == 0) {
        path.type = key;
      } else if (level == 1) {
        path.name = key;
      } else if (key.named()) {
        return fail("a language is named");
      } else {
        path.language = key.id;
        if (!readData(target, path)) return false;
        continue;
      }
      if (!readDirectory(target & ~RESOURCE_SUBDIRECTORY, level + 1, path)) return false;
    }
    return true;
  }

  bool readData(uint32_t offset, const Resource& path) {
    if (!inside(offset, RESOURCE_DATA_ENTRY_SIZE))
      return fail("a data entry at " + hex(offset) + " is outside the resource directory");
    const uint32_t rva = get32(at(offset)), size = get32(at(offset + 4));
    size_t file = 0;
    if (!pe_.rvaToFileOffset(rva, size, file))
      return fail("the data at " + hex(rva) + " is not in a section's raw data");
    total_ += size;
    if (out_.size() >= MAX_RESOURCES || total_ > MAX_RESOURCE_BYTES)
      return fail("more resources than an executable holds");
    for (const Resource& r : out_)
      if (sameKey(r, path)) return fail("a resource is there twice");
    Resource r;
    r.type = path.type;
    r.name = path.name;
    r.language = path.language;
    r.codePage = get32(at(offset + 8));
    r.data.assign(image_.begin() + static_cast<std::ptrdiff_t>(file),
                  image_.begin() + static_cast<std::ptrdiff_t>(file + size));
    out_.push_back(std::move(r));
    return true;
  }

  const std::vector<uint8_t>& image_;
  const PeImage& pe_;
  size_t base_;
  uint32_t size_;
  std::vector<Resource>& out_;
  std::string& error_;
  uint64_t total_ = 0;
};

// A directory of the new tree: the sorted resources [first, last) that it
// covers and its level.
struct Directory {
  size_t first, last;
  int level;
  uint32_t offset;
};

const ResourceKey& keyAt(const Resource& r, int level) { return level == 0 ? r.type : r.name; }

}  // namespace

bool ResourceKey::operator<(const ResourceKey& other) const {
  if (named() != other.named()) return named();
  return named() ? name < other.name : id < other.id;
}

bool readResources(const std::vector<uint8_t>& image, std::vector<Resource>& resources,
                   std::string& error) {
  resources.clear();
  PeImage pe;
  if (!readPeImage(image, pe, error)) return false;
  const PeDirectory directory = pe.directory(DIRECTORY_RESOURCE);
  if (directory.size == 0) return true;
  size_t base = 0;
  if (!pe.rvaToFileOffset(directory.address, directory.size, base)) {
    error = "resources: the directory is not in a section's raw data";
    return false;
  }
  if (!TreeReader(image, pe, base, directory.size, resources, error).read()) {
    resources.clear();
    return false;
  }
  return true;
}

const Resource* findResource(const std::vector<Resource>& resources, const ResourceKey& type,
                             const ResourceKey& name, uint16_t language) {
  for (const Resource& r : resources)
    if (r.type == type && r.name == name && r.language == language) return &r;
  return nullptr;
}

void setResource(std::vector<Resource>& resources, Resource resource) {
  for (Resource& r : resources) {
    if (sameKey(r, resource)) {
      r = std::move(resource);
      return;
    }
  }
  resources.push_back(std::move(resource));
}

bool layOutResources(const std::vector<Resource>& resources, uint32_t sectionAddress,
                     uint32_t dataAlignment, std::vector<uint8_t>& section, std::string& error) {
  std::vector<const Resource*> sorted;
  for (const Resource& r : resources) sorted.push_back(&r);
  std::sort(sorted.begin(), sorted.end(), keyBefore);
  for (size_t i = 1; i < sorted.size(); ++i) {
    if (sameKey(*sorted[i - 1], *sorted[i])) {
      error = "resources: a type, name and language is given twice";
      return false;
    }
  }

  // The directories breadth first: the types, each type's names, each
  // name's languages; then one data entry per resource.
  std::vector<Directory> directories{{0, sorted.size(), 0, 0}};
  uint32_t size = 0;
  for (size_t d = 0; d < directories.size(); ++d) {
    directories[d].offset = size;
    const Directory dir = directories[d];  // the list grows below
    size_t entries = 0;
    for (size_t i = dir.first; i < dir.last; ++entries) {
      size_t end = i + 1;
      if (dir.level < 2) {
        while (end < dir.last && keyAt(*sorted[end], dir.level) == keyAt(*sorted[i], dir.level))
          ++end;
        directories.push_back({i, end, dir.level + 1, 0});
      }
      i = end;
    }
    size += static_cast<uint32_t>(RESOURCE_DIRECTORY_SIZE + RESOURCE_ENTRY_SIZE * entries);
  }
  const uint32_t dataEntries = size;
  size += static_cast<uint32_t>(RESOURCE_DATA_ENTRY_SIZE * sorted.size());
  // The names, each a count of units and the units, where they first occur.
  std::vector<std::pair<std::u16string, uint32_t>> names;
  auto nameOffset = [&](const std::u16string& name) {
    for (const auto& n : names)
      if (n.first == name) return n.second;
    names.emplace_back(name, size);
    size += static_cast<uint32_t>(2 + 2 * name.size());
    return names.back().second;
  };
  for (const Resource* r : sorted) {
    if (r->type.named()) nameOffset(r->type.name);
    if (r->name.named()) nameOffset(r->name.name);
  }
  std::vector<uint32_t> dataOffsets;
  for (const Resource* r : sorted) {
    size = alignUp(size, dataAlignment);
    dataOffsets.push_back(size);
    size += static_cast<uint32_t>(r->data.size());
  }

  section.assign(size, 0);
  uint8_t* out = section.data();
  for (const auto& n : names) {
    put16(out + n.second, static_cast<uint16_t>(n.first.size()));
    for (size_t k = 0; k < n.first.size(); ++k) put16(out + n.second + 2 + 2 * k, n.first[k]);
  }
  size_t child = 1;  // the next directory: children follow in the order they were made
  for (const Directory& dir : directories) {
    uint16_t namedEntries = 0, idEntries = 0;
    uint8_t* entry = out + dir.offset + RESOURCE_DIRECTORY_SIZE;
    for (size_t i = dir.first; i < dir.last; entry += RESOURCE_ENTRY_SIZE) {
      if (dir.level == 2) {
        put32(entry, sorted[i]->language);
        put32(entry + 4, dataEntries + static_cast<uint32_t>(RESOURCE_DATA_ENTRY_SIZE * i));
        ++idEntries;
        ++i;
        continue;
      }
      const ResourceKey& key = keyAt(*sorted[i], dir.level);
      if (key.named()) {
        put32(entry, RESOURCE_SUBDIRECTORY | nameOffset(key.name));
        ++namedEntries;
      } else {
        put32(entry, key.id);
        ++idEntries;
      }
      put32(entry + 4, RESOURCE_SUBDIRECTORY | directories[child].offset);
      i = directories[child++].last;
    }
    put16(out + dir.offset + 12, namedEntries);
    put16(out + dir.offset + 14, idEntries);
  }
  for (size_t i = 0; i < sorted.size(); ++i) {
    uint8_t* entry = out + dataEntries + RESOURCE_DATA_ENTRY_SIZE * i;
    put32(entry, sectionAddress + dataOffsets[i]);
    put32(entry + 4, static_cast<uint32_t>(sorted[i]->data.size()));
    put32(entry + 8, sorted[i]->codePage);
    std::copy(sorted[i]->data.begin(), sorted[i]->data.end(), out + dataOffsets[i]);
  }
  return true;
}

bool writeResources(std::vector<uint8_t>& image, const std::vector<Resource>& resources,
                    std::string& error) {
  PeImage pe;
  if (!readPeImage(image, pe, error)) return false;
  const PeDirectory directory = pe.directory(DIRECTORY_RESOURCE);
  const PeSection* section = nullptr;
  for (const PeSection& s : pe.sections)
    if (directory.size != 0 && s.virtualAddress == directory.address && s.rawSize != 0)
      section = &s;
  if (!section) {
    error = "resources: the image has no section that starts with its resources";
    return false;
  }
  for (const PeSection& s : pe.sections) {
    if (&s == section) continue;
    const char* name = reinterpret_cast<const char*>(image.data() + s.header);
    if (s.virtualAddress > section->virtualAddress ||
        (s.rawSize != 0 && s.rawPointer > section->rawPointer)) {
      error = "resources: the section " + std::string(name, std::find(name, name + 8, 0)) +
              " lies behind the resources, which have to be the last section to grow";
      return false;
    }
  }
  for (uint32_t i = 0; i < pe.dataDirectories.size(); ++i) {
    const PeDirectory& d = pe.dataDirectories[i];
    if (i != DIRECTORY_RESOURCE && d.size != 0 &&
        d.address + uint64_t{d.size} > directory.address) {
      error = "resources: data directory " + std::to_string(i) + " lies in or behind them";
      return false;
    }
  }
  const uint64_t sectionEnd = uint64_t{section->rawPointer} + section->rawSize;
  if (sectionEnd != pe.rawDataEnd || image.size() != sectionEnd) {
    error = "resources: " + std::to_string(image.size() - pe.rawDataEnd) +
            " bytes follow the last section; write the resources before appending";
    return false;
  }

  std::vector<uint8_t> bytes;
  if (!layOutResources(resources, section->virtualAddress, pe.pe32Plus ? 8 : 4, bytes, error))
    return false;
  const uint32_t rawSize = alignUp(bytes.size(), pe.fileAlignment);
  const uint32_t oldRawSize = section->rawSize;
  const size_t header = section->header, optional = pe.optionalHeader;
  const uint32_t address = section->virtualAddress;
  const uint32_t characteristics = section->characteristics;
  image.resize(section->rawPointer);
  image.insert(image.end(), bytes.begin(), bytes.end());
  image.resize(image.size() + (rawSize - bytes.size()), 0);

  uint8_t* h = image.data();
  put32(h + header + SH_VIRTUAL_SIZE, static_cast<uint32_t>(bytes.size()));
  put32(h + header + SH_SIZE_OF_RAW_DATA, rawSize);
  put32(h + optional + OH_SIZE_OF_IMAGE,
        alignUp(uint64_t{address} + bytes.size(), pe.sectionAlignment));
  if (characteristics & IMAGE_SCN_CNT_INITIALIZED_DATA) {
    const uint32_t initialized = get32(h + optional + OH_SIZE_OF_INITIALIZED_DATA);
    put32(h + optional + OH_SIZE_OF_INITIALIZED_DATA,
          initialized >= oldRawSize ? initialized - oldRawSize + rawSize : rawSize);
  }
  put32(h + pe.directories + 8 * DIRECTORY_RESOURCE + 4, static_cast<uint32_t>(bytes.size()));
  put32(h + optional + OH_CHECKSUM, peImageChecksum(h, image.size(), optional + OH_CHECKSUM));
  return true;
}
