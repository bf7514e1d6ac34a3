// kasumiro a: makes a plain LZH archive or a self-extracting file from files
// and folders, with our own encoder. This ties the packer's parts together:
// pack_options (the command line), input_collector (what goes in),
// stub_image (the stub and its block) and archive_writer (the file).
#pragma once

// argv holds the arguments behind "a". Returns the exit status.
int commandPack(int argc, char** argv);
