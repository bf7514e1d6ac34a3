// Member names for archives that the Windows stub extracts: what a name must
// be (CP932, short enough, creatable on Windows) before it goes in.
#pragma once

#include <string>

// Why a member path (program text: CP932 with escapes for what CP932 lacks,
// '/' between components) cannot be stored, or null when it can. directory tells that the path
// names a directory member, whose header holds the closing separator as well.
const char* memberNameProblem(const std::string& cp932Path, bool directory);
