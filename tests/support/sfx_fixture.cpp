#include "support/sfx_fixture.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "extract/passes.h"
#include "platform/posix/platform_posix.h"
#include "platform/posix/text.h"
#include "startup/config.h"
#include "startup/sfx_state.h"
#include "support/scripted_host.h"

std::string cp932(const std::string& utf8) {
  char out[4096];
  if (!utf8ToCp932(utf8.c_str(), out, sizeof out)) return std::string();
  return out;
}

void SfxTest::SetUp() {
  char pattern[] = "/tmp/kasumiro-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  scratch = pattern;
  imagePath = path("image.exe");
  resetSfxState();
  scriptedHost.reset();
  // The texts as a Japanese system shows them (the tests compare some).
  setenv("LC_ALL", "ja_JP.UTF-8", 1);
  posixLastCommand = PosixCommandRecord();
  posixHeldFiles[0] = 0;
  posixRunCommands = false;
  posixFailWriteAfter = 0;
}

void SfxTest::TearDown() {
  std::error_code ignored;
  // Read-only files may have been extracted; make the tree removable.
  std::filesystem::permissions(scratch, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  for (auto it = std::filesystem::recursive_directory_iterator(scratch, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(scratch, ignored);
  posixFailWriteAfter = 0;
  posixDeviceNames = false;
}

bool SfxTest::loadImage(const std::vector<uint8_t>& image, const std::string& commandTail) {
  testkit::writeFile(imagePath, image);
  resetSfxState();
  std::strcpy(sfxState.selfPath, imagePath.c_str());
  return loadConfig(commandTail.c_str());
}

void SfxTest::setDestination(const std::string& relative) {
  std::string dir = path(relative);
  ASSERT_LT(dir.size(), sizeof sfxState.extractDir);
  std::strcpy(sfxState.extractDir, dir.c_str());
}

bool SfxTest::scanAndExtract() {
  sfxState.extracting = 1;
  sfxState.progress.total = 0;
  if (!runExtraction(reinterpret_cast<HostWindow>(1), MODE_SCAN)) return false;
  return runExtraction(reinterpret_cast<HostWindow>(1), MODE_EXTRACT);
}

bool SfxTest::exists(const std::string& relative) const {
  struct stat st;
  return lstat(path(relative).c_str(), &st) == 0;
}

std::vector<uint8_t> SfxTest::contents(const std::string& relative) const {
  return testkit::readFile(path(relative));
}

std::vector<std::string> SfxTest::tree(const std::string& relative) const {
  std::vector<std::string> out;
  std::error_code ignored;
  const std::filesystem::path root = path(relative);
  for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::string name = std::filesystem::relative(it->path(), root).string();
    if (it->is_directory() && !it->is_symlink()) name += "/";
    out.push_back(name);
  }
  std::sort(out.begin(), out.end());
  return out;
}
