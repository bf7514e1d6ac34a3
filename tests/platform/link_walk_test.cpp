// The link walk both platform layers use (on Windows any reparse point is a
// link): a link anywhere between the destination and a member refuses it,
// the destination itself is the user's, and what a pass remembers never
// hides a link the walk has not seen.
#include "platform/link_walk.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

// The file system the walk sees: every path not listed is missing.
std::map<std::string, PathKind> files;
std::vector<std::string> asked;

PathKind kindOf(const char* path) {
  asked.push_back(path);
  std::string name;  // as the system reads it: "a//b" is "a/b"
  for (const char* p = path; *p; ++p)
    if (*p != '/' || name.empty() || name.back() != '/') name += *p;
  auto it = files.find(name);
  return it == files.end() ? PATH_MISSING : it->second;
}

constexpr size_t TRUSTED = 5;  // "dest/"

struct Walk {
  char memory[64];
  CheckedDirectory checked{memory, sizeof memory, 0};
  bool operator()(const std::string& path, bool wholePath) {
    char work[128];
    path.copy(work, sizeof work - 1);
    work[path.size()] = 0;
    asked.clear();
    const bool result = walkNoLinkBelow(work, TRUSTED, wholePath, kindOf, checked);
    EXPECT_EQ(work, path) << "the path is put back";
    return result;
  }
};

TEST(LinkWalkTest, ALinkBelowTheDestinationRefusesTheMember) {
  files = {{"dest", PATH_LINK},       {"dest/d", PATH_DIRECTORY}, {"dest/d/link", PATH_LINK},
           {"dest/link", PATH_LINK},  {"dest/f", PATH_OTHER},     {"dest/d/e", PATH_DIRECTORY},
           {"dest/d/e/x", PATH_OTHER}};
  const struct {
    const char* path;
    bool wholePath;
    bool accepted;
  } cases[] = {
      {"dest/new/file", false, true},    // nothing there yet
      {"dest/d/e/x", false, true},       // real directories (dest itself is a link: the user's)
      {"dest/link/file", false, false},  // a link right below the destination
      {"dest/d/link/deeper/file", false, false},
      {"dest/d/link", false, true},  // the file's own place: its creation refuses a link
      {"dest/d/link", true, false},  // a directory member's own place
      {"dest/d/link/", true, false},
      {"dest//d///link//file", false, false},  // empty components
      {"dest/f/file", false, true},            // a file on the way: creating below it fails
      {"dest/", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    Walk walk;
    EXPECT_EQ(walk(c.path, c.wholePath), c.accepted);
    for (const std::string& path : asked) EXPECT_NE(path, "dest") << "the destination was walked";
  }
}

TEST(LinkWalkTest, RememberedDirectoriesNeverHideALink) {
  files = {{"dest/a", PATH_DIRECTORY}, {"dest/a/b", PATH_DIRECTORY}, {"dest/ab", PATH_DIRECTORY}};
  Walk walk;
  ASSERT_TRUE(walk("dest/a/b/file", false));
  EXPECT_EQ(asked, (std::vector<std::string>{"dest/a", "dest/a/b"}));
  // Below the remembered directory nothing is asked again...
  EXPECT_TRUE(walk("dest/a/b/other", false));
  EXPECT_TRUE(asked.empty());
  // ...but beside it, and where its name is only a prefix, everything is.
  files["dest/a/c"] = PATH_LINK;
  files["dest/a/bc"] = PATH_LINK;
  EXPECT_FALSE(walk("dest/a/c/file", false));
  EXPECT_FALSE(walk("dest/a/bc/file", false));
  EXPECT_TRUE(walk("dest/ab/file", false));
  EXPECT_EQ(asked, std::vector<std::string>{"dest/ab"});
  // A directory member's own place is asked even when remembered.
  files["dest/ab"] = PATH_LINK;
  EXPECT_FALSE(walk("dest/ab", true));
  // A pass that forgets finds what changed in a remembered place.
  files["dest/a/b"] = PATH_LINK;
  walk.checked.length = 0;
  EXPECT_FALSE(walk("dest/a/b/file", false));
  // A memory too small for a path is not used, the walk is still right.
  Walk small;
  small.checked.capacity = 4;
  files["dest/a/b"] = PATH_DIRECTORY;
  EXPECT_TRUE(small("dest/a/b/file", false));
  EXPECT_EQ(small.checked.length, 0u);
}

}  // namespace
