// The band-limited converter measured on its 16-bit output with tones
// (tone_measure.h), its timing and counts, its bytes under any packet split
// and across a change of format; and the device formats it reads.
#include "pcmtap/band_limited_converter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "tests/pcmtap/tone_measure.h"

namespace pcmtap {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Samples = std::vector<std::int16_t>;
constexpr std::uint32_t kStereo = 0x3, kSurround71 = 0x63F, kCentre = 0x4;

// Frames of `format` whose channel c carries gains[c] times the signal.
Bytes Encode(const SampleFormat& format, const std::vector<double>& gains, const std::vector<double>& signal) {
  const std::size_t size = format.ContainerBytes();
  Bytes bytes;
  for (const double value : signal) {
    for (const double gain : gains) {
      const double v = gain * value;
      const float asFloat = static_cast<float>(v);
      std::uint32_t word = 0;
      if (format.encoding == SampleEncoding::Float32) std::memcpy(&word, &asFloat, 4);
      else if (size == 2) word = static_cast<std::uint16_t>(std::lround(std::clamp(v * 32768.0, -32768.0, 32767.0)));
      else word = static_cast<std::uint32_t>(std::lround(v * 8388608.0)) << (size == 4 ? 8 : 0);  // 24 valid bits
      for (std::size_t b = 0; b < size; ++b) bytes.push_back(static_cast<std::uint8_t>(word >> (8 * b)));
    }
  }
  return bytes;
}

// The converter's whole output for `bytes`, fed in packets of `packet` frames.
Samples Convert(BandLimitedConverter& converter, const Bytes& bytes, std::size_t frameBytes, std::size_t packet = 441) {
  Samples out, chunk;
  const std::size_t frames = bytes.size() / frameBytes;
  for (std::size_t at = 0; at < frames; at += packet) {
    converter.AddPacket(bytes.data() + at * frameBytes, static_cast<std::uint32_t>(std::min(packet, frames - at)), 0);
    while (converter.TakeChunk(chunk)) out.insert(out.end(), chunk.begin(), chunk.end());
  }
  return out;
}

TEST(BandLimitedConverter, MeasuredFigures) {
  enum What { Level, Alias, ThdPlusNoise };
  const struct { std::uint32_t rate; double tone; What what; double bound; } rows[] = {
      {44100, 20, Level, 0.01},    {44100, 1000, Level, 0.01},   {44100, 7000, Level, 0.01},
      {48000, 20, Level, 0.01},    {48000, 1000, Level, 0.01},   {48000, 7000, Level, 0.01},
      {44100, 8400, Alias, -120},  {44100, 12500, Alias, -120}, {44100, 18000, Alias, -120},
      {44100, 21900, Alias, -120}, {48000, 8400, Alias, -120},  {48000, 11000, Alias, -120},
      {48000, 23500, Alias, -120}, {44100, 1000, ThdPlusNoise, -93}, {48000, 1000, ThdPlusNoise, -93}};
  for (const auto& row : rows) {
    const Samples tone = DitheredStereoTone(row.tone, row.rate, row.rate / 2);  // 16-bit stereo at -1 dBFS
    BandLimitedConverter converter(1, SampleFormat{row.rate, 2, SampleEncoding::Int16, kStereo});
    const Samples out = Convert(converter, Bytes(reinterpret_cast<const std::uint8_t*>(tone.data()),
                                                 reinterpret_cast<const std::uint8_t*>(tone.data() + tone.size())), 4);
    const double alias = std::fabs(row.tone - 16000.0 * std::round(row.tone / 16000.0));
    const SineFit fit = FitSine(out, 160, row.what == Alias ? alias : row.tone);
    const double figure = row.what == Level ? std::fabs(fit.Dbfs() + 1.0)
                          : row.what == Alias ? fit.Dbfs() : fit.ThdPlusNoiseDb();
    EXPECT_LE(figure, row.bound) << row.tone << " Hz at " << row.rate << " Hz, figure " << row.what;
  }
}

TEST(BandLimitedConverter, EveryFormatGivesTheSameLevel) {
  const std::vector<double> front = {1, 1}, centreOnly = {0, 0, 1, 0, 0, 0, 0, 0}, fronts71 = {1, 1, 0, 0, 0, 0, 0, 0};
  constexpr ChannelUse kMix = ChannelUse::Downmix;
  const struct { const char* name; SampleFormat format; std::vector<double> gains; double dB; ChannelUse use; } rows[] = {
      {"float stereo", SampleFormat{48000, 2, SampleEncoding::Float32, kStereo}, front, 0.0, kMix},
      {"24 in 32 stereo", SampleFormat{44100, 2, SampleEncoding::Int32, kStereo}, front, 0.0, kMix},
      {"packed 24 stereo", SampleFormat{96000, 2, SampleEncoding::Int24Packed, kStereo}, front, 0.0, kMix},
      {"7.1 float, fronts", SampleFormat{48000, 8, SampleEncoding::Float32, kSurround71}, fronts71, 0.0, kMix},
      {"7.1 float, centre alone", SampleFormat{48000, 8, SampleEncoding::Float32, kSurround71}, centreOnly, -3.0103, kMix},
      {"16-bit mono at 16 kHz", SampleFormat{16000, 1, SampleEncoding::Int16, kCentre}, {1}, 0.0, kMix},
      {"16-bit mono upsampled", SampleFormat{8000, 1, SampleEncoding::Int16, kCentre}, {1}, 0.0, kMix},
      {"a 4-channel array's first channel", SampleFormat{16000, 4, SampleEncoding::Int32, 0x33}, {1, -1, 1, -1}, 0.0,
       ChannelUse::First},
      {"16-bit stereo's first channel", SampleFormat{48000, 2, SampleEncoding::Int16, kStereo}, {1, -1}, 0.0, ChannelUse::First}};
  for (const auto& row : rows) {
    std::vector<double> tone(row.format.sampleRate / 4);
    for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = 0.5 * std::sin(kTwoPi * 1000.0 * i / row.format.sampleRate);
    BandLimitedConverter converter(1, row.format, row.use);
    const SineFit fit = FitSine(Convert(converter, Encode(row.format, row.gains, tone), row.format.FrameBytes()), 160, 1000.0);
    EXPECT_NEAR(fit.Dbfs() - 20.0 * std::log10(0.5), row.dB, 0.01) << row.name;
  }
}

// An impulse peaks 3.5 ms later at every rate and shows in no earlier
// output; N inputs give exactly the outputs that stand before input N; full
// scale steps clip at the 16-bit bounds and never wrap.
TEST(BandLimitedConverter, DelayCountAndClipping) {
  for (const std::uint32_t rate : {8000u, 44100u, 48000u, 96000u, 44101u}) {
    std::vector<double> signal(3 * rate, 0.0);
    const std::size_t click = rate / 10;
    signal[click] = 1.0;
    std::fill(signal.begin() + rate, signal.begin() + 2 * rate, 1.0);
    std::fill(signal.begin() + 2 * rate, signal.end(), -1.0);
    BandLimitedConverter converter(1, SampleFormat{rate, 1, SampleEncoding::Int16, kCentre});
    const Samples out = Convert(converter, Encode(SampleFormat{rate, 1, SampleEncoding::Int16, kCentre}, {1}, signal), 2, 999);
    EXPECT_EQ(out.size(), 48000u) << rate;
    const auto peak = std::max_element(out.begin(), out.begin() + 16000 / 2) - out.begin();
    EXPECT_EQ(peak, std::lround(16000.0 * (static_cast<double>(click) / rate + 0.0035))) << rate;
    EXPECT_TRUE(std::all_of(out.begin(), out.begin() + (click * 16000 + rate - 1) / rate, [](int v) { return v == 0; }));
    EXPECT_EQ(*std::max_element(out.begin() + 16000, out.begin() + 32000), 32767) << rate;
    EXPECT_GT(*std::min_element(out.begin() + 16000, out.begin() + 32000 - 80), -6000) << rate;
    EXPECT_EQ(*std::min_element(out.begin() + 32000, out.end()), -32768) << rate;
    EXPECT_LT(*std::max_element(out.begin() + 32080, out.end()), 6000) << rate;
  }
}

// The same bytes whatever the packets: one, 441 frames, one frame, and a
// mix of sizes with silent and null packets and, at 44.1 kHz, a change to
// float samples that carry the same values.
TEST(BandLimitedConverter, SameBytesForEveryPacketSplit) {
  const SampleFormat floats = SampleFormat{44100, 2, SampleEncoding::Float32, kStereo};
  for (const SampleFormat& format : {SampleFormat{44100, 2, SampleEncoding::Int16, kStereo}, SampleFormat{96000, 6, SampleEncoding::Int16, 0x3F},
                                     SampleFormat{44101, 1, SampleEncoding::Int16, kCentre}}) {
    const std::size_t frameBytes = format.FrameBytes(), frames = format.sampleRate / 5;
    std::vector<double> signal(frames);  // a sweep on 16-bit steps, silent in every third thousand frames
    for (std::size_t i = 0; i < frames; ++i) {
      signal[i] = (i / 1000) % 3 == 1 ? 0.0 : std::round(9830.0 * std::sin(0.05 * i) * std::sin(0.0007 * i * i)) / 32768;
    }
    const std::vector<double> gains(format.channels, 1.0);
    const Bytes bytes = Encode(format, gains, signal), asFloats = Encode(floats, gains, signal);
    BandLimitedConverter whole(1, format);
    const Samples reference = Convert(whole, bytes, frameBytes, frames);
    for (const std::size_t packet : {std::size_t{441}, std::size_t{1}}) {
      BandLimitedConverter converter(1, format);
      EXPECT_EQ(Convert(converter, bytes, frameBytes, packet), reference) << format.sampleRate << ", packets of " << packet;
    }
    BandLimitedConverter mixed(1, format);
    Samples out, chunk;
    for (std::size_t at = 0, size = 1; at < frames; at += size, size = size * 7 % 1013 + 1) {
      const auto count = static_cast<std::uint32_t>(std::min(size, frames - at));
      const bool silent = (at / 1000) % 3 == 1 && ((at + count - 1) / 1000) % 3 == 1;
      const bool late = format.sampleRate == 44100 && at > frames / 2;
      if (late) mixed.SetFormat(floats);
      const std::uint8_t* data = late ? asFloats.data() + at * 8 : bytes.data() + (silent ? at % 1000 : at) * frameBytes;
      mixed.AddPacket(silent && at % 2 == 1 ? nullptr : data, count, silent ? 0x2 | 0x1 : 0x1);
      while (mixed.TakeChunk(chunk)) out.insert(out.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(out, reference) << format.sampleRate << ", mixed packets";
    // Unrounded too, where a sum taken in another order would show.
    const std::vector<float> mono(signal.begin(), signal.end());
    std::vector<float> inOne, oneByOne;
    BandLimitedResampler(format.sampleRate).Push(mono.data(), frames, inOne);
    BandLimitedResampler resampler(format.sampleRate);
    for (std::size_t i = 0; i < frames; ++i) resampler.Push(mono.data() + i, 1, oneByOne);
    EXPECT_EQ(oneByOne, inOne) << format.sampleRate;
  }
}

// From 44.1 kHz to 48 kHz mid-tone: the tone goes on as if one stream had
// carried it, within a small error at the junction, and the count goes on
// exactly.
TEST(BandLimitedConverter, ChangeOfRateLeavesNoHole) {
  const std::size_t first = 13241, second = 14402;  // 0.3 s each, odd, for a fractional offset
  const auto tone = [](double seconds) { return 0.5 * std::sin(kTwoPi * 1000.0 * seconds); };
  std::vector<double> before(first), after(second);
  for (std::size_t i = 0; i < first; ++i) before[i] = tone(i / 44100.0);
  for (std::size_t i = 0; i < second; ++i) after[i] = tone(first / 44100.0 + i / 48000.0);
  const SampleFormat slow = SampleFormat{44100, 1, SampleEncoding::Float32, kCentre}, fast = SampleFormat{48000, 1, SampleEncoding::Float32, kCentre};
  BandLimitedConverter converter(1, slow);
  Samples out = Convert(converter, Encode(slow, {1}, before), 4);
  converter.SetFormat(fast);
  const Samples rest = Convert(converter, Encode(fast, {1}, after), 4);
  out.insert(out.end(), rest.begin(), rest.end());
  EXPECT_EQ(out.size(), static_cast<std::size_t>(std::ceil(16000.0 * (first / 44100.0 + second / 48000.0))));
  double worst = 0.0;
  for (std::size_t k = 160; k < out.size(); ++k) worst = std::max(worst, std::fabs(out[k] / 32768.0 - tone(k / 16000.0 - 0.0035)));
  EXPECT_LT(worst, 0.0015);  // a tenth of an input sample off would be 0.007
}

Bytes Wave(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits, std::uint16_t align,
           std::uint16_t valid = 0, std::uint32_t mask = 0, std::uint32_t subTag = 1) {
  Bytes b;
  const auto put = [&b](std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) b.push_back(static_cast<std::uint8_t>(value >> 8 * i));
  };
  put(tag, 2), put(channels, 2), put(rate, 4), put(rate * align, 4), put(align, 2), put(bits, 2), put(tag == 0xFFFE ? 22 : 0, 2);
  if (tag == 0xFFFE) put(valid, 2), put(mask, 4), put(subTag, 4), put(0x00100000, 4), put(0xaa000080, 4), put(0x719b3800, 4);
  return b;
}

std::string Outcome(const Bytes& bytes) {
  try {
    const SampleFormat f = ParseWaveFormat(bytes.data(), bytes.size());
    return "encoding " + std::to_string(static_cast<int>(f.encoding)) + ", " + std::to_string(f.channels) + " channels, " +
           std::to_string(f.sampleRate) + " Hz, mask " + std::to_string(f.channelMask);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
}

TEST(ParseWaveFormat, ReadsTheFormatsTakenAndNamesThoseRejected) {
  const std::string no = "Unsupported device format: ", kSub1 = "00000001-0000-0010-8000-00aa00389b71",
                    kSub2 = "00000002-0000-0010-8000-00aa00389b71";
  const struct { Bytes bytes; std::string outcome; } rows[] = {
      {Wave(3, 2, 48000, 32, 8), "encoding 3, 2 channels, 48000 Hz, mask 3"},
      {Wave(1, 3, 8000, 16, 6), "encoding 0, 3 channels, 8000 Hz, mask 7"},
      {Wave(0xFFFE, 6, 96000, 32, 24, 32, 0, 3), "encoding 3, 6 channels, 96000 Hz, mask 63"},
      {Wave(0xFFFE, 2, 192000, 24, 6, 24, kStereo), "encoding 1, 2 channels, 192000 Hz, mask 3"},
      {Wave(0x55, 2, 44100, 0, 4), no + "tag 0x0055, 2 channels, 44100 Hz, 0 bits, block align 4"},
      {Wave(0xFFFE, 2, 48000, 16, 4, 16, 3, 2), no + "extensible subformat {" + kSub2 + "}, 2 channels, 48000 Hz, 16 bits (16 valid), block align 4"},
      {Wave(0xFFFE, 2, 48000, 32, 8, 20, 3), no + "extensible subformat {" + kSub1 + "}, 2 channels, 48000 Hz, 32 bits (20 valid), block align 8"},
      {Wave(3, 2, 44100, 64, 16), no + "tag 0x0003, 2 channels, 44100 Hz, 64 bits, block align 16"},
      {Wave(1, 9, 44100, 16, 18), no + "tag 0x0001, 9 channels, 44100 Hz, 16 bits, block align 18"},
      {Wave(1, 2, 7999, 16, 4), no + "tag 0x0001, 2 channels, 7999 Hz, 16 bits, block align 4"},
      {Wave(1, 2, 44100, 16, 2), no + "tag 0x0001, 2 channels, 44100 Hz, 16 bits, block align 2"},
      {Bytes(17), no + "17 bytes, too short for WAVEFORMATEX"},
      {[] { Bytes b = Wave(0xFFFE, 2, 48000, 16, 4); b.resize(39); return b; }(), no + "tag 0xFFFE with cbSize 22 in 39 bytes, too short for WAVEFORMATEXTENSIBLE"}};
  for (const auto& row : rows) EXPECT_EQ(Outcome(row.bytes), row.outcome);
}

}  // namespace
}  // namespace pcmtap
