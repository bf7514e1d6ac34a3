// Whole-file reads and writes for the host tools.
#pragma once

#include <cstdint>
#include <vector>

bool readFileBytes(const char* path, std::vector<uint8_t>& out);
bool writeFileBytes(const char* path, const std::vector<uint8_t>& bytes);
