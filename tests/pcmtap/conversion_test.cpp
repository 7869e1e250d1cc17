#include "pcmtap/conversion.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "reference_converter.h"

namespace pcmtap {
namespace {

using Samples = std::vector<std::int16_t>;
using ::testing::ElementsAreArray;

struct Packet {
  Samples frames;  // interleaved left, right
  std::uint32_t flags = 0;
  bool null = false;
};

using testing::ReferenceConverter;

// Feeds every packet, taking all full chunks after each; returns the chunks
// joined, after checking that each was whole.
template <typename Converter>
Samples Feed(Converter& converter, std::uint64_t chunkFrames, const std::vector<Packet>& packets) {
  Samples all, chunk;
  for (const Packet& p : packets) {
    converter.AddPacket(p.null ? nullptr : p.frames.data(),
                        static_cast<std::uint32_t>(p.frames.size() / 2), p.flags);
    while (converter.TakeChunk(chunk)) {
      EXPECT_EQ(chunk.size(), chunkFrames);
      all.insert(all.end(), chunk.begin(), chunk.end());
    }
  }
  return all;
}

Samples Convert(std::uint64_t chunkFrames, const std::vector<Packet>& packets) {
  StreamConverter converter(chunkFrames);
  return Feed(converter, chunkFrames, packets);
}

// Splits interleaved frames into packets of the given sizes, cycling.
std::vector<Packet> Split(const Samples& frames, const std::vector<std::size_t>& sizes) {
  std::vector<Packet> packets;
  for (std::size_t at = 0, k = 0; at < frames.size(); ++k) {
    const std::size_t end = std::min(frames.size(), at + 2 * sizes[k % sizes.size()]);
    packets.push_back({Samples(frames.begin() + static_cast<std::ptrdiff_t>(at),
                               frames.begin() + static_cast<std::ptrdiff_t>(end))});
    at = end;
  }
  return packets;
}

Samples RandomFrames(std::mt19937& random, std::size_t frames) {
  std::uniform_int_distribution<int> value(-32768, 32767);
  Samples s(2 * frames);
  for (auto& v : s) v = static_cast<std::int16_t>(value(random));
  return s;
}

TEST(ConversionRounding, HalvesGoAwayFromZero) {
  const std::pair<double, int> cases[] = {{2.5, 3},
                                          {-0.5, -1},
                                          {-24780.8, -24781},
                                          {15.125, 15},
                                          {32766.5, 32767},
                                          {-32767.5, -32768},
                                          {0.49999999999999994, 0},
                                          {-0.49999999999999994, 0},
                                          {1.4999999999999998, 1},
                                          {-0.0, 0}};
  for (const auto& [v, expected] : cases) EXPECT_EQ(RoundHalfAwayFromZero(v), expected) << v;
}

TEST(ConversionDownmix, TruncatesTowardZero) {
  const int cases[][3] = {{-3, 0, -1},
                          {3, 0, 1},
                          {-1, 0, 0},
                          {1, 0, 0},
                          {-7, -8, -7},
                          {32767, 32767, 32767},
                          {-32768, -32768, -32768},
                          {32767, -32768, 0}};
  for (const auto& c : cases) {
    const auto l = static_cast<std::int16_t>(c[0]), r = static_cast<std::int16_t>(c[1]);
    // The first point of a run lies exactly on the first sample.
    EXPECT_THAT(Convert(1, {{{l, r, 0, 0}}}), ElementsAreArray({c[2]})) << c[0] << " + " << c[1];
  }
}

TEST(ConversionExamples, PacketSequences) {
  const Samples silence3 = {500, 500, 500, 500, 500, 500};
  const Packet rise = {{0, 0, 0, 0, 1000, 1000}};
  struct Case {
    const char* name;
    std::uint64_t chunkFrames;
    std::vector<Packet> packets;
    Samples expected;
  } cases[] = {
      {"worked example, continued",
       2,
       {{{100, 200, -3, 0, 1000, -1000, -32768, -32768, 32767, 32767}},
        {{10, 10, 20, 20, -7, -8}},
        {{40, 40, 80, 80}}},
       {150, -24781, 15, 51}},
      {"silent flag gives zeros, interpolated from the last sample",
       1,
       {rise, {silence3, 0x2}},
       {0, 244}},
      {"null pointer gives zeros", 1, {rise, {silence3, 0, true}}, {0, 244}},
      {"empty packets change nothing",
       1,
       {rise, {{}, 0x2, true}, {{}, 0x2}, {{}, 0}, {silence3, 0x2}},
       {0, 244}},
      // The fourth single frame moves position past the held samples; the
      // next point then lies 1.5125 into the following packet.
      {"single frames, position passing the held samples",
       1,
       {{{7, 9}}, {{20, 20}}, {{-5, -5}}, {{40, 40}}, {{100, 100}}, {{0, 0}}, {{100, 100}}},
       {8, 29, 51}},
  };
  for (const Case& c : cases)
    EXPECT_THAT(Convert(c.chunkFrames, c.packets), ElementsAreArray(c.expected)) << c.name;
}

class ConversionReference : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(ConversionReference, MatchesSampleForSampleOverRandomPackets) {
  const std::uint64_t chunkFrames = GetParam();
  std::mt19937 random(static_cast<unsigned>(chunkFrames));
  const std::uint32_t sizes[] = {0, 1, 2, 3, 440, 441, 442, 1024, 4410};
  const std::uint32_t flags[] = {0, 0x1, 0x2, 0x4, 0x1 | 0x4};
  std::vector<Packet> packets(1500);
  for (Packet& p : packets) {
    const std::uint32_t choice = random() % 11;
    const std::size_t frames = choice < 9    ? sizes[choice]
                               : choice == 9 ? random() % 3000
                                             : 1 + random() % 4;
    p = {RandomFrames(random, frames), flags[random() % 5], random() % 16 == 0};
  }
  ReferenceConverter reference(chunkFrames);
  const Samples expected = Feed(reference, chunkFrames, packets);
  EXPECT_GT(reference.overruns, 0);
  EXPECT_GT(expected.size(), 3 * chunkFrames);
  EXPECT_EQ(Convert(chunkFrames, packets), expected);
}

INSTANTIATE_TEST_SUITE_P(ChunkSizes, ConversionReference, ::testing::Values(1, 7, 160, 1024, 8192));

TEST(ConversionProperties, AnHourOf441FramePacketsGives160SamplesEach) {
  std::mt19937 random(7);
  const Samples frames = RandomFrames(random, 441 * 10);
  StreamConverter converter(160);
  Samples chunk;
  int wrong = 0;
  for (int packet = 0; packet < 3600 * 100; ++packet) {
    converter.AddPacket(frames.data() + 2 * 441 * (packet % 10), 441, 0);
    wrong += !converter.TakeChunk(chunk) || converter.TakeChunk(chunk);
  }
  EXPECT_EQ(wrong, 0);
}

TEST(ConversionProperties, SplittingChangesValuesByAtMostOne) {
  std::mt19937 random(11);
  const Samples frames = RandomFrames(random, 300000);
  const Samples whole = Convert(1, Split(frames, {300000}));
  ReferenceConverter reference(1);
  EXPECT_EQ(whole, Feed(reference, 1, Split(frames, {300000})));
  EXPECT_EQ(whole.size(), (300000 * 160 - 1) / 441 + 1);
  const std::vector<std::vector<std::size_t>> splittings = {
      {441}, {1}, {3, 1, 448, 2}, {480, 1024, 7}, {4410, 442, 440}, {1, 1, 1, 1, 4410}};
  for (const auto& sizes : splittings) {
    const Samples split = Convert(1, Split(frames, sizes));
    ASSERT_EQ(split.size(), whole.size()) << sizes[0];
    int furthest = 0;
    for (std::size_t k = 0; k < whole.size(); ++k)
      furthest = std::max(furthest, std::abs(split[k] - whole[k]));
    EXPECT_LE(furthest, 1) << sizes[0];
  }
}

}  // namespace
}  // namespace pcmtap
