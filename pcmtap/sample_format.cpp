#include "pcmtap/sample_format.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

namespace pcmtap {

namespace {

constexpr std::uint16_t kTagPcm = 1, kTagFloat = 3, kTagExtensible = 0xFFFE;
constexpr std::size_t kWaveFormatBytes = 18, kExtensibleBytes = 40, kExtensionBytes = 22;
// KSDATAFORMAT_SUBTYPE_PCM and _IEEE_FLOAT share everything but their first
// field, which is the matching tag.
constexpr std::uint8_t kSubFormatTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                             0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};

std::uint16_t ReadU16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

std::uint32_t ReadU32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(ReadU16(at)) | static_cast<std::uint32_t>(ReadU16(at + 2)) << 16;
}

[[noreturn]] void ThrowUnsupported(const std::string& description) {
  throw std::runtime_error("Unsupported device format: " + description);
}

std::string SubFormatText(const std::uint8_t* guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned long>(ReadU32(guid)), ReadU16(guid + 4), ReadU16(guid + 6), guid[8],
                guid[9], guid[10], guid[11], guid[12], guid[13], guid[14], guid[15]);
  return text;
}

std::optional<SampleEncoding> EncodingOf(bool isFloat, std::uint16_t bits, std::uint16_t validBits) {
  if (isFloat) {
    return bits == 32 && validBits == 32 ? std::optional(SampleEncoding::Float32) : std::nullopt;
  }
  if (bits == 16 && validBits == 16) return SampleEncoding::Int16;
  if (bits == 24 && validBits == 24) return SampleEncoding::Int24Packed;
  if (bits == 32 && (validBits == 24 || validBits == 32)) return SampleEncoding::Int32;
  return std::nullopt;
}

std::uint32_t DefaultLayout(std::uint16_t channels) {
  using namespace speaker;
  constexpr std::uint32_t kFrontPair = kFrontLeft | kFrontRight, kBackPair = kBackLeft | kBackRight,
                          kSidePair = kSideLeft | kSideRight;
  switch (channels) {
    case 1: return kFrontCenter;
    case 2: return kFrontPair;
    case 3: return kFrontPair | kFrontCenter;
    case 4: return kFrontPair | kBackPair;
    case 5: return kFrontPair | kFrontCenter | kBackPair;
    case 6: return kFrontPair | kFrontCenter | kLowFrequency | kBackPair;
    case 7: return kFrontPair | kFrontCenter | kBackPair | kSidePair;
    default: return kFrontPair | kFrontCenter | kLowFrequency | kBackPair | kSidePair;
  }
}

}  // namespace

std::size_t SampleFormat::ContainerBytes() const {
  return encoding == SampleEncoding::Int16 ? 2 : encoding == SampleEncoding::Int24Packed ? 3 : 4;
}

SampleFormat ParseWaveFormat(const std::uint8_t* bytes, std::size_t size) {
  if (size < kWaveFormatBytes) {
    ThrowUnsupported(std::to_string(size) + " bytes, too short for WAVEFORMATEX");
  }
  const std::uint16_t tag = ReadU16(bytes);
  const std::uint16_t channels = ReadU16(bytes + 2);
  const std::uint32_t rate = ReadU32(bytes + 4);
  const std::uint16_t blockAlign = ReadU16(bytes + 12);
  const std::uint16_t bits = ReadU16(bytes + 14);
  const std::uint16_t extensionSize = ReadU16(bytes + 16);
  const std::string fields = std::to_string(channels) + " channels, " + std::to_string(rate) + " Hz, " +
                             std::to_string(bits) + " bits";
  const std::string alignment = ", block align " + std::to_string(blockAlign);

  std::optional<SampleEncoding> encoding;
  std::uint32_t mask = 0;
  std::string description;
  if (tag == kTagExtensible) {
    if (extensionSize < kExtensionBytes || size < kExtensibleBytes) {
      ThrowUnsupported("tag 0xFFFE with cbSize " + std::to_string(extensionSize) + " in " + std::to_string(size) +
                       " bytes, too short for WAVEFORMATEXTENSIBLE");
    }
    const std::uint16_t validBits = ReadU16(bytes + 18);
    mask = ReadU32(bytes + 20);
    const std::uint8_t* subFormat = bytes + 24;
    const std::uint32_t subTag = ReadU32(subFormat);
    if (std::memcmp(subFormat + 4, kSubFormatTail, sizeof kSubFormatTail) == 0 &&
        (subTag == kTagPcm || subTag == kTagFloat)) {
      encoding = EncodingOf(subTag == kTagFloat, bits, validBits);
    }
    description = "extensible subformat " + SubFormatText(subFormat) + ", " + fields + " (" +
                  std::to_string(validBits) + " valid)" + alignment;
  } else {
    if (tag == kTagPcm || tag == kTagFloat) encoding = EncodingOf(tag == kTagFloat, bits, bits);
    char tagText[8];
    std::snprintf(tagText, sizeof tagText, "0x%04X", static_cast<unsigned>(tag));
    description = std::string("tag ") + tagText + ", " + fields + alignment;
  }

  if (!encoding || channels < 1 || channels > 8 || rate < 8000 || rate > 192000) ThrowUnsupported(description);
  SampleFormat format{rate, channels, *encoding, mask != 0 ? mask : DefaultLayout(channels)};
  if (blockAlign != format.FrameBytes()) ThrowUnsupported(description);
  return format;
}

}  // namespace pcmtap
