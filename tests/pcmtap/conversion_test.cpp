#include "pcmtap/conversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace pcmtap {
namespace {

using Samples = std::vector<std::int16_t>;

struct Packet {
  Samples frames;  // interleaved left, right
  std::uint32_t flags = 0;
  bool null = false;
};

// The plainest transcription of the arithmetic, one output point at a time,
// with the library's floor and lround: the model the converter must match.
struct ReferenceConverter {
  double position = 0.0;
  Samples input, output;
  int overruns = 0;  // trims where floor(position) passed the held samples

  void AddPacket(const Packet& p) {
    if (p.frames.empty()) return;
    for (std::size_t f = 0; f < p.frames.size(); f += 2) {
      const bool silent = (p.flags & 0x2) != 0 || p.null;
      input.push_back(silent ? 0 : static_cast<std::int16_t>((p.frames[f] + p.frames[f + 1]) / 2));
    }
    while (position + 1.0 < static_cast<double>(input.size())) {
      const auto i = static_cast<std::size_t>(std::floor(position));
      const double a = input[i], b = input[i + 1];
      output.push_back(static_cast<std::int16_t>(std::lround((b - a) * (position - static_cast<double>(i)) + a)));
      position = position + 44100.0 / 16000.0;
    }
    const auto consumed = static_cast<std::size_t>(std::floor(position));
    const std::size_t removed = std::min(consumed, input.size());
    overruns += consumed > removed;
    input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(removed));
    position -= static_cast<double>(removed);
  }
};

// Every chunk that the converter yields, joined; each must be whole.
Samples Convert(std::uint64_t chunkFrames, const std::vector<Packet>& packets) {
  StreamConverter converter(chunkFrames);
  Samples all, chunk;
  for (const Packet& p : packets) {
    converter.AddPacket(p.null ? nullptr : p.frames.data(), static_cast<std::uint32_t>(p.frames.size() / 2),
                        p.flags);
    while (converter.TakeChunk(chunk)) {
      EXPECT_EQ(chunk.size(), chunkFrames);
      all.insert(all.end(), chunk.begin(), chunk.end());
    }
  }
  return all;
}

TEST(StreamConverter, MatchesTheReferenceOverRandomPacketSequences) {
  const std::uint32_t sizes[] = {0, 1, 2, 3, 440, 441, 448, 480, 1024, 4410};
  for (const std::uint64_t chunkFrames : {1, 7, 160, 1024, 8192}) {
    std::mt19937 random(static_cast<unsigned>(chunkFrames));
    std::vector<Packet> packets(1000);
    for (Packet& p : packets) {
      // Now and then a long packet: its positions reach high binades.
      const std::uint32_t choice = random() % 100;
      const std::size_t frames = choice < 90 ? sizes[choice % 10] : choice < 99 ? random() % 3000 : 100000;
      p.frames.resize(2 * frames);
      for (auto& v : p.frames) v = static_cast<std::int16_t>(random());
      p.flags = (random() % 6 == 0 ? 0x2 : 0) | (random() % 2 ? 0x1 | 0x4 : 0);
      p.null = random() % 16 == 0;
    }
    ReferenceConverter reference;
    for (const Packet& p : packets) reference.AddPacket(p);
    reference.output.resize(reference.output.size() / chunkFrames * chunkFrames);
    EXPECT_GT(reference.overruns, 0);
    EXPECT_EQ(Convert(chunkFrames, packets), reference.output) << "chunk " << chunkFrames;
  }
}

TEST(StreamConverter, KnownSequences) {
  const Packet rise = {{0, 0, 0, 0, 1000, 1000}};
  const Samples garbage = {500, 500, 500, 500, 500, 500};
  const std::vector<std::pair<std::vector<Packet>, Samples>> cases = {
      // Downmix truncates toward zero; rounding takes halves away from zero.
      {{{{100, 200, -3, 0, 1000, -1000, -32768, -32768, 32767, 32767}}, {{10, 10, 20, 20, -7, -8}}},
       {150, -24781, 15}},
      {{{{-3, 0, 0, 0}}}, {-1}},
      {{{{-1, 0, 0, 0}}}, {0}},
      {{{{32767, -32768, 0, 0}}}, {0}},
      // Silent and null packets are zeros, interpolated from the last sample.
      {{rise, {garbage, 0x2}}, {0, 244}},
      {{rise, {garbage, 0, true}}, {0, 244}},
      {{rise, {{}, 0x2}, {{}, 0, true}, {garbage, 0x2}}, {0, 244}},
      // The fourth single frame moves position past the held samples.
      {{{{7, 9}}, {{20, 20}}, {{-5, -5}}, {{40, 40}}, {{100, 100}}, {{0, 0}}, {{100, 100}}}, {8, 29, 51}},
  };
  for (const auto& [packets, expected] : cases) EXPECT_EQ(Convert(1, packets), expected) << expected[0];
}

TEST(StreamConverter, RoundsHalvesAwayFromZero) {
  const std::pair<double, int> cases[] = {{2.5, 3},       {-0.5, -1},      {-24780.8, -24781},
                                          {32766.5, 32767}, {-32767.5, -32768}, {0.49999999999999994, 0},
                                          {-0.49999999999999994, 0}, {1.4999999999999998, 1}};
  for (const auto& [v, expected] : cases) EXPECT_EQ(RoundHalfAwayFromZero(v), expected) << v;
}

}  // namespace
}  // namespace pcmtap
