// The POSIX platform layer's own shortcuts: the read-ahead on the archive
// and the remembered link checks must never change what the core sees.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/platform_posix.h"

namespace {

std::string scratchDirectory() {
  char pattern[] = "/tmp/kasumiro-platform-XXXXXX";
  EXPECT_NE(mkdtemp(pattern), nullptr);
  return pattern;
}

// Reads, forward and backward skips and absolute seeks in random order give
// the file's own bytes, and the reported position is the caller's.
TEST(PosixPlatformTest, ReadAheadGivesTheFileAsItIs) {
  const std::string dir = scratchDirectory();
  const std::string path = dir + "/archive";
  std::vector<uint8_t> bytes(300000);
  std::mt19937 random(5);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);

  FileHandle file = platformOpenRead(path.c_str());
  ASSERT_NE(file, PLATFORM_INVALID_FILE);
  const uint32_t sizes[] = {0, 1, 26, 50, 4000, 16384, 65535, 65536, 100000};
  int64_t position = 0;
  std::vector<uint8_t> buffer(100000);
  for (int step = 0; step < 3000; ++step) {
    SCOPED_TRACE(step);
    if (step == 1000) {
      // Another file opened for reading takes the read-ahead over; this one
      // goes on from where its reader stood.
      FileHandle other = platformOpenRead(path.c_str());
      uint32_t got = 0;
      ASSERT_TRUE(platformRead(other, buffer.data(), 100, &got));
      ASSERT_TRUE(std::equal(buffer.begin(), buffer.begin() + 100, bytes.begin()));
      platformClose(other);
    } else if (step == 2000) {
      platformClose(file);
      file = platformOpenRead(path.c_str());
      ASSERT_TRUE(platformSeek(file, position, SEEK_FROM_START));
    }
    switch (random() % 4) {
      case 0:
      case 1: {
        const uint32_t want = sizes[random() % 9];
        uint32_t got = 0;
        ASSERT_TRUE(platformRead(file, buffer.data(), want, &got));
        const int64_t left = static_cast<int64_t>(bytes.size()) - position;
        ASSERT_EQ(got, std::min<int64_t>(want, std::max<int64_t>(left, 0)));
        ASSERT_TRUE(std::equal(buffer.begin(), buffer.begin() + got, bytes.begin() + position));
        position += got;
        break;
      }
      case 2: {
        const int64_t distance = static_cast<int64_t>(random() % 140000) - 70000;
        if (position + distance < 0) break;
        ASSERT_TRUE(platformSeek(file, distance, SEEK_FROM_CURRENT));
        position += distance;
        break;
      }
      default:
        position = random() % (bytes.size() + 10);
        ASSERT_TRUE(platformSeek(file, position, SEEK_FROM_START));
        break;
    }
    ASSERT_EQ(posixReadPosition(file), position);
  }
  platformClose(file);
  std::remove(path.c_str());
  rmdir(dir.c_str());
}

// Directories found real are remembered within a pass only: a link put in
// a remembered place is found once the next pass starts, and a link beside
// them at once.
TEST(PosixPlatformTest, RememberedDirectoriesLastOnePass) {
  const std::string dir = scratchDirectory();
  const std::string dest = dir + "/dest/";
  ASSERT_EQ(mkdir((dir + "/dest").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((dest + "a").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((dest + "a/b").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((dir + "/outside").c_str(), 0700), 0);

  platformForgetCheckedDirectories();
  EXPECT_TRUE(platformNoLinkBelow((dest + "a/b/file").c_str(), dest.size(), false));
  ASSERT_EQ(symlink((dir + "/outside").c_str(), (dest + "a/c").c_str()), 0);
  EXPECT_FALSE(platformNoLinkBelow((dest + "a/c/file").c_str(), dest.size(), false));
  EXPECT_TRUE(platformNoLinkBelow((dest + "a/b/other").c_str(), dest.size(), false));

  ASSERT_EQ(rmdir((dest + "a/b").c_str()), 0);
  ASSERT_EQ(symlink((dir + "/outside").c_str(), (dest + "a/b").c_str()), 0);
  platformForgetCheckedDirectories();
  EXPECT_FALSE(platformNoLinkBelow((dest + "a/b/file").c_str(), dest.size(), false));

  unlink((dest + "a/b").c_str());
  unlink((dest + "a/c").c_str());
  rmdir((dest + "a").c_str());
  rmdir((dir + "/dest").c_str());
  rmdir((dir + "/outside").c_str());
  rmdir(dir.c_str());
}

// The temporary folder of a run: made only where nothing is, private, and
// removed with everything in it, its links as links.
TEST(PosixPlatformTest, PrivateFolderIsNewAndGoesWithoutFollowingLinks) {
  const std::string dir = scratchDirectory();
  const std::string folder = dir + "/run";
  ASSERT_TRUE(platformCreatePrivateDirectory(folder.c_str()));
  EXPECT_FALSE(platformCreatePrivateDirectory(folder.c_str()));
  struct stat st;
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  ASSERT_EQ(mkdir((dir + "/outside").c_str(), 0700), 0);
  FILE* kept = std::fopen((dir + "/outside/kept").c_str(), "w");
  ASSERT_NE(kept, nullptr);
  std::fclose(kept);
  ASSERT_EQ(mkdir((folder + "/sub").c_str(), 0700), 0);
  FILE* inside = std::fopen((folder + "/sub/file").c_str(), "w");
  ASSERT_NE(inside, nullptr);
  std::fclose(inside);
  ASSERT_EQ(chmod((folder + "/sub/file").c_str(), 0444), 0);
  ASSERT_EQ(symlink((dir + "/outside").c_str(), (folder + "/sub/link").c_str()), 0);
  ASSERT_EQ(symlink((dir + "/outside/kept").c_str(), (folder + "/file-link").c_str()), 0);

  EXPECT_TRUE(platformRemoveTree(folder.c_str()));
  EXPECT_NE(lstat(folder.c_str(), &st), 0);
  EXPECT_EQ(stat((dir + "/outside/kept").c_str(), &st), 0);
  EXPECT_FALSE(platformRemoveTree(folder.c_str()));

  unlink((dir + "/outside/kept").c_str());
  rmdir((dir + "/outside").c_str());
  rmdir(dir.c_str());
}

}  // namespace
