// Path variables (%ExtractDir%, %SystemDir%, ...) and special folders.
#pragma once

enum SpecialFolder { SF_PROGRAM_FILES = 0, SF_COMMON_FILES = 1, SF_MY_DOCUMENTS = 2 };

constexpr int PATH_VALUE_SIZE = 260;

// Expands the program's path variables of source into destination, which has
// room for destinationSize bytes (the result is cut at a character boundary).
// extractionDir may be null: %ExtractDir% and %ExtractDirX% then stay.
// Returns the position of destination's terminator.
char* expandPathVariables(const char* source, char* destination, const char* extractionDir,
                          int destinationSize = 1024);
// Fills a 260-byte buffer with the folder's path (the system's, else a
// fallback).
void getSpecialFolder(char* buffer, SpecialFolder folder);
