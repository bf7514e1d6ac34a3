// The manifest rewriter: finds the application manifest through the image's
// resource tree and reads or changes the execution level it requests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Rewrites, in place, the execution level that the image's application
// manifest (resource RT_MANIFEST, id 1) requests: "requireAdministrator" for
// a self-extracting file that must run elevated, "asInvoker" to undo it.
// The manifest keeps its length: the new level has to fit where the old one
// and the blanks behind it stand (the stub's manifest leaves that room).
// The checksum is recomputed over the whole image, an appended archive
// included. On any problem (no such manifest, no level in it, no room)
// returns false with a description in error and leaves image unchanged.
bool setManifestExecutionLevel(std::vector<uint8_t>& image, const std::string& level,
                               std::string& error);

// The execution level that the image's application manifest requests
// ("asInvoker", "requireAdministrator", ...). False with a description in
// error when the image has no such manifest or no level in it.
bool manifestExecutionLevel(const std::vector<uint8_t>& image, std::string& level,
                            std::string& error);
