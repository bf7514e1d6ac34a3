// The archive as it is written: a temporary file beside OUTPUT that becomes
// OUTPUT only when complete, the stub image or --from archive copied in, a
// header and data per member (compressed by our encoder when that makes it
// smaller, stored otherwise), the end marker, and the progress line.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "lzh/header_writer.h"
#include "lzh/lzh_encoder.h"

namespace pack {

struct WriteSettings {
  char method = '7';              // '0', '5', '6' or '7' as in "-lh7-"
  int level = LZH_DEFAULT_LEVEL;  // 1 (faster) ... 9 (smaller)
  int64_t latest = -1;            // SOURCE_DATE_EPOCH: no time stored is later; -1 for none
};

// The progress bar on stderr (a terminal only): bytes and files done,
// packed size so far.
struct Progress {
  bool enabled = false;
  bool shown = false;
  struct timespec start {};
  struct timespec last {};
  uint64_t totalBytes = 0;
  uint64_t doneBytes = 0;
  uint64_t packedBytes = 0;
  size_t totalFiles = 0;
  size_t doneFiles = 0;

  void begin();
  // Short runs show nothing; long ones at most ten times a second.
  void update();
  void end();
};

class ArchiveWriter final : public LzhEncoderSink {
 public:
  // output becomes a file with the execute bits when executable.
  ArchiveWriter(const std::string& output, bool executable, const WriteSettings& settings);
  ~ArchiveWriter() { discard(); }

  // Creates the temporary file.
  bool open();
  // Makes the temporary file OUTPUT: its mode as a new file of the user's
  // would have, its data on the disk, then its name.
  bool commit();
  // Removes the temporary file; OUTPUT stays as it was.
  void discard();

  bool put(const uint8_t* data, size_t size) override;
  bool writeAll(const uint8_t* data, size_t size);
  // Copies a whole file (the archive of --from) behind what is written.
  bool copyFile(const std::string& path);
  // A directory member. member is CP932; unicode, when not empty, is the
  // exact name (UTF-8) whose fallback member is.
  bool directory(const std::string& member, const struct stat& st, const std::string& unicode = "");
  // A file member (the file at native, or contents when given).
  bool file(const std::string& native, const std::string& member, const struct stat& st,
            const std::string* contents = nullptr, const std::string& unicode = "");
  // The end marker.
  bool end();

  uint64_t position() const { return position_; }
  Progress progress;

 private:
  template <typename Consume>
  bool feed(const std::string& native, const std::string* contents, uint64_t size,
            uint64_t& consumed, Consume consume);
  bool header(const LzhHeaderFields& f);
  bool failWrite();
  void setTimes(LzhHeaderFields& f, struct timespec t) const;

  const std::string output_;
  const bool executable_;
  const WriteSettings settings_;
  std::unique_ptr<uint8_t[]> chunk_;
  LzhEncoder encoder_;
  std::string temp_;
  int fd_ = -1;
  uint64_t position_ = 0;
  bool failed_ = false;
};

}  // namespace pack
