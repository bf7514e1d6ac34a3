// kasumiro a: makes a plain LZH archive or a self-extracting file from files
// and folders, with our own encoder.
#pragma once

// argv holds the arguments behind "a". Returns the exit status.
int commandPack(int argc, char** argv);

extern const char* const PACK_HELP;
