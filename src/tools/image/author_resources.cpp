#include "tools/image/author_resources.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tools/image/pe_format.h"

namespace {

// An .ico file: a 6-byte header (0, 1, count), 16-byte entries (width,
// height, colours, reserved, planes, bits, bytes, file offset), the images.
// A group resource has the same header and 14-byte entries that end in the
// image's resource id instead of its offset.
constexpr size_t ICO_HEADER = 6;
constexpr size_t ICO_ENTRY = 16;
constexpr size_t GROUP_ENTRY = 14;
// More images than any icon has (Windows's own have up to a dozen).
constexpr size_t MAX_ICON_IMAGES = 64;
constexpr uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr uint32_t BITMAP_INFO_HEADER = 40;

bool iconFail(std::string& error, const std::string& text) {
  error = "not a usable icon file: " + text;
  return false;
}

// The image ids that a group resource names (as far as it is well formed).
void groupImageIds(const std::vector<uint8_t>& group, std::vector<uint16_t>& ids) {
  if (group.size() < ICO_HEADER) return;
  const size_t count = get16(group.data() + 4);
  for (size_t i = 0; i < count && ICO_HEADER + GROUP_ENTRY * (i + 1) <= group.size(); ++i)
    ids.push_back(get16(group.data() + ICO_HEADER + GROUP_ENTRY * i + 12));
}

void push16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void push32(std::vector<uint8_t>& out, uint32_t v) {
  push16(out, static_cast<uint16_t>(v));
  push16(out, static_cast<uint16_t>(v >> 16));
}

void align4(std::vector<uint8_t>& out) {
  while (out.size() % 4) out.push_back(0);
}

// utf8 as UTF-16 units; false when it is not UTF-8 (overlong forms,
// surrogates and values past U+10FFFF included) or holds U+0000.
bool toUtf16(const std::string& utf8, std::u16string& out) {
  out.clear();
  for (size_t i = 0; i < utf8.size();) {
    const uint8_t lead = static_cast<uint8_t>(utf8[i]);
    const size_t length = lead < 0x80    ? 1
                          : lead >= 0xF0 ? 4
                          : lead >= 0xE0 ? 3
                          : lead >= 0xC0 ? 2
                                         : 0;
    if (length == 0 || lead > 0xF4 || i + length > utf8.size()) return false;
    uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      const uint8_t next = static_cast<uint8_t>(utf8[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = c << 6 | (next & 0x3F);
    }
    static const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c == 0 || c < smallest[length] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return false;
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      c = 0xDC00 + (c & 0x3FF);
    }
    out += static_cast<char16_t>(c);
    i += length;
  }
  return true;
}

void pushText(std::vector<uint8_t>& out, const std::u16string& text) {
  for (char16_t c : text) push16(out, c);
  push16(out, 0);
}

// A node of the version information: length, value length, type (1 for
// text), key, its value and its children, each on a 4-byte boundary. The
// length covers the node up to the end of its last child.
class VersionNode {
 public:
  VersionNode(std::vector<uint8_t>& out, const char16_t* key, uint16_t valueLength, uint16_t type)
      : out_(out), start_(out.size()) {
    push16(out, 0);
    push16(out, valueLength);
    push16(out, type);
    pushText(out, key);
    align4(out);
  }
  ~VersionNode() { put16(out_.data() + start_, static_cast<uint16_t>(out_.size() - start_)); }

 private:
  std::vector<uint8_t>& out_;
  size_t start_;
};

}  // namespace

bool replaceIconGroup(std::vector<Resource>& resources, uint16_t group,
                      const std::vector<uint8_t>& iconFile, std::string& error) {
  const uint8_t* file = iconFile.data();
  if (iconFile.size() < ICO_HEADER || get16(file) != 0 || get16(file + 2) != 1)
    return iconFail(error, "no icon file header");
  const size_t count = get16(file + 4);
  if (count == 0 || count > MAX_ICON_IMAGES)
    return iconFail(error, std::to_string(count) + " images");
  const size_t imagesStart = ICO_HEADER + ICO_ENTRY * count;
  if (iconFile.size() < imagesStart) return iconFail(error, "the directory is cut off");

  std::vector<Resource> images;
  std::vector<uint8_t> groupData(file, file + ICO_HEADER);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = file + ICO_HEADER + ICO_ENTRY * i;
    const uint32_t bytes = get32(entry + 8), offset = get32(entry + 12);
    const std::string which = "image " + std::to_string(i + 1) + ": ";
    if (bytes < BITMAP_INFO_HEADER || offset < imagesStart || offset > iconFile.size() ||
        bytes > iconFile.size() - offset)
      return iconFail(error, which + "its bytes lie outside the file");
    const uint8_t* image = file + offset;
    uint16_t planes = get16(entry + 4), bits = get16(entry + 6);
    if (std::memcmp(image, PNG_SIGNATURE, sizeof PNG_SIGNATURE) == 0) {
      // A PNG image (Windows Vista on, the 256-pixel ones): its header chunk
      // must say what the directory says, 0 standing for 256 pixels.
      if (std::memcmp(image + 12, "IHDR", 4) != 0)
        return iconFail(error, which + "a PNG image without its header");
      const uint32_t width =
          static_cast<uint32_t>(image[16]) << 24 | image[17] << 16 | image[18] << 8 | image[19];
      const uint32_t height =
          static_cast<uint32_t>(image[20]) << 24 | image[21] << 16 | image[22] << 8 | image[23];
      if (width != (entry[0] ? entry[0] : 256u) || height != (entry[1] ? entry[1] : 256u))
        return iconFail(error, which + "the PNG image's size is not the directory's");
      if (bits == 0) bits = 32;
    } else {
      const uint32_t header = get32(image);
      const int32_t width = static_cast<int32_t>(get32(image + 4));
      const int32_t height = static_cast<int32_t>(get32(image + 8));
      if (header < BITMAP_INFO_HEADER || header > bytes || width <= 0 || width > 256 ||
          height <= 0 || height > 512)
        return iconFail(error, which + "neither a bitmap nor a PNG image");
      if (planes == 0) planes = get16(image + 12);
      if (bits == 0) bits = get16(image + 14);
    }
    Resource r;
    r.type = RESOURCE_ICON;
    r.data.assign(image, image + bytes);
    images.push_back(std::move(r));
    groupData.insert(groupData.end(), entry, entry + 4);
    push16(groupData, planes);
    push16(groupData, bits);
    push32(groupData, bytes);
    push16(groupData, 0);  // the id, below
  }

  // Out with the old group and its images.
  uint16_t language = LANGUAGE_NEUTRAL;
  bool found = false;
  std::vector<uint16_t> oldImages;
  for (const Resource& r : resources) {
    if (r.type == ResourceKey(RESOURCE_ICON_GROUP) && r.name == ResourceKey(group)) {
      if (!found) language = r.language;
      found = true;
      groupImageIds(r.data, oldImages);
    }
  }
  resources.erase(std::remove_if(resources.begin(), resources.end(),
                                 [&](const Resource& r) {
                                   if (r.type == ResourceKey(RESOURCE_ICON_GROUP))
                                     return r.name == ResourceKey(group);
                                   return r.type == ResourceKey(RESOURCE_ICON) && !r.name.named() &&
                                          std::find(oldImages.begin(), oldImages.end(),
                                                    r.name.id) != oldImages.end();
                                 }),
                  resources.end());
  // The new images under ids that no other icon has.
  uint16_t id = 0;
  for (size_t i = 0; i < images.size(); ++i) {
    do {
      ++id;
    } while (std::any_of(resources.begin(), resources.end(), [&](const Resource& r) {
      return r.type == ResourceKey(RESOURCE_ICON) && r.name == ResourceKey(id);
    }));
    images[i].name = id;
    images[i].language = language;
    put16(groupData.data() + ICO_HEADER + GROUP_ENTRY * i + 12, id);
    resources.push_back(std::move(images[i]));
  }
  Resource r;
  r.type = RESOURCE_ICON_GROUP;
  r.name = group;
  r.language = language;
  r.data = std::move(groupData);
  resources.push_back(std::move(r));
  return true;
}

bool parseVersionNumber(const std::string& text, uint16_t (&version)[4]) {
  size_t part = 0, at = 0;
  std::fill(version, version + 4, 0);
  for (;;) {
    size_t digits = 0;
    uint32_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 6) {
      value = value * 10 + static_cast<uint32_t>(text[at++] - '0');
      ++digits;
    }
    if (digits == 0 || value > 0xFFFF) return false;
    version[part++] = static_cast<uint16_t>(value);
    if (at == text.size()) return true;
    if (text[at++] != '.' || part == 4) return false;
  }
}

bool versionResource(const VersionInfo& info, std::vector<uint8_t>& data, std::string& error) {
  std::vector<std::pair<std::u16string, std::u16string>> strings;
  for (const auto& [name, value] : info.strings) {
    std::u16string key, text;
    if (!toUtf16(name, key) || !toUtf16(value, text)) {
      error = name + " is not UTF-8 text";
      return false;
    }
    // Each length field of the format is 16 bits.
    if (text.size() > 4096) {
      error = name + " is longer than 4096 characters";
      return false;
    }
    strings.emplace_back(key, text);
  }
  const uint16_t* v = info.fileVersion;
  data.clear();
  {
    VersionNode root(data, u"VS_VERSION_INFO", 52, 0);
    const uint32_t high = static_cast<uint32_t>(v[0]) << 16 | v[1];
    const uint32_t low = static_cast<uint32_t>(v[2]) << 16 | v[3];
    for (uint32_t field : {0xFEEF04BDu, 0x00010000u, high, low, high, low,  // signature, file,
                           0x3Fu, 0u,                                       // product; flags
                           0x00040004u, 1u, 0u, 0u, 0u})  // Windows NT, an application, no date
      push32(data, field);
    {
      VersionNode stringInfo(data, u"StringFileInfo", 0, 1);
      char table[9];
      std::snprintf(table, sizeof table, "%04X%04X", VERSION_LANGUAGE, VERSION_CODE_PAGE);
      VersionNode stringTable(data, std::u16string(table, table + 8).c_str(), 0, 1);
      for (const auto& [key, text] : strings) {
        align4(data);
        VersionNode string(data, key.c_str(), static_cast<uint16_t>(text.size() + 1), 1);
        pushText(data, text);
      }
    }
    align4(data);
    VersionNode varInfo(data, u"VarFileInfo", 0, 1);
    VersionNode translation(data, u"Translation", 4, 0);
    push16(data, VERSION_LANGUAGE);
    push16(data, VERSION_CODE_PAGE);
  }
  return true;
}
