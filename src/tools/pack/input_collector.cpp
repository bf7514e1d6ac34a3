#include "tools/pack/input_collector.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "lzh/lzh_format.h"
#include "tools/pack/member_names.h"
#include "tools/pack/pack_support.h"

namespace pack {

namespace {

// The member name of a PATH argument: its components as given, without
// "." and empty ones (and a leading '/'); ".." cannot be a member's name.
bool memberOfArgument(const std::string& path, std::string& member) {
  static bool told = false;
  if (path[0] == '/' && !told) {
    std::fputs("kasumiro: note: leading '/' removed from member names\n", stderr);
    told = true;
  }
  member.clear();
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string component = path.substr(start, end - start);
    if (component == "..")
      return fail(shown(path) + ": '..' cannot be part of a member's name; use -C to start higher");
    if (!component.empty() && component != ".") member += (member.empty() ? "" : "/") + component;
    start = end + 1;
  }
  return true;
}

}  // namespace

void InputCollector::leaveOut(const std::string& path) {
  leavesOut_ = stat(path.c_str(), &leftOut_) == 0;
}

bool InputCollector::addArgument(const std::string& path) {
  std::string member;
  if (!memberOfArgument(path, member)) return false;
  const std::string& base = settings_.base;
  add(base.empty() || path[0] == '/' ? path : base + "/" + path, member);
  return true;
}

// Converts and checks a member's name; false leaves it out (or fails).
bool InputCollector::admit(const std::string& utf8Member, bool directory, std::string& cp932) {
  const char* problem = nullptr;
  if (!toCp932(utf8Member, cp932))
    problem = "holds a character that CP932 cannot represent";
  else
    problem = memberNameProblem(cp932, directory);
  if (!problem) return true;
  const std::string message = shown(utf8Member) + " " + problem;
  if (settings_.skipBadNames) {
    std::fprintf(stderr, "kasumiro: warning: left out: %s\n", message.c_str());
  } else {
    badNames_ = true;
    std::fprintf(stderr, "kasumiro: %s (--skip-bad-names leaves such names out)\n",
                 message.c_str());
  }
  return false;
}

void InputCollector::add(const std::string& native, const std::string& member) {
  if (failed_ || interrupted) return;
  struct stat st;
  if (lstat(native.c_str(), &st) != 0) {
    failed_ = !fail("cannot read " + shown(native) + ": " + reason());
    return;
  }
  if (S_ISLNK(st.st_mode)) {
    if (!settings_.followLinks) {
      std::fprintf(stderr, "kasumiro: warning: left out the symbolic link %s (-L follows)\n",
                   shown(native).c_str());
      return;
    }
    if (stat(native.c_str(), &st) != 0) {
      failed_ = !fail("cannot follow " + shown(native) + ": " + reason());
      return;
    }
  }
  if (leavesOut_ && st.st_dev == leftOut_.st_dev && st.st_ino == leftOut_.st_ino) return;
  if (S_ISREG(st.st_mode)) {
    std::string cp932;
    if (admit(member, false, cp932)) inputs_.push_back({native, cp932, false, st});
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "kasumiro: warning: left out %s: not a file or folder\n",
                 shown(native).c_str());
    return;
  }
  if (!member.empty()) {
    std::string cp932;
    if (!admit(member, true, cp932)) return;
    inputs_.push_back({native, cp932, true, st});
  }
  const auto key = std::make_pair(st.st_dev, st.st_ino);
  if (!openDirectories_.insert(key).second) {
    failed_ = !fail("the symbolic links under " + shown(native) + " form a loop");
    return;
  }
  DIR* dir = opendir(native.c_str());
  if (!dir) {
    failed_ = !fail("cannot read " + shown(native) + ": " + reason());
    return;
  }
  std::vector<std::string> names;
  while (struct dirent* d = readdir(dir))
    if (std::strcmp(d->d_name, ".") && std::strcmp(d->d_name, "..")) names.push_back(d->d_name);
  closedir(dir);
  // Byte order: the same tree always gives the same archive.
  std::sort(names.begin(), names.end());
  for (const std::string& name : names)
    add(native + "/" + name, member.empty() ? name : member + "/" + name);
  openDirectories_.erase(key);
}

bool readNotice(const std::string& path, std::string& cp932, struct stat& st) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fstat(fd, &st) != 0) {
    if (fd >= 0) close(fd);
    return fail("cannot open the notice " + shown(path) + ": " + reason());
  }
  std::string utf8;
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) utf8.append(buffer, static_cast<size_t>(n));
  close(fd);
  if (utf8.find('\0') != std::string::npos || !toCp932(utf8, cp932))
    return fail("the notice " + shown(path) + " is not UTF-8 text that CP932 can represent");
  return true;
}

bool looksLikeArchive(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail("cannot open " + shown(path) + ": " + reason());
  uint8_t head[32] = {};
  const ssize_t got = read(fd, head, sizeof head);
  close(fd);
  if (got > 0 && lzhLooksLikeArchive(head, static_cast<size_t>(got))) return true;
  return fail(shown(path) + " is not an LZH archive");
}

}  // namespace pack
