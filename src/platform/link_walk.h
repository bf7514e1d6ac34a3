// The walk that keeps extraction from following a link out of the
// destination, shared by the platform layers: each says only what one path
// is (a directory, a link, missing, something else); the walk decides.
#pragma once

#include <cstddef>

enum PathKind { PATH_MISSING = 0, PATH_DIRECTORY = 1, PATH_LINK = 2, PATH_OTHER = 3 };

// What a walk of this pass has found real: the deepest directory (and so
// every one above it) of a path walked before. Members come in directory
// order, so most paths share all their directories with the one before, and
// a pass never turns a directory into a link (it deletes files only).
struct CheckedDirectory {
  char* path;  // capacity bytes
  size_t capacity;
  size_t length;  // 0: nothing remembered
};

// True when no component of path behind its first trustedEnd bytes (which
// end with a '/' separator) is a link; the last component counts only when
// wholePath is set. Components are split at '/' alone (never a CP932 trail
// byte). kindOf is asked about each component in turn, path cut behind it
// (path is put back afterwards); components below checked.path are not
// asked again, and checked learns the deepest real directory found.
bool walkNoLinkBelow(char* path, size_t trustedEnd, bool wholePath, PathKind (*kindOf)(const char*),
                     CheckedDirectory& checked);
