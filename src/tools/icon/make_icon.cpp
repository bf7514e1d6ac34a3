// kasumiro-icon: draws the application icon (32x32 and 16x16, 16 colours)
// and writes it as a .ico file. The icon is a disc of evening blue crossed by
// three bands of haze, with an arrow pointing down into it.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

// The standard 16-colour palette (BGR0).
const uint8_t kPalette[16][4] = {
    {0, 0, 0, 0},       {0, 0, 128, 0},   {0, 128, 0, 0},   {0, 128, 128, 0},
    {128, 0, 0, 0},     {128, 0, 128, 0}, {128, 128, 0, 0}, {192, 192, 192, 0},
    {128, 128, 128, 0}, {0, 0, 255, 0},   {0, 255, 0, 0},   {0, 255, 255, 0},
    {255, 0, 0, 0},     {255, 0, 255, 0}, {255, 255, 0, 0}, {255, 255, 255, 0}};
constexpr int kNavy = 4, kBlue = 12, kSilver = 7, kWhite = 15, kYellow = 11, kBlack = 0;

struct Pixel {
  int colour;
  bool transparent;
};

Pixel draw(int x, int y, int size) {
  const double s = size;
  const double cx = (x + 0.5) / s - 0.5, cy = (y + 0.5) / s - 0.5;  // y grows downwards
  const double r = std::sqrt(cx * cx + cy * cy);
  if (r > 0.49) return {kBlack, true};
  if (r > 0.44) return {kNavy, false};
  // The arrow: a shaft and a head in the upper middle.
  const double ax = std::fabs(cx);
  if (cy > -0.36 && cy < 0.02 && ax < 0.06) return {kYellow, false};
  if (cy >= 0.02 && cy < 0.2 && ax < 0.2 - (cy - 0.02) * 1.1) return {kYellow, false};
  // Three gently waving bands of haze.
  for (int band = 0; band < 3; ++band) {
    double centre = -0.22 + band * 0.2 + 0.035 * std::sin((cx + band * 0.3) * 9.0);
    if (std::fabs(cy - centre) < 0.045) return {band == 1 ? kWhite : kSilver, false};
  }
  return {cy < 0 ? kBlue : kNavy, false};
}

void put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

std::vector<uint8_t> image(int size) {
  std::vector<uint8_t> out;
  put32(out, 40);
  put32(out, static_cast<uint32_t>(size));
  put32(out, static_cast<uint32_t>(size * 2));  // colour bitmap and mask
  put16(out, 1);
  put16(out, 4);
  put32(out, 0);
  const int xorStride = (size / 2 + 3) / 4 * 4, andStride = (size / 8 + 3) / 4 * 4;
  put32(out, static_cast<uint32_t>((xorStride + andStride) * size));
  put32(out, 0);
  put32(out, 0);
  put32(out, 16);
  put32(out, 0);
  for (const auto& c : kPalette) out.insert(out.end(), c, c + 4);
  for (int y = size - 1; y >= 0; --y) {  // bottom-up
    std::vector<uint8_t> row(static_cast<size_t>(xorStride), 0);
    for (int x = 0; x < size; ++x) {
      Pixel p = draw(x, y, size);
      row[static_cast<size_t>(x / 2)] |=
          static_cast<uint8_t>((p.transparent ? 0 : p.colour) << (x % 2 ? 0 : 4));
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  for (int y = size - 1; y >= 0; --y) {
    std::vector<uint8_t> row(static_cast<size_t>(andStride), 0);
    for (int x = 0; x < size; ++x)
      if (draw(x, y, size).transparent)
        row[static_cast<size_t>(x / 8)] |= static_cast<uint8_t>(0x80 >> (x % 8));
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: kasumiro-icon OUTPUT.ico\n", stderr);
    return 2;
  }
  const int sizes[2] = {32, 16};
  std::vector<uint8_t> images[2] = {image(32), image(16)};
  std::vector<uint8_t> out;
  put16(out, 0);
  put16(out, 1);
  put16(out, 2);
  uint32_t offset = 6 + 16 * 2;
  for (int i = 0; i < 2; ++i) {
    out.push_back(static_cast<uint8_t>(sizes[i]));
    out.push_back(static_cast<uint8_t>(sizes[i]));
    out.push_back(16);
    out.push_back(0);
    put16(out, 1);
    put16(out, 4);
    put32(out, static_cast<uint32_t>(images[i].size()));
    put32(out, offset);
    offset += static_cast<uint32_t>(images[i].size());
  }
  for (const auto& img : images) out.insert(out.end(), img.begin(), img.end());
  FILE* f = std::fopen(argv[1], "wb");
  if (!f || std::fwrite(out.data(), 1, out.size(), f) != out.size() || std::fclose(f) != 0) {
    std::fprintf(stderr, "kasumiro-icon: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
