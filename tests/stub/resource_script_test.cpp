// The stub's resource script, compiled with the cross toolchain's windres and
// read back: every dialog's style, rectangle, ids, classes, texts and font in
// Japanese and in English, both string tables against the message table, and
// the icon group.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

std::string utf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size())
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// A little-endian reader that fails the test instead of reading past the end.
struct Reader {
  const std::vector<uint8_t>& data;
  size_t at;
  uint16_t u16() {
    EXPECT_LE(at + 2, data.size());
    if (at + 2 > data.size()) return 0;
    uint16_t v = static_cast<uint16_t>(data[at] | data[at + 1] << 8);
    at += 2;
    return v;
  }
  uint32_t u32() {
    uint32_t low = u16();
    return low | static_cast<uint32_t>(u16()) << 16;
  }
  int16_t s16() { return static_cast<int16_t>(u16()); }
  void align4() { at = (at + 3) & ~size_t{3}; }
  // A name or ordinal: 0xFFFF then the number, else a zero-terminated string.
  std::string nameOrId() {
    uint16_t first = u16();
    if (first == 0xFFFF) return "#" + std::to_string(u16());
    std::u16string text;
    for (uint16_t c = first; c != 0; c = u16()) text += static_cast<char16_t>(c);
    return utf8(text);
  }
};

struct Resource {
  uint32_t type;
  uint32_t name;
  uint16_t language;
  std::vector<uint8_t> data;
};

struct Item {
  uint32_t style;
  int x, y, cx, cy;
  int id;
  std::string cls;
  std::string text;
};

struct Dialog {
  uint32_t style;
  int x, y, cx, cy;
  std::string caption;
  int points;
  std::string font;
  std::vector<Item> items;
};

Dialog parseDialog(const std::vector<uint8_t>& data) {
  Reader r{data, 0};
  Dialog d{};
  d.style = r.u32();
  r.u32();  // extended style
  int count = r.u16();
  d.x = r.s16();
  d.y = r.s16();
  d.cx = r.s16();
  d.cy = r.s16();
  EXPECT_EQ(r.nameOrId(), "");  // no menu
  EXPECT_EQ(r.nameOrId(), "");  // the default dialog class
  d.caption = r.nameOrId();
  if (d.style & 0x40) {  // DS_SETFONT
    d.points = r.u16();
    d.font = r.nameOrId();
  }
  const std::map<std::string, std::string> atoms = {{"#128", "BUTTON"},
                                                    {"#129", "EDIT"},
                                                    {"#130", "STATIC"},
                                                    {"#131", "LISTBOX"},
                                                    {"#133", "COMBOBOX"}};
  for (int i = 0; i < count; ++i) {
    r.align4();
    Item item{};
    item.style = r.u32();
    r.u32();
    item.x = r.s16();
    item.y = r.s16();
    item.cx = r.s16();
    item.cy = r.s16();
    item.id = static_cast<int16_t>(r.u16());
    item.cls = r.nameOrId();
    if (atoms.count(item.cls)) item.cls = atoms.at(item.cls);
    item.text = r.nameOrId();
    r.at += r.u16();  // creation data
    d.items.push_back(item);
  }
  return d;
}

class ResourceScriptTest : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    const std::string windres = "x86_64-w64-mingw32-windres";
    if (std::system(("command -v " + windres + " >/dev/null 2>&1").c_str()) != 0) return;
    const std::string out = ::testing::TempDir() + "kasumiro-resources.res";
    const std::string src = std::string(KASUMIRO_SOURCE_DIR) + "/src";
    const std::string command =
        windres + " -c 65001 -I " + src + " " + src + "/stub/kasumiro.rc -O res -o " + out;
    if (std::system(command.c_str()) != 0) return;
    std::ifstream in(out, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    std::remove(out.c_str());
    Reader r{bytes, 0};
    while (r.at + 32 <= bytes.size()) {
      size_t start = r.at;
      uint32_t dataSize = r.u32();
      uint32_t headerSize = r.u32();
      Resource res{};
      std::string type = r.nameOrId(), name = r.nameOrId();
      res.type = type[0] == '#' ? std::stoul(type.substr(1)) : 0;
      res.name = name[0] == '#' ? std::stoul(name.substr(1)) : 0;
      r.align4();
      r.u32();
      r.u16();
      res.language = r.u16();
      r.at = start + headerSize;
      res.data.assign(bytes.begin() + static_cast<long>(r.at),
                      bytes.begin() + static_cast<long>(r.at + dataSize));
      r.at += dataSize;
      r.align4();
      if (res.type != 0) resources->push_back(res);
    }
  }
  void SetUp() override {
    if (resources->empty()) GTEST_SKIP() << "the MinGW-w64 windres is not installed";
  }
  static const Resource* find(uint32_t type, uint32_t name, uint16_t language) {
    for (const auto& r : *resources)
      if (r.type == type && r.name == name && r.language == language) return &r;
    return nullptr;
  }
  static std::vector<Resource>* resources;
};

std::vector<Resource>* ResourceScriptTest::resources = new std::vector<Resource>();

constexpr uint32_t RT_ICON_GROUP = 14, RT_DIALOG_TYPE = 5, RT_STRING_TYPE = 6;
constexpr uint16_t JAPANESE = 0x0411, ENGLISH = 0x0409;

struct ExpectedDialog {
  uint32_t id;
  int x, y, cx, cy;
  const char* caption;
  std::vector<Item> items;
};

void expectDialog(const ExpectedDialog& e, uint16_t language = JAPANESE) {
  const Resource* res = ResourceScriptTest::find(RT_DIALOG_TYPE, e.id, language);
  ASSERT_NE(res, nullptr) << "dialog " << e.id;
  Dialog d = parseDialog(res->data);
  EXPECT_EQ(d.style, 0x80C800C0u) << e.id;
  EXPECT_EQ(d.x, e.x);
  EXPECT_EQ(d.y, e.y);
  EXPECT_EQ(d.cx, e.cx);
  EXPECT_EQ(d.cy, e.cy);
  EXPECT_EQ(d.caption, e.caption);
  EXPECT_EQ(d.points, language == JAPANESE ? 9 : 8);
  EXPECT_EQ(d.font, language == JAPANESE ? "ＭＳ Ｐゴシック" : "Tahoma");
  ASSERT_EQ(d.items.size(), e.items.size()) << e.id;
  for (size_t i = 0; i < e.items.size(); ++i) {
    const Item &got = d.items[i], &want = e.items[i];
    SCOPED_TRACE("dialog " + std::to_string(e.id) + " control " + std::to_string(want.id));
    EXPECT_EQ(got.id, want.id);
    // Class names are case-insensitive (the resource compiler stores them in
    // capitals).
    EXPECT_EQ(upper(got.cls), upper(want.cls));
    EXPECT_EQ(got.text, want.text);
    EXPECT_EQ(got.style, want.style) << std::hex << got.style;
    EXPECT_EQ(got.x, want.x);
    EXPECT_EQ(got.y, want.y);
    EXPECT_EQ(got.cx, want.cx);
    EXPECT_EQ(got.cy, want.cy);
  }
}

// The Japanese dialogs as they have always been.
const ExpectedDialog JAPANESE_DIALOGS[] = {
    {101,
     0,
     0,
     231,
     81,
     "",
     {{0x50020000, 10, 12, 150, 8, 1002, "STATIC", "解凍先ﾌｫﾙﾀﾞ/ﾃﾞｨﾚｸﾄﾘ(&F):"},
      {0x50810480, 10, 23, 155, 14, 1001, "EDIT", ""},
      {0x50020000, 10, 42, 155, 16, 1003, "STATIC", ""},
      {0x50800000, 10, 62, 155, 11, 1000, "msctls_progress32", ""},
      {0x50010001, 174, 6, 50, 14, 1, "BUTTON", "解凍(&E)"},
      {0x50010000, 174, 24, 50, 14, 2, "BUTTON", "ｷｬﾝｾﾙ"},
      {0x50010000, 174, 42, 50, 14, 1004, "BUTTON", "参照(&B)..."},
      {0x50010000, 174, 60, 50, 14, 1005, "BUTTON", "ｵﾌﾟｼｮﾝ(&O)..."}}},
    {104,
     0,
     0,
     254,
     69,
     "",
     {{0x50010001, 7, 48, 50, 14, 6, "BUTTON", "はい(&Y)"},
      {0x50010000, 197, 48, 50, 14, 2, "BUTTON", "ｷｬﾝｾﾙ"},
      {0x50010000, 67, 48, 60, 14, 1004, "BUTTON", "すべて上書き(&A)"},
      {0x50010000, 137, 48, 50, 14, 7, "BUTTON", "いいえ(&N)"},
      {0x5002008C, 47, 7, 200, 8, 1003, "STATIC", ""},
      {0x50000003, 7, 7, 20, 20, 1002, "STATIC", ""},
      {0x50020000, 47, 27, 200, 8, -1, "STATIC", "すでにﾌｧｲﾙが存在します。上書きしますか?"}}},
    {105,
     24,
     24,
     187,
     89,
     "ｵﾌﾟｼｮﾝ",
     {{0x50010003, 10, 10, 90, 10, 1008, "BUTTON", "ﾌｫﾙﾀﾞ展開の抑制(&X)"},
      {0x50010003, 10, 26, 90, 10, 1005, "BUTTON", "ﾌｧｲﾙ属性の復元(&A)"},
      {0x50010003, 10, 42, 90, 10, 1006, "BUTTON", "同名ﾌｧｲﾙの上書き(&W)"},
      {0x50010003, 10, 58, 90, 10, 1007, "BUTTON", "自動実行(&R)"},
      {0x5002008C, 21, 72, 159, 8, 1002, "STATIC", ""},
      {0x50010001, 130, 7, 50, 14, 1, "BUTTON", "OK"},
      {0x50010000, 130, 24, 50, 14, 2, "BUTTON", "ｷｬﾝｾﾙ"}}},
};

// The English texts of the same controls, in the same order, and the caption.
struct EnglishTexts {
  const char* caption;
  std::vector<std::string> texts;
};
const EnglishTexts ENGLISH_TEXTS[] = {
    {"", {"Extract to &folder:", "", "", "", "&Extract", "Cancel", "&Browse...", "&Options..."}},
    {"", {"&Yes", "Cancel", "Yes to &all", "&No", "", "", "Overwrite the existing file?"}},
    {"Options",
     {"&Ignore folders", "Restore &attributes", "&Overwrite files", "&Run command", "", "OK",
      "Cancel"}},
};

}  // namespace

TEST_F(ResourceScriptTest, JapaneseDialogs) {
  for (const ExpectedDialog& e : JAPANESE_DIALOGS) expectDialog(e);
}

// The same templates but for the texts and the font: nothing else may differ
// between the two faces.
TEST_F(ResourceScriptTest, EnglishDialogsAreTheJapaneseOnesWithEnglishTexts) {
  for (size_t i = 0; i < std::size(JAPANESE_DIALOGS); ++i) {
    ExpectedDialog e = JAPANESE_DIALOGS[i];
    e.caption = ENGLISH_TEXTS[i].caption;
    ASSERT_EQ(e.items.size(), ENGLISH_TEXTS[i].texts.size());
    for (size_t k = 0; k < e.items.size(); ++k) e.items[k].text = ENGLISH_TEXTS[i].texts[k];
    expectDialog(e, ENGLISH);
  }
}

TEST_F(ResourceScriptTest, StringTablesHoldExactlyTheMessageTexts) {
  std::map<int, std::string> expected[2] = {{
#define MESSAGE(id, name, japanese, english) {id, japanese},
#include "platform/message_texts.inc"
#undef MESSAGE
                                            },
                                            {
#define MESSAGE(id, name, japanese, english) {id, english},
#include "platform/message_texts.inc"
#undef MESSAGE
                                            }};
  std::map<int, std::string> found[2];
  for (const auto& res : *resources) {
    if (res.type != RT_STRING_TYPE) continue;
    ASSERT_TRUE(res.language == JAPANESE || res.language == ENGLISH) << res.language;
    Reader r{res.data, 0};
    for (int i = 0; i < 16; ++i) {
      std::u16string text;
      for (int n = r.u16(); n > 0; --n) text += static_cast<char16_t>(r.u16());
      if (!text.empty())
        found[res.language == ENGLISH][static_cast<int>((res.name - 1) * 16 + i)] = utf8(text);
    }
  }
  for (int english = 0; english < 2; ++english) {
    EXPECT_EQ(found[english], expected[english]);
    EXPECT_EQ(found[english].count(1) + found[english].count(6), 0u);
    EXPECT_EQ(found[english].at(7), "Kasumiro  Ver 1.9.9.0");
  }
  // The English texts read the same in every code page (tabs and line
  // breaks lay out the list of switches).
  for (const auto& [id, text] : expected[1])
    for (char c : text) EXPECT_TRUE((c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n') << id;
}

TEST_F(ResourceScriptTest, IconGroupHasA32And16PixelSixteenColourImage) {
  const Resource* group = find(RT_ICON_GROUP, 103, JAPANESE);
  ASSERT_NE(group, nullptr);
  Reader r{group->data, 0};
  EXPECT_EQ(r.u16(), 0);
  EXPECT_EQ(r.u16(), 1);
  ASSERT_EQ(r.u16(), 2);
  int sizes[2];
  for (int& size : sizes) {
    size = group->data[r.at];
    EXPECT_EQ(group->data[r.at + 1], size);  // square
    EXPECT_EQ(group->data[r.at + 2], 16);    // colours
    r.at += 4;
    EXPECT_EQ(r.u16(), 1);  // planes
    EXPECT_EQ(r.u16(), 4);  // bits per pixel
    r.at += 6;              // bytes in the image, its id
  }
  EXPECT_EQ(sizes[0], 32);
  EXPECT_EQ(sizes[1], 16);
}

TEST_F(ResourceScriptTest, ManifestIsTheOneTheLoaderLooksFor) {
  const Resource* manifest = find(24, 1, 0);  // RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID
  ASSERT_NE(manifest, nullptr);
  EXPECT_EQ(manifest->language, 0);  // neutral
  std::ifstream in(std::string(KASUMIRO_SOURCE_DIR) + "/src/stub/kasumiro.manifest",
                   std::ios::binary);
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(manifest->data, file);
}
