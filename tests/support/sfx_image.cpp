#include "support/sfx_image.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testkit {

namespace {

void set16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void set32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void setText(std::vector<uint8_t>& b, ConfigField f, const std::string& text) {
  const size_t n = std::min(text.size(), f.width);
  std::memcpy(b.data() + f.offset, text.data(), n);
  if (n < f.width) b[f.offset + n] = 0;
}

constexpr char kDosText[] = "This program cannot be run in DOS mode.\r\n$";

}  // namespace

std::vector<uint8_t> buildConfigBlock(const SfxImageParts& layout) {
  std::vector<uint8_t> b(kConfigSize, 0);
  set32(b, kCfgArchiveOffset.offset, layout.storedArchiveOffset.value_or(layout.archiveOffset));
  setText(b, kCfgTitle, layout.title);
  setText(b, kCfgMessage, layout.message);
  setText(b, kCfgDefaultDir, layout.defaultDir);
  setText(b, kCfgPrompt, layout.prompt);
  setText(b, kCfgRunCommand, layout.runCommand);
  set32(b, kCfgFlags.offset, layout.flags);
  if (layout.rawConfig) {
    if (layout.rawConfig->size() > kConfigSize)
      throw std::invalid_argument("rawConfig longer than the configuration block");
    std::fill(b.begin(), b.end(), 0);
    std::copy(layout.rawConfig->begin(), layout.rawConfig->end(), b.begin());
  }
  return b;
}

std::vector<uint8_t> dosStubProgram() {
  const size_t textLen = sizeof(kDosText) - 1;  // 42 bytes, ending in '$'
  std::vector<uint8_t> p;
  p.push_back(0xEB);  // jmp short over the text
  p.push_back(static_cast<uint8_t>(textLen));
  p.insert(p.end(), kDosText, kDosText + textLen);
  const uint8_t code[] = {
      0x0E,              // push cs
      0x1F,              // pop ds
      0xBA, 0x02, 0x00,  // mov dx, 0002h (the text)
      0xB4, 0x09,        // mov ah, 09h
      0xCD, 0x21,        // int 21h
      0xB8, 0x01, 0x4C,  // mov ax, 4C01h
      0xCD, 0x21,        // int 21h
  };
  p.insert(p.end(), std::begin(code), std::end(code));
  if (p.size() != kDosStubSize) throw std::logic_error("DOS stub has the wrong size");
  return p;
}

std::vector<uint8_t> buildSfxImage(const SfxImageParts& layout) {
  const size_t stubEnd = kDosStubOffset + kDosStubSize;
  if (layout.archiveOffset < stubEnd)
    throw std::invalid_argument("archiveOffset lies inside the DOS part of the image");

  std::vector<uint8_t> img(layout.archiveOffset, layout.filler);
  std::fill(img.begin(), img.begin() + stubEnd, uint8_t{0});

  img[0] = 'M';
  img[1] = 'Z';
  set16(img, 0x02, 0x010A);  // e_cblp
  set16(img, 0x04, 3);       // e_cp
  set16(img, 0x06, 0);       // e_crlc
  set16(img, 0x08, 0x0020);  // e_cparhdr
  set16(img, 0x0A, 0);       // e_minalloc
  set16(img, 0x0C, 0xFFFF);  // e_maxalloc
  set16(img, 0x0E, 0);       // e_ss
  set16(img, 0x10, 0x02CE);  // e_sp
  set16(img, 0x12, 0);       // e_csum
  set16(img, 0x14, 0);       // e_ip
  set16(img, 0x16, 0x002D);  // e_cs
  set16(img, 0x18, 0x0040);  // e_lfarlc
  set16(img, 0x1A, 0);       // e_ovno
  set16(img, 0x1C, 1);       // reserved words 1, 0, 1, 0
  set16(img, 0x1E, 0);
  set16(img, 0x20, 1);
  set16(img, 0x22, 0);
  std::memcpy(img.data() + 0x24, "LHA's SFX ", 10);
  set32(img, 0x3C, layout.lfanew);

  const std::vector<uint8_t> block = buildConfigBlock(layout);
  std::copy(block.begin(), block.end(), img.begin() + kConfigOffset);
  const std::vector<uint8_t> stub = dosStubProgram();
  std::copy(stub.begin(), stub.end(), img.begin() + kDosStubOffset);

  img.insert(img.end(), layout.archive.begin(), layout.archive.end());
  return img;
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot create " + path);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testkit
