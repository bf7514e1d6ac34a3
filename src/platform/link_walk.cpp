#include "platform/link_walk.h"

#include <cstring>

bool walkNoLinkBelow(char* path, size_t trustedEnd, bool wholePath, PathKind (*kindOf)(const char*),
                     CheckedDirectory& checked) {
  const size_t length = std::strlen(path);
  size_t real = trustedEnd;  // the walk starts behind it
  if (checked.length > trustedEnd && checked.length < length && path[checked.length] == '/' &&
      std::strncmp(path, checked.path, checked.length) == 0)
    real = checked.length;
  bool allReal = true;  // every component walked so far is a real directory
  for (size_t i = real + 1; i <= length; ++i) {
    if (i < length && path[i] != '/') continue;
    if (i == length && !wholePath) break;
    if (path[i - 1] == '/') continue;  // an empty component
    const char saved = path[i];
    path[i] = 0;
    const PathKind kind = kindOf(path);
    path[i] = saved;
    if (kind == PATH_LINK) return false;
    allReal = allReal && kind == PATH_DIRECTORY;
    if (allReal) real = i;
  }
  if (real > trustedEnd && real != checked.length && real < checked.capacity) {
    std::memcpy(checked.path, path, real);
    checked.length = real;
  }
  return true;
}
