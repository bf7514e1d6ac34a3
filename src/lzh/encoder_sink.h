// Where the encoder's compressed bytes go.
#pragma once

#include <cstddef>
#include <cstdint>

class LzhEncoderSink {
 public:
  // Takes size bytes (at most 64 KiB at a time). Returns false to stop the
  // encoder, for instance after a failed write.
  virtual bool put(const uint8_t* data, size_t size) = 0;

 protected:
  ~LzhEncoderSink() = default;
};
