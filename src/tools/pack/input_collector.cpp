#include "tools/pack/input_collector.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "extract/entry_header.h"
#include "extract/passes.h"
#include "lzh/lzh_format.h"
#include "platform/posix/text.h"
#include "startup/config.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"
#include "tools/pack/member_names.h"
#include "tools/pack/pack_support.h"

namespace pack {

namespace {

// The native-root slot under which the core reads the archive of --from.
constexpr int ARCHIVE_SLOT = 1;

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

// The CP932 form of a name, exact: it comes back as the same UTF-8.
bool exactCp932(const std::string& utf8, std::string& cp932) {
  std::vector<char> back(utf8.size() + 1);
  return toCp932(utf8, cp932) && cp932ToUtf8(cp932.c_str(), back.data(), back.size()) &&
         utf8 == back.data();
}

std::string folded(std::string name) {
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return name;
}

}  // namespace

void InputCollector::setOutput(const std::string& path) {
  outputExists_ = stat(path.c_str(), &output_) == 0;
}

bool InputCollector::excluded(const std::string& utf8Member) const {
  const size_t slash = utf8Member.rfind('/');
  const char* name = utf8Member.c_str() + (slash == std::string::npos ? 0 : slash + 1);
  for (const std::string& pattern : settings_.exclude)
    if (fnmatch(pattern.c_str(), utf8Member.c_str(), 0) == 0 ||
        fnmatch(pattern.c_str(), name, 0) == 0)
      return true;
  return false;
}

// The fallback names (0x01/0x02 beside 0x44/0x45) are the name with '_' for
// each character CP932 lacks ("Ärger.txt" is "_rger.txt"); where that name
// is taken in its folder (ASCII letters compared without case, as Windows
// does), "_~2", "_~3", ... goes before the extension. A folder's fallback is
// used by every member below it, so that old readers put them together.
// Names that CP932 holds are reserved first (complete): a fallback never
// takes a real name.
std::string InputCollector::fallbackOf(const std::string& utf8Path) {
  const auto known = fallbacks_.find(utf8Path);
  if (known != fallbacks_.end()) return known->second;
  const size_t slash = utf8Path.rfind('/');
  const std::string parent = slash == std::string::npos ? "" : utf8Path.substr(0, slash);
  const std::string last = utf8Path.substr(slash == std::string::npos ? 0 : slash + 1);
  std::string name;
  std::set<std::string>& taken = taken_[parent];
  if (!exactCp932(last, name)) {
    const std::string base = cp932Rendition(last);
    const size_t dot = base.rfind('.');
    const size_t cut = dot == std::string::npos || dot == 0 ? base.size() : dot;
    name = base;
    for (int n = 2; taken.count(folded(name)); ++n)
      name = base.substr(0, cut) + "_~" + std::to_string(n) + base.substr(cut);
  }
  taken.insert(folded(name));
  const std::string path = parent.empty() ? name : fallbackOf(parent) + "/" + name;
  fallbacks_[utf8Path] = path;
  return path;
}

bool InputCollector::addArgument(const std::string& path) {
  std::string member;
  if (!memberOfArgument(path, member)) return false;
  const std::string& base = settings_.base;
  add(base.empty() || path[0] == '/' ? path : base + "/" + path, member);
  return true;
}

// Converts and checks a member's name; false leaves it out (or fails). A
// name beyond CP932 is checked in its exact form and gets its fallback.
bool InputCollector::admit(const std::string& utf8Member, bool directory, std::string& cp932,
                           std::string& unicode) {
  const char* problem = nullptr;
  std::vector<char> text(utf8Member.size() * 2 + 8);
  unicode.clear();
  if (exactCp932(utf8Member, cp932)) {
    problem = memberNameProblem(cp932, directory);
  } else if (!utf8ToProgramText(utf8Member.c_str(), text.data(), text.size())) {
    problem = "is not UTF-8";
  } else {
    problem = memberNameProblem(text.data(), directory);
    unicode = utf8Member;
  }
  if (!problem) return true;  // a fallback is given when all names are known
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
  if (failed_ || interrupted || (!member.empty() && excluded(member))) return;
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
  if (outputExists_ && st.st_dev == output_.st_dev && st.st_ino == output_.st_ino) {
    failed_ =
        !fail(shown(native) + " is the OUTPUT itself and cannot go into it (-x leaves it out)");
    return;
  }
  if (S_ISREG(st.st_mode)) {
    std::string cp932, unicode;
    if (admit(member, false, cp932, unicode))
      inputs_.push_back({native, cp932, unicode, member, false, st});
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "kasumiro: warning: left out %s: not a file or folder\n",
                 shown(native).c_str());
    return;
  }
  if (!member.empty()) {
    std::string cp932, unicode;
    if (!admit(member, true, cp932, unicode)) return;
    inputs_.push_back({native, cp932, unicode, member, true, st});
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
  // The exact names of the folder are theirs before any fallback is made.
  for (const std::string& name : names) {
    std::string cp932;
    if (exactCp932(name, cp932)) taken_[member].insert(folded(cp932));
  }
  for (const std::string& name : names)
    add(native + "/" + name, member.empty() ? name : member + "/" + name);
  openDirectories_.erase(key);
}

bool readNotice(const std::string& path, std::string& stored, struct stat& st) {
  // The stub shows what its 1024-byte message buffer holds: 1023 bytes and
  // the terminator. Longer texts would be cut at run time, so they are
  // refused here, where the author can shorten them. A byte shown is at
  // most four bytes of UTF-8 (a byte-order mark may come first).
  constexpr size_t SHOWN = 1023;
  std::string utf8;
  if (!readSmallFile(path, 4 * SHOWN + 3, "the notice", utf8) || stat(path.c_str(), &st) != 0)
    return false;
  static const char BOM[] = "\xEF\xBB\xBF";
  if (utf8.compare(0, 3, BOM) == 0) utf8.erase(0, 3);
  std::vector<char> text(utf8.size() * 2 + 8);
  if (utf8.find('\0') != std::string::npos ||
      !utf8ToProgramText(utf8.c_str(), text.data(), text.size()))
    return fail("the notice " + shown(path) + " is not UTF-8 text");
  // A notice beyond CP932 goes as UTF-8, marked, which the stub shows as it
  // is (converted to its own text, which must fit too); a CP932 one stays
  // what every reader knows.
  if (exactCp932(utf8, stored)) {
    if (stored.size() > SHOWN)
      return fail("the notice " + shown(path) + " is " + std::to_string(stored.size()) +
                  " bytes in CP932; the stub shows at most " + std::to_string(SHOWN));
    return true;
  }
  stored = BOM + utf8;
  const size_t held = std::max(stored.size(), std::strlen(text.data()));
  if (held > SHOWN)
    return fail("the notice " + shown(path) + " takes " + std::to_string(held) +
                " bytes in the stub; it shows at most " + std::to_string(SHOWN));
  return true;
}

std::string foldedName(const std::string& cp932) {
  std::string folded = cp932;
  for (size_t i = 0; i < folded.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(folded[i]);
    if (((byte >= 0x81 && byte <= 0x9F) || byte >= 0xE0) && i + 1 < folded.size())
      ++i;
    else if (byte >= 'A' && byte <= 'Z')
      folded[i] = static_cast<char>(byte + ('a' - 'A'));
  }
  return folded;
}

namespace {

// A member's name (CP932) for a message.
std::string shownMember(const std::string& cp932) {
  std::vector<char> utf8(cp932.size() * 3 + 16);
  return cp932ToUtf8(cp932.c_str(), utf8.data(), utf8.size()) ? shown(utf8.data()) : "?";
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool InputCollector::complete() {
  if (failed_ || badNames_) return false;
  taken_.clear();
  fallbacks_.clear();
  for (const Input& e : inputs_) {
    if (!e.unicode.empty()) continue;
    // Every component of a name that CP932 holds is its own.
    for (size_t slash = e.utf8.find('/');; slash = e.utf8.find('/', slash + 1)) {
      const std::string path = e.utf8.substr(0, slash);
      const size_t parentEnd = path.rfind('/');
      const std::string parent = parentEnd == std::string::npos ? "" : path.substr(0, parentEnd);
      std::string cp932;
      exactCp932(path.substr(parentEnd == std::string::npos ? 0 : parentEnd + 1), cp932);
      taken_[parent].insert(folded(cp932));
      if (slash == std::string::npos) break;
    }
  }
  for (Input& e : inputs_)
    if (!e.unicode.empty()) e.member = fallbackOf(e.utf8);
  std::map<std::string, size_t> seen;  // folded name -> its place in kept
  std::vector<Input> kept;
  std::string quietBelow;  // a folder named twice: what is inside it is too
  bool clash = false;
  for (Input& e : inputs_) {
    const auto found = seen.emplace(foldedName(e.member), kept.size());
    if (found.second) {
      kept.push_back(std::move(e));
      continue;
    }
    const Input& first = kept[found.first->second];
    const std::string both = shown(first.native) + " and " + shown(e.native);
    if (first.member == e.member && sameFile(first.st, e.st)) {
      if (quietBelow.empty() || e.member.compare(0, quietBelow.size(), quietBelow) != 0) {
        std::fprintf(stderr, "kasumiro: warning: %s is named twice (%s); stored once\n",
                     shownMember(e.member).c_str(), both.c_str());
        if (e.directory) quietBelow = e.member + "/";
      }
      continue;
    }
    clash = true;
    fail(first.member == e.member
             ? both + " would both be stored as " + shownMember(e.member)
             : both + " would be stored as " + shownMember(first.member) + " and " +
                   shownMember(e.member) + ", which Windows takes for one name");
  }
  inputs_ = std::move(kept);
  return !clash;
}

bool readWholeArchive(const std::string& path, std::vector<std::string>& members) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail("cannot open " + shown(path) + ": " + reason());
  uint8_t head[32] = {};
  const ssize_t got = read(fd, head, sizeof head);
  close(fd);
  if (got <= 0 || !lzhLooksLikeArchive(head, static_cast<size_t>(got)))
    return fail(shown(path) + " is not an LZH archive");
  // The core reads the file under a stand-in for its native path.
  char* cwd = path[0] == '/' ? nullptr : getcwd(nullptr, 0);
  const std::string absolute = cwd ? std::string(cwd) + "/" + path : path;
  std::free(cwd);
  resetSfxState();
  setNativeRoot(ARCHIVE_SLOT, absolute.c_str(), sfxState.selfPath);
  copyTextBounded(sfxState.config.title, loadMessage(MSG_DEFAULT_TITLE),
                  sizeof sfxState.config.title);
  bool ok = runTestPass(nullptr);
  if (ok && openArchive()) {
    while (readEntryHeader() == HEADER_OK && skipMemberData())
      members.push_back(sfxState.memberName);
    closeArchive();
  }
  setNativeRoot(ARCHIVE_SLOT, "", sfxState.selfPath);
  if (!ok)
    return fail(shown(path) + " is damaged or holds what the stub cannot extract (kasumiro t " +
                shown(path) + " tells more)");
  return true;
}

}  // namespace pack
