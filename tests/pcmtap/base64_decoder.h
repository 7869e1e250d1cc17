// A plain Base64 decoder written from the alphabet table, to check the
// encoder and the pcm records against something that does not share their
// code. Used by the unit tests, the records fuzz target and the soak test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pcmtap::testing {

// The bytes of canonical padded Base64 text; nothing for anything else: a
// length that is no multiple of 4, a character outside the alphabet, "="
// anywhere but at the end of the last group, or set bits in the unused low
// bits before the padding.
inline std::optional<std::vector<std::uint8_t>> DecodeBase64(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    std::uint32_t bits = 0;
    int padding = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const char c = text[i + j];
      if (c == '=' && last && j >= 2) {
        ++padding;
        bits <<= 6;
        continue;
      }
      const auto index = alphabet.find(c);
      if (index == std::string::npos || padding > 0) return std::nullopt;
      bits = (bits << 6) | static_cast<std::uint32_t>(index);
    }
    if ((padding == 1 && (bits & 0xFF) != 0) || (padding == 2 && (bits & 0xFFFF) != 0)) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<std::uint8_t>(bits >> 16));
    if (padding < 2) bytes.push_back(static_cast<std::uint8_t>(bits >> 8));
    if (padding < 1) bytes.push_back(static_cast<std::uint8_t>(bits));
  }
  return bytes;
}

// The samples of a pcm record's payload: signed 16-bit, low byte first.
inline std::optional<std::vector<std::int16_t>> DecodePcmPayload(const std::string& text) {
  const auto bytes = DecodeBase64(text);
  if (!bytes || bytes->size() % 2 != 0) return std::nullopt;
  std::vector<std::int16_t> samples(bytes->size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>((*bytes)[2 * i] | ((*bytes)[2 * i + 1] << 8));
  }
  return samples;
}

}  // namespace pcmtap::testing
