#include "support/compress.h"

#include <stdexcept>
#include <string>

namespace testkit {

namespace {

struct VectorSink final : LzhEncoderSink {
  std::vector<uint8_t>* bytes;
  explicit VectorSink(std::vector<uint8_t>* out) : bytes(out) {}
  bool put(const uint8_t* data, size_t size) override {
    bytes->insert(bytes->end(), data, data + size);
    return true;
  }
};

}  // namespace

std::vector<uint8_t> compress(char method, const std::vector<uint8_t>& data, int level) {
  std::vector<uint8_t> stream;
  VectorSink sink(&stream);
  static LzhEncoder encoder;  // allocates its buffers once for all members
  if (!encoder.begin(method == '4' ? '5' : method, level, &sink))
    throw std::invalid_argument(std::string("compress: no encoder for method ") + method);
  if (!encoder.write(data.data(), data.size()) || !encoder.finish())
    throw std::runtime_error("compress: the encoder stopped");
  return stream;
}

}  // namespace testkit
