// The encoder's one mathematical function, without the math library: the
// costs it feeds then come out the same on every machine and with every C
// library, so the same input gives the same archive everywhere.
#pragma once

#include <cstdint>
#include <cstring>

// log2(x) for a positive, finite x (every caller's ratio or count): the
// exponent from the bits, the mantissa's logarithm from the series of
// atanh, accurate to about 1e-15 (far finer than any cost needs).
inline double encoderLog2(double x) {
  uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  const int exponent = static_cast<int>((bits >> 52) & 0x7FF) - 1022;
  bits = (bits & ~(uint64_t{0x7FF} << 52)) | (uint64_t{1022} << 52);  // mantissa in [0.5, 1)
  double m;
  std::memcpy(&m, &bits, sizeof m);
  const double t = (m - 1) / (m + 1);  // in [-1/3, 0)
  const double t2 = t * t;
  double sum = 0, term = t;
  for (int k = 1; k < 36; k += 2, term *= t2) sum += term / k;
  return exponent + 2 * sum / 0.69314718055994530942;
}
