#include "tools/image/dos_part.h"

#include <cstring>

namespace {

void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// Prints the text with INT 21h function 09h and ends with 4Ch, code 1.
// clang-format off
const uint8_t kStubProgram[DOS_STUB_SIZE] = {
    0xEB, 0x2A,  // jmp short over the text
    'T', 'h', 'i', 's', ' ', 'p', 'r', 'o', 'g', 'r', 'a', 'm', ' ', 'c', 'a', 'n', 'n', 'o', 't',
    ' ', 'b', 'e', ' ', 'r', 'u', 'n', ' ', 'i', 'n', ' ', 'D', 'O', 'S', ' ', 'm', 'o', 'd', 'e',
    '.', '\r', '\n', '$',
    0x0E,              // push cs
    0x1F,              // pop ds
    0xBA, 0x02, 0x00,  // mov dx, text
    0xB4, 0x09,        // mov ah, 09h
    0xCD, 0x21,        // int 21h
    0xB8, 0x01, 0x4C,  // mov ax, 4C01h
    0xCD, 0x21,        // int 21h
};
// clang-format on

}  // namespace

void writeDosPart(uint8_t* image, uint32_t peOffset) {
  std::memset(image, 0, DOS_PART_SIZE);
  image[0] = 'M';
  image[1] = 'Z';
  put16(image + 0x02, 0x010A);  // bytes in the last page: load image 1290 bytes
  put16(image + 0x04, 3);       // pages
  put16(image + 0x08, 0x0020);  // header paragraphs: the block starts the load module
  put16(image + 0x0C, 0xFFFF);
  put16(image + 0x10, 0x02CE);  // stack top right behind the block
  put16(image + 0x16, 0x002D);  // code at 0x200 + 0x2D0 = 0x4D0
  put16(image + 0x18, 0x0040);
  put16(image + 0x1C, 1);
  put16(image + 0x20, 1);
  std::memcpy(image + 0x24, "LHA's SFX ", 10);
  image[0x3C] = static_cast<uint8_t>(peOffset);
  image[0x3D] = static_cast<uint8_t>(peOffset >> 8);
  image[0x3E] = static_cast<uint8_t>(peOffset >> 16);
  image[0x3F] = static_cast<uint8_t>(peOffset >> 24);
  std::memcpy(image + DOS_STUB_OFFSET, kStubProgram, DOS_STUB_SIZE);
}
