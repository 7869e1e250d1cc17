// The converter against the reference model of its unit tests, chunk for
// chunk after every packet. The input is a chunk size (two bytes, 1 to 8192)
// and then packets, each a kind byte, a flags byte and a 16-bit frame count.
// The kind's low two bits: 0 takes the samples from the input, 1 makes them
// pseudo-random, 2 picks extreme values, 3 passes a null pointer. The frame
// count is taken modulo 4411 (up to the 100 ms a capture buffer holds) unless
// the kind's bit 2 asks for the whole 16-bit range.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "pcmtap/conversion.h"
#include "tests/pcmtap/reference_converter.h"

namespace {

// Bounds the work of one input; packets past it are not fed.
constexpr std::size_t kMaxFramesPerInput = 1 << 17;

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : state_(seed | 1) {}
  std::uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<std::uint32_t>(state_ >> 16);
  }

 private:
  std::uint64_t state_;
};

std::vector<std::int16_t> MakeSamples(fuzz::Input& input, int kind, std::uint32_t frames,
                                      std::uint64_t seed) {
  static const std::int16_t extremes[] = {-32768, -32767, -2, -1, 0, 1, 2, 32766, 32767};
  std::vector<std::int16_t> samples(2 * std::size_t{frames});
  Generator generator(seed);
  for (auto& sample : samples) {
    switch (kind) {
      case 0: sample = static_cast<std::int16_t>(input.Unsigned(2)); break;
      case 1: sample = static_cast<std::int16_t>(generator.Next()); break;
      default: sample = extremes[generator.Next() % std::size(extremes)]; break;
    }
  }
  return samples;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::uint64_t chunkFrames = 1 + input.Unsigned(2) % 8192;
  pcmtap::StreamConverter converter(chunkFrames);
  pcmtap::testing::ReferenceConverter reference(chunkFrames);
  std::vector<std::int16_t> chunk, expected;
  std::size_t fed = 0;
  for (std::uint64_t packet = 0; input.remaining() > 0; ++packet) {
    const std::uint8_t kindByte = input.Byte();
    const int kind = kindByte & 3;
    const std::uint32_t flags = input.Byte();
    const auto count = static_cast<std::uint32_t>(input.Unsigned(2));
    const std::uint32_t frames = (kindByte & 4) != 0 ? count : count % 4411;
    fed += frames;
    if (fed > kMaxFramesPerInput) break;
    const std::vector<std::int16_t> samples =
        MakeSamples(input, kind, kind == 3 ? 0 : frames, packet * 0x9E3779B97F4A7C15u + frames);
    const std::int16_t* pointer = kind == 3 ? nullptr : samples.data();
    converter.AddPacket(pointer, frames, flags);
    reference.AddPacket(pointer, frames, flags);
    while (converter.TakeChunk(chunk)) {
      fuzz::Require(reference.TakeChunk(expected), "a chunk the reference does not have yet");
      fuzz::Require(chunk == expected, "chunk samples");
    }
    fuzz::Require(!reference.TakeChunk(expected), "a full chunk left behind");
  }
  return 0;
}
