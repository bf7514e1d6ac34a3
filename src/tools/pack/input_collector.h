// What goes into the archive, found and checked before anything is written:
// the PATH arguments with everything under them in byte order, their member
// names (refused when the stub could not create them; a name beyond CP932
// gets a CP932 fallback beside its Unicode form), the notice text, and the
// archive that --from wraps.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace pack {

struct CollectSettings {
  std::string base;                  // -C: the PATHs are relative to it
  bool followLinks = false;          // -L: symbolic links are followed, not left out
  bool skipBadNames = false;         // names the stub cannot create are left out, not refused
  std::vector<std::string> exclude;  // -x: shell patterns of paths and names left out
};

// A file or folder that goes in.
struct Input {
  std::string native;   // the path to open
  std::string member;   // CP932, '/' between components: the exact name or its fallback
  std::string unicode;  // UTF-8 when the name is beyond CP932 (empty otherwise)
  std::string utf8;     // the member's path as given, UTF-8
  bool directory;
  struct stat st;
};

class InputCollector {
 public:
  explicit InputCollector(const CollectSettings& settings) : settings_(settings) {}

  // The file at path, when there is one, is the output about to be
  // replaced: met among the inputs, it is refused (reading it while it is
  // written would lose it).
  void setOutput(const std::string& path);
  // Takes in a PATH argument and everything under it. False (reported) when
  // the argument cannot be a member's name; the other problems are
  // reported as they are met and make complete() false.
  bool addArgument(const std::string& path);
  // Everything could be read, every name was admitted (or left out with
  // --skip-bad-names), and no two inputs would be one member on Windows:
  // the same file or folder named twice is kept once (with a warning), two
  // different ones under the same name, or names equal but for the case of
  // their letters, are refused naming both.
  bool complete();
  const std::vector<Input>& inputs() const { return inputs_; }

 private:
  bool admit(const std::string& utf8Member, bool directory, std::string& cp932,
             std::string& unicode);
  bool excluded(const std::string& utf8Member) const;
  void add(const std::string& native, const std::string& member);
  std::string fallbackOf(const std::string& utf8Path);

  const CollectSettings settings_;
  std::vector<Input> inputs_;
  std::set<std::pair<dev_t, ino_t>> openDirectories_;  // loops through links
  struct stat output_ {};
  bool outputExists_ = false;
  // CP932 names in use in each folder (by its UTF-8 path), ASCII letters in
  // lower case, and the CP932 path given to each folder beyond CP932.
  std::map<std::string, std::set<std::string>> taken_;
  std::map<std::string, std::string> fallbacks_;
  bool failed_ = false;    // something could not be read: stop
  bool badNames_ = false;  // names refused: all are reported, then stop
};

// The notice text (UTF-8 in the file) as the "!" member stores it: CP932
// when CP932 holds it exactly, else UTF-8 after a byte-order mark. And the
// file's status.
bool readNotice(const std::string& path, std::string& stored, struct stat& st);

// Reads the archive of --from whole with the reader of kasumiro t, which is
// the stub's: true when every member is intact and of a kind the stub
// extracts, with their names (CP932) in members. Reported otherwise.
bool readWholeArchive(const std::string& path, std::vector<std::string>& members);

// The name of a member as Windows compares names: ASCII letters in lower
// case, the second byte of a double-byte character untouched.
std::string foldedName(const std::string& cp932);

}  // namespace pack
