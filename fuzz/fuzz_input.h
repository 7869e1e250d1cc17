// Helpers shared by the fuzz targets: reading typed values from the fuzzer's
// bytes, and failing loudly (abort) when a property does not hold, so that
// libFuzzer records the input and a replay of it fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace fuzz {

inline void Require(bool holds, const char* property) {
  if (!holds) {
    std::fprintf(stderr, "property violated: %s\n", property);
    std::abort();
  }
}

// Consumes the input from the front; values past its end read as zero.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::size_t remaining() const { return size_ - at_; }
  const std::uint8_t* rest() const { return data_ + at_; }

  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  // Little-endian, `bytes` of them.
  std::uint64_t Unsigned(int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= std::uint64_t{Byte()} << (8 * i);
    return value;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace fuzz
