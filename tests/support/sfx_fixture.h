// A test fixture for running the passes over assembled self-extracting
// images: a fresh process state, a scratch directory, the scripted host.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/sfx_image.h"

// CP932 bytes of a UTF-8 text (message texts, Japanese names).
std::string cp932(const std::string& utf8);

class SfxTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes the image to scratch/image.exe, resets the state and loads the
  // configuration (with commandTail as the command line tail).
  bool loadImage(const std::vector<uint8_t>& image, const std::string& commandTail = "");
  // Sets the destination (a path below the scratch directory).
  void setDestination(const std::string& relative = "out");
  // The Scan pass and, when it succeeds, the Extract pass, as the main
  // dialog runs them. Returns the Extract pass's result (false if Scan failed).
  bool scanAndExtract();

  std::string path(const std::string& relative) const { return scratch + "/" + relative; }
  std::string destination() const { return path("out"); }
  bool exists(const std::string& relative) const;
  std::vector<uint8_t> contents(const std::string& relative) const;
  // Every file and directory below dir, relative, sorted ("a/", "a/b.txt").
  std::vector<std::string> tree(const std::string& relative = "out") const;

  std::string scratch;
  std::string imagePath;
};
