// A device's stream format as the band-limited converter reads it, parsed
// from the bytes of a WAVEFORMATEX or WAVEFORMATEXTENSIBLE. No platform
// types: the layout is read field by field, little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pcmtap {

// How one sample sits in its container. Integers are signed and
// little-endian; a 24-bit sample in a 32-bit container has its valid bits at
// the high end, so it reads as a 32-bit sample (Int32).
enum class SampleEncoding { Int16, Int24Packed, Int32, Float32 };

// Speaker positions, the platform's SPEAKER_* bits. Interleaved channels come
// in the order of their bits, lowest first.
namespace speaker {
constexpr std::uint32_t kFrontLeft = 0x1, kFrontRight = 0x2, kFrontCenter = 0x4, kLowFrequency = 0x8,
                        kBackLeft = 0x10, kBackRight = 0x20, kFrontLeftOfCenter = 0x40,
                        kFrontRightOfCenter = 0x80, kBackCenter = 0x100, kSideLeft = 0x200, kSideRight = 0x400;
}  // namespace speaker

struct SampleFormat {
  std::uint32_t sampleRate;
  std::uint16_t channels;
  SampleEncoding encoding;
  // Never 0: a format that gave none gets its channel count's default layout.
  std::uint32_t channelMask;

  std::size_t ContainerBytes() const;
  std::size_t FrameBytes() const { return ContainerBytes() * channels; }
};

// Accepts integer PCM of 16 bits, 24 bits packed in 3 bytes, 24 valid bits in
// a 32-bit container and 32 bits, and 32-bit IEEE float; with tag
// WAVE_FORMAT_PCM (1), WAVE_FORMAT_IEEE_FLOAT (3) or WAVE_FORMAT_EXTENSIBLE
// (0xFFFE) with the PCM or IEEE float subformat; 1 to 8 channels; 8,000 to
// 192,000 Hz; a block align of channels times the container's bytes.
//
// The default layouts are the platform's KSAUDIO_SPEAKER_* ones: 1 front
// centre, 2 stereo, 4 quad (FL FR BL BR), 6 5.1 (FL FR FC LFE BL BR), 8 7.1
// surround (FL FR FC LFE BL BR SL SR). The platform documents none for 3, 5
// and 7 channels; those get 5.1's and 7.1's speakers without the LFE (3: FL FR
// FC, 5: FL FR FC BL BR, 7: FL FR FC BL BR SL SR), the layouts that such
// counts are most likely to be: the same speakers without a subwoofer.
//
// Anything else throws std::runtime_error whose message names the fields as
// found, in one of four forms:
//   Unsupported device format: 12 bytes, too short for WAVEFORMATEX
//   Unsupported device format: tag 0xFFFE with cbSize 0 in 18 bytes, too short for WAVEFORMATEXTENSIBLE
//   Unsupported device format: tag 0x0055, 2 channels, 44100 Hz, 0 bits, block align 4
//   Unsupported device format: extensible subformat {00000002-0000-0010-8000-00aa00389b71}, 2 channels,
//     48000 Hz, 16 bits (16 valid), block align 4
// (the last on one line).
SampleFormat ParseWaveFormat(const std::uint8_t* bytes, std::size_t size);

}  // namespace pcmtap
