// The resource-section writer on the built stubs (PE32 and PE32+): what is
// written reads back as it was given, in the order Windows searches, with
// the section's header, SizeOfImage, the directory and the checksum to
// match, and windres reads it; damaged trees are refused, never followed
// out of bounds. Then the author's resources: icon files and version
// information. Needs the stubs (build/stub-*), which ctest builds first.
#include "tools/image/pe_resources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "support/shell.h"
#include "tools/image/author_resources.h"
#include "tools/image/pe_format.h"
#include "tools/image/pe_image.h"
#include "tools/image/pe_layout.h"
#include "tools/pack/stub_resources.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes builtStub(const std::string& arch) {
  std::ifstream in(std::string(KASUMIRO_SOURCE_DIR) + "/build/stub-" + arch + "/kasumiro-stub.exe",
                   std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool sameResources(std::vector<Resource> a, std::vector<Resource> b) {
  auto key = [](const Resource& x, const Resource& y) {
    if (x.type != y.type) return x.type < y.type;
    if (x.name != y.name) return x.name < y.name;
    return x.language < y.language;
  };
  std::sort(a.begin(), a.end(), key);
  std::sort(b.begin(), b.end(), key);
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].type != b[i].type || a[i].name != b[i].name || a[i].language != b[i].language ||
        a[i].codePage != b[i].codePage || a[i].data != b[i].data)
      return false;
  return true;
}

// Checks one directory of the written tree and those below it: named
// entries first in ascending order of their units, then ascending ids.
void expectSorted(const Bytes& image, size_t base, uint32_t offset, int level) {
  const uint8_t* d = image.data() + base + offset;
  const size_t named = get16(d + 12), count = named + get16(d + 14);
  std::u16string lastName;
  uint32_t lastId = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = d + RESOURCE_DIRECTORY_SIZE + RESOURCE_ENTRY_SIZE * i;
    const uint32_t id = get32(e), target = get32(e + 4);
    EXPECT_EQ((id & RESOURCE_SUBDIRECTORY) != 0, i < named) << "level " << level;
    if (id & RESOURCE_SUBDIRECTORY) {
      const uint8_t* s = image.data() + base + (id & ~RESOURCE_SUBDIRECTORY);
      std::u16string name;
      for (uint16_t k = 0; k < get16(s); ++k) name += static_cast<char16_t>(get16(s + 2 + 2 * k));
      if (i > 0) {
        EXPECT_LT(lastName, name);
      }
      lastName = name;
    } else {
      if (i > named) {
        EXPECT_LT(lastId, id);
      }
      lastId = id;
    }
    if (level < 2) {
      ASSERT_TRUE(target & RESOURCE_SUBDIRECTORY);
      expectSorted(image, base, target & ~RESOURCE_SUBDIRECTORY, level + 1);
    } else {
      EXPECT_EQ(0u, get32(image.data() + base + target) % 4) << "data alignment";
    }
  }
}

class PeResourcesTest : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    stub_ = builtStub(GetParam());
    if (stub_.empty()) GTEST_SKIP() << "no " << GetParam() << " stub (ctest builds it)";
    std::string error;
    ASSERT_TRUE(readResources(stub_, resources_, error)) << error;
  }
  Bytes stub_;
  std::vector<Resource> resources_;
};

Resource make(ResourceKey type, ResourceKey name, uint16_t language, size_t size, uint8_t seed) {
  Resource r;
  r.type = std::move(type);
  r.name = std::move(name);
  r.language = language;
  for (size_t i = 0; i < size; ++i) r.data.push_back(static_cast<uint8_t>(seed + i * 31));
  return r;
}

ResourceKey named(const char16_t* text) {
  ResourceKey key;
  key.name = text;
  return key;
}

TEST_P(PeResourcesTest, TheStubsResourcesAreTheScriptsBothFaces) {
  for (uint16_t dialog : {101, 104, 105}) {
    EXPECT_NE(nullptr, findResource(resources_, RESOURCE_DIALOG, dialog, LANGUAGE_JAPANESE));
    EXPECT_NE(nullptr, findResource(resources_, RESOURCE_DIALOG, dialog, LANGUAGE_ENGLISH_US));
  }
  EXPECT_NE(nullptr, findResource(resources_, RESOURCE_ICON_GROUP, 103, LANGUAGE_JAPANESE));
  EXPECT_NE(nullptr, findResource(resources_, RESOURCE_MANIFEST, 1, LANGUAGE_NEUTRAL));
}

TEST_P(PeResourcesTest, EditedResourcesReadBackAndTheHeadersAgree) {
  std::vector<Resource> edited = resources_;
  // Larger than a file alignment step, named types and names, a replaced
  // dialog, removed string tables, an odd length before aligned data.
  setResource(edited, make(RESOURCE_RCDATA, 1, LANGUAGE_NEUTRAL, 5000, 1));
  setResource(edited, make(named(u"ZETA"), named(u"B"), 0x0407, 3, 2));
  setResource(edited, make(named(u"ALPHA"), 7, LANGUAGE_NEUTRAL, 17, 3));
  setResource(edited, make(named(u"ALPHA"), named(u"A"), LANGUAGE_NEUTRAL, 1, 4));
  Resource dialog = *findResource(resources_, RESOURCE_DIALOG, 101, LANGUAGE_JAPANESE);
  dialog.language = LANGUAGE_ENGLISH_US;
  setResource(edited, dialog);
  edited.erase(std::remove_if(edited.begin(), edited.end(),
                              [](const Resource& r) {
                                return r.type == ResourceKey(RESOURCE_STRING) &&
                                       r.language == LANGUAGE_ENGLISH_US;
                              }),
               edited.end());
  Bytes image = stub_;
  std::string error;
  ASSERT_TRUE(writeResources(image, edited, error)) << error;
  std::vector<Resource> back;
  ASSERT_TRUE(readResources(image, back, error)) << error;
  EXPECT_TRUE(sameResources(edited, back));

  PeImage pe;
  ASSERT_TRUE(readPeImage(image, pe, error)) << error;
  const PeSection& last = pe.sections.back();
  const PeDirectory directory = pe.directory(DIRECTORY_RESOURCE);
  EXPECT_EQ(directory.address, last.virtualAddress);
  EXPECT_EQ(directory.size, last.virtualSize);
  EXPECT_EQ(0u, last.rawSize % pe.fileAlignment);
  EXPECT_LT(last.rawSize - directory.size, pe.fileAlignment);
  EXPECT_EQ(image.size(), uint64_t{last.rawPointer} + last.rawSize);
  const uint32_t end = last.virtualAddress + last.virtualSize;
  EXPECT_EQ((end + pe.sectionAlignment - 1) / pe.sectionAlignment * pe.sectionAlignment,
            get32(image.data() + pe.optionalHeader + 56))
      << "SizeOfImage";
  const size_t checksum = pe.optionalHeader + OH_CHECKSUM;
  EXPECT_EQ(peImageChecksum(image.data(), image.size(), checksum), get32(image.data() + checksum));
  // Everything before the resources is as it was, but for the header fields.
  for (size_t i = pe.sizeOfHeaders; i < last.rawPointer; ++i)
    ASSERT_EQ(stub_[i], image[i]) << "offset " << i;
  size_t base = 0;
  ASSERT_TRUE(pe.rvaToFileOffset(directory.address, directory.size, base));
  expectSorted(image, base, 0, 0);

  // Written again from what was read, the section is the same.
  Bytes again = image;
  ASSERT_TRUE(writeResources(again, back, error)) << error;
  EXPECT_EQ(image, again);

  // windres reads it.
  if (!testkit::haveCommand("x86_64-w64-mingw32-windres")) return;
  const std::string path = testing::TempDir() + "kasumiro-resources-" + GetParam() + ".exe";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  const testkit::ShellResult rc = testkit::runShell(
      "x86_64-w64-mingw32-windres -i " + testkit::shellQuote(path) + " -O rc", testing::TempDir());
  std::remove(path.c_str());
  EXPECT_EQ(0, rc.status) << rc.err;
  for (const char* expected : {"ZETA", "ALPHA", "LANGUAGE 17, 1", "101 DIALOG", "CONTROL"})
    EXPECT_NE(std::string::npos, rc.out.find(expected)) << expected;
}

TEST_P(PeResourcesTest, ImagesTheWriterCannotGrowAreRefused) {
  std::string error;
  Bytes appended = stub_;
  appended.push_back(0);
  EXPECT_FALSE(writeResources(appended, resources_, error));
  EXPECT_NE(std::string::npos, error.find("follow the last section")) << error;

  // A section behind the resources (the first made to lie there).
  PeImage pe;
  ASSERT_TRUE(readPeImage(stub_, pe, error));
  Bytes behind = stub_;
  put32(behind.data() + pe.sections[0].header + SH_VIRTUAL_ADDRESS,
        pe.sections.back().virtualAddress + 0x10000);
  EXPECT_FALSE(writeResources(behind, resources_, error));
  EXPECT_NE(std::string::npos, error.find("lies behind the resources")) << error;

  std::vector<Resource> twice = resources_;
  twice.push_back(twice.front());
  Bytes image = stub_;
  EXPECT_FALSE(writeResources(image, twice, error));
  EXPECT_EQ(stub_, image);
}

// Damage anywhere in the resource directory is refused or read as some
// resources, never followed outside it; what is read writes and reads back.
TEST_P(PeResourcesTest, DamagedTreesAreRefusedOrReadWithinBounds) {
  PeImage pe;
  std::string error;
  ASSERT_TRUE(readPeImage(stub_, pe, error));
  const PeDirectory directory = pe.directory(DIRECTORY_RESOURCE);
  size_t base = 0;
  ASSERT_TRUE(pe.rvaToFileOffset(directory.address, directory.size, base));
  // The tree lies before the data: directories, entries, data entries.
  const uint32_t treeSize = std::min<uint32_t>(directory.size, 0x300);
  std::mt19937 random(12345);
  int refused = 0, read = 0;
  for (int round = 0; round < 3000; ++round) {
    Bytes damaged = stub_;
    for (int k = 0, n = 1 + static_cast<int>(random() % 4); k < n; ++k) {
      const size_t at = base + random() % treeSize;
      damaged[at] =
          static_cast<uint8_t>(round % 3 == 0 ? damaged[at] ^ (1u << (random() % 8)) : random());
    }
    std::vector<Resource> got;
    if (!readResources(damaged, got, error)) {
      ++refused;
      continue;
    }
    ++read;
    Bytes rewritten = damaged;
    if (!writeResources(rewritten, got, error)) continue;  // e.g. a directory now behind
    std::vector<Resource> back;
    ASSERT_TRUE(readResources(rewritten, back, error)) << error;
    EXPECT_TRUE(sameResources(got, back)) << "round " << round;
  }
  EXPECT_GT(refused, 0);
  EXPECT_GT(read, 0);
}

// What the packer adds: the exact texts as RT_RCDATA 1 in no language, one
// face kept with --language; nothing else changes.
TEST_P(PeResourcesTest, ThePackerAddsTheExactTextsAndKeepsOneFace) {
  pack::ResourceSettings settings;
  for (int i = 0; i < 777; ++i) settings.exactTexts.push_back(static_cast<uint8_t>(i * 7));
  settings.language = "ja";
  Bytes image = stub_;
  ASSERT_TRUE(pack::editStubResources(settings, "stub", image));
  std::vector<Resource> expected = resources_, got;
  expected.erase(
      std::remove_if(expected.begin(), expected.end(),
                     [](const Resource& r) { return r.language == LANGUAGE_ENGLISH_US; }),
      expected.end());
  Resource texts;
  texts.type = RESOURCE_RCDATA;
  texts.name = 1;
  texts.data = settings.exactTexts;
  expected.push_back(texts);
  std::string error;
  ASSERT_TRUE(readResources(image, got, error)) << error;
  EXPECT_TRUE(sameResources(expected, got));
  EXPECT_LT(expected.size(), resources_.size());

  // Nothing asked, nothing changed.
  image = stub_;
  ASSERT_TRUE(pack::editStubResources(pack::ResourceSettings(), "stub", image));
  EXPECT_EQ(stub_, image);
}

INSTANTIATE_TEST_SUITE_P(BuiltStubs, PeResourcesTest, testing::Values("i686", "x86_64"));

// ------------------------------------------------------------ icon files

// An .ico file of the given images: {width, height, PNG?}; bitmaps are
// 32-bit with their mask.
Bytes iconFile(const std::vector<std::pair<int, bool>>& images) {
  Bytes file = {0, 0, 1, 0, static_cast<uint8_t>(images.size()), 0};
  std::vector<Bytes> data;
  for (const auto& [size, png] : images) {
    Bytes d;
    auto push32 = [&](uint32_t v) {
      for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    if (png) {
      d = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
      for (int i = 3; i >= 0; --i) d.push_back(static_cast<uint8_t>(size >> (8 * i)));
      for (int i = 3; i >= 0; --i) d.push_back(static_cast<uint8_t>(size >> (8 * i)));
      d.insert(d.end(), {8, 6, 0, 0, 0, 1, 2, 3, 4});
      d.resize(d.size() + 40, 0);
    } else {
      for (uint32_t v :
           {40u, uint32_t(size), uint32_t(size * 2), 0x00200001u, 0u, 0u, 0u, 0u, 0u, 0u})
        push32(v);
      d.resize(d.size() + size * size * 4 + size * ((size + 31) / 32 * 4), 0x5A);
    }
    data.push_back(d);
  }
  uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    const int size = images[i].first;
    Bytes entry = {static_cast<uint8_t>(size == 256 ? 0 : size),
                   static_cast<uint8_t>(size == 256 ? 0 : size),
                   0,
                   0,
                   1,
                   0,
                   32,
                   0};
    for (uint32_t v : {static_cast<uint32_t>(data[i].size()), offset})
      for (int k = 0; k < 4; ++k) entry.push_back(static_cast<uint8_t>(v >> (8 * k)));
    file.insert(file.end(), entry.begin(), entry.end());
    offset += static_cast<uint32_t>(data[i].size());
  }
  for (const Bytes& d : data) file.insert(file.end(), d.begin(), d.end());
  return file;
}

TEST(AuthorIcon, EveryImageOfTheFileReplacesTheGroupAndItsImages) {
  std::vector<Resource> resources = {make(RESOURCE_ICON, 1, LANGUAGE_JAPANESE, 100, 1),
                                     make(RESOURCE_ICON, 2, LANGUAGE_JAPANESE, 100, 2),
                                     make(RESOURCE_ICON, 3, LANGUAGE_NEUTRAL, 10, 3),
                                     make(RESOURCE_DIALOG, 101, LANGUAGE_JAPANESE, 10, 4)};
  // The old group names images 1 and 2; image 3 belongs to no group of ours.
  Resource group = make(RESOURCE_ICON_GROUP, 103, LANGUAGE_JAPANESE, 0, 0);
  group.data = {0, 0, 1, 0, 2, 0};
  for (uint8_t id : {1, 2}) {
    group.data.insert(group.data.end(), {32, 32, 16, 0, 1, 0, 4, 0, 100, 0, 0, 0, id, 0});
  }
  resources.push_back(group);
  const Bytes file = iconFile({{16, false}, {48, false}, {256, true}});
  std::string error;
  ASSERT_TRUE(replaceIconGroup(resources, 103, file, error)) << error;

  const Resource* newGroup = findResource(resources, RESOURCE_ICON_GROUP, 103, LANGUAGE_JAPANESE);
  ASSERT_NE(nullptr, newGroup);
  ASSERT_EQ(6u + 14 * 3, newGroup->data.size());
  EXPECT_EQ(3, get16(newGroup->data.data() + 4));
  for (const Resource& r : resources)
    EXPECT_FALSE(r.type == ResourceKey(RESOURCE_ICON) && r.data.size() == 100) << "an old image";
  EXPECT_NE(nullptr, findResource(resources, RESOURCE_ICON, 3, LANGUAGE_NEUTRAL));
  EXPECT_NE(nullptr, findResource(resources, RESOURCE_DIALOG, 101, LANGUAGE_JAPANESE));
  std::vector<uint16_t> ids;
  for (size_t i = 0; i < 3; ++i) {
    const uint8_t* e = newGroup->data.data() + 6 + 14 * i;
    const uint8_t* f = file.data() + 6 + 16 * i;
    EXPECT_TRUE(std::equal(e, e + 12, f)) << "entry " << i << " as in the file";
    const uint16_t id = get16(e + 12);
    EXPECT_NE(3, id) << "an id that another icon has";
    const Resource* image = findResource(resources, RESOURCE_ICON, id, LANGUAGE_JAPANESE);
    ASSERT_NE(nullptr, image);
    EXPECT_TRUE(std::equal(image->data.begin(), image->data.end(), file.begin() + get32(f + 12)));
    EXPECT_EQ(image->data.size(), get32(f + 8));
    EXPECT_EQ(ids.end(), std::find(ids.begin(), ids.end(), id));
    ids.push_back(id);
  }
  EXPECT_EQ(6u, resources.size()) << "3 images, the group, 2 others kept";
}

TEST(AuthorIcon, MalformedFilesAreRefusedAndChangeNothing) {
  const Bytes good = iconFile({{32, false}, {256, true}});
  auto with = [&](size_t at, std::vector<uint8_t> bytes) {
    Bytes b = good;
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    return b;
  };
  const size_t png = get32(good.data() + 6 + 16 + 12);
  const struct {
    const char* what;
    Bytes file;
  } cases[] = {
      {"empty", {}},
      {"a cursor file", with(2, {2})},
      {"no images", with(4, {0})},
      {"more images than entries", with(4, {3})},
      {"cut in its last image", Bytes(good.begin(), good.end() - 1)},
      {"an image before the directory", with(6 + 12, {6, 0, 0, 0})},
      {"an image past the end", with(6 + 8, {0xFF, 0xFF, 0xFF, 0x7F})},
      {"a bitmap of no width", with(6 + 32 + 4, {0, 0, 0, 0})},
      {"a header that is no bitmap header", with(6 + 32, {12, 0, 0, 0})},
      {"a PNG image of another size", with(png + 16, {0, 0, 0, 128})},
      {"a PNG image without IHDR", with(png + 12, {'I', 'D', 'A', 'T'})},
      {"a Windows bitmap file", with(0, {'B', 'M'})},
  };
  std::vector<Resource> resources = {make(RESOURCE_ICON_GROUP, 103, 0, 6, 0)};
  std::string error;
  ASSERT_TRUE(replaceIconGroup(resources, 103, good, error)) << error;
  const std::vector<Resource> before = resources;
  for (const auto& c : cases) {
    EXPECT_FALSE(replaceIconGroup(resources, 103, c.file, error)) << c.what;
    EXPECT_TRUE(sameResources(before, resources)) << c.what;
  }
}

// ------------------------------------------------------------ version

TEST(AuthorVersion, NumbersAreOneToFourPartsUpTo65535) {
  const struct {
    const char* text;
    bool ok;
    uint16_t v[4];
  } cases[] = {
      {"1.2.3.4", true, {1, 2, 3, 4}},
      {"65535.0.0.1", true, {65535, 0, 0, 1}},
      {"2", true, {2, 0, 0, 0}},
      {"1.20", true, {1, 20, 0, 0}},
      {"65536.0.0.0", false, {}},
      {"1.2.3.4.5", false, {}},
      {"1..2", false, {}},
      {"", false, {}},
      {"1.2.", false, {}},
      {"v1.2", false, {}},
      {"1.2.3.4 ", false, {}},
      {"0000001.0", false, {}},
  };
  for (const auto& c : cases) {
    uint16_t v[4];
    EXPECT_EQ(c.ok, parseVersionNumber(c.text, v)) << c.text;
    if (c.ok) {
      EXPECT_TRUE(std::equal(v, v + 4, c.v)) << c.text;
    }
  }
}

// Walks a VS_VERSIONINFO node: its key, value and children, each within its
// parent and on a 4-byte boundary.
struct Node {
  std::u16string key;
  Bytes value;
  uint16_t valueLength, type;
  std::vector<Node> children;
};

bool parseNode(const Bytes& b, size_t at, size_t end, Node& node) {
  if (at % 4 || at + 6 > end) return false;
  const size_t length = get16(b.data() + at);
  if (length < 6 || at + length > end) return false;
  node.valueLength = get16(b.data() + at + 2);
  node.type = get16(b.data() + at + 4);
  size_t p = at + 6;
  for (; p + 2 <= at + length && get16(b.data() + p); p += 2)
    node.key += static_cast<char16_t>(get16(b.data() + p));
  p = (p + 2 + 3) & ~size_t{3};
  const size_t valueBytes = node.type == 1 ? node.valueLength * 2u : node.valueLength;
  if (p + valueBytes > at + length) return false;
  node.value.assign(b.begin() + static_cast<std::ptrdiff_t>(p),
                    b.begin() + static_cast<std::ptrdiff_t>(p + valueBytes));
  p = (p + valueBytes + 3) & ~size_t{3};
  while (p < at + length) {
    Node child;
    if (!parseNode(b, p, at + length, child)) return false;
    p = (p + get16(b.data() + p) + 3) & ~size_t{3};
    node.children.push_back(child);
  }
  return true;
}

TEST(AuthorVersion, TheResourceHoldsTheNumbersTheStringsAndTheTranslation) {
  VersionInfo info;
  ASSERT_TRUE(parseVersionNumber("1.2.3.4", info.fileVersion));
  info.strings = {{"CompanyName", "Ärger & Söhne"}, {"ProductName", "中文 Setup 🎉"}};
  Bytes data;
  std::string error;
  ASSERT_TRUE(versionResource(info, data, error)) << error;
  Node root;
  ASSERT_TRUE(parseNode(data, 0, data.size(), root));
  EXPECT_EQ(get16(data.data()), data.size());
  EXPECT_EQ(u"VS_VERSION_INFO", root.key);
  ASSERT_EQ(52u, root.value.size());
  EXPECT_EQ(0xFEEF04BDu, get32(root.value.data()));
  EXPECT_EQ(0x00010002u, get32(root.value.data() + 8)) << "file version, high";
  EXPECT_EQ(0x00030004u, get32(root.value.data() + 12)) << "file version, low";
  EXPECT_EQ(0x00010002u, get32(root.value.data() + 16)) << "product version, high";
  EXPECT_EQ(0x00030004u, get32(root.value.data() + 20)) << "product version, low";
  ASSERT_EQ(2u, root.children.size());
  const Node& strings = root.children[0];
  EXPECT_EQ(u"StringFileInfo", strings.key);
  ASSERT_EQ(1u, strings.children.size());
  EXPECT_EQ(u"000004B0", strings.children[0].key);
  ASSERT_EQ(2u, strings.children[0].children.size());
  const Node& product = strings.children[0].children[1];
  EXPECT_EQ(u"ProductName", product.key);
  const std::u16string expected = u"中文 Setup 🎉";
  ASSERT_EQ(expected.size() + 1, product.valueLength);
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(expected[i], get16(product.value.data() + 2 * i));
  const Node& translation = root.children[1];
  EXPECT_EQ(u"VarFileInfo", translation.key);
  ASSERT_EQ(1u, translation.children.size());
  EXPECT_EQ(u"Translation", translation.children[0].key);
  EXPECT_EQ((Bytes{0x00, 0x00, 0xB0, 0x04}), translation.children[0].value);

  info.strings = {{"CompanyName", "bad \xC3"}};
  EXPECT_FALSE(versionResource(info, data, error));
  info.strings = {{"CompanyName", "overlong \xC0\xAF"}};
  EXPECT_FALSE(versionResource(info, data, error));
}

}  // namespace
