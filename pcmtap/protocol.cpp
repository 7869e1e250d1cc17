#include "pcmtap/protocol.h"

#include <stdexcept>

namespace pcmtap {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Encodes `size` bytes, the i-th of which is byteAt(i). Lets the samples of a
// chunk be encoded little-endian straight from the 16-bit values, with the
// output string as the only allocation.
template <class ByteAt>
std::string EncodeBytes(std::size_t size, ByteAt byteAt) {
  std::string text;
  text.reserve(4 * ((size + 2) / 3));
  for (std::size_t i = 0; i < size; i += 3) {
    const std::size_t remaining = size - i;
    const std::uint32_t group = (std::uint32_t{byteAt(i)} << 16) |
                                (remaining > 1 ? std::uint32_t{byteAt(i + 1)} << 8 : 0u) |
                                (remaining > 2 ? std::uint32_t{byteAt(i + 2)} : 0u);
    text += kAlphabet[(group >> 18) & 0x3F];
    text += kAlphabet[(group >> 12) & 0x3F];
    text += remaining > 1 ? kAlphabet[(group >> 6) & 0x3F] : '=';
    text += remaining > 2 ? kAlphabet[group & 0x3F] : '=';
  }
  return text;
}

const char* ModeText(LoopbackMode mode) {
  return mode == LoopbackMode::IncludeTargetProcessTree ? "include-target-process-tree"
                                                        : "exclude-target-process-tree";
}

void FinishRecord(std::ostream& out) {
  out << "}\r\n";
  out.flush();
  if (!out) throw std::runtime_error("Failed to write to standard output");
}

}  // namespace

std::string EncodeBase64(const std::uint8_t* data, std::size_t size) {
  return EncodeBytes(size, [data](std::size_t i) { return data[i]; });
}

void WriteReadyRecord(std::ostream& out, std::uint32_t targetProcessId, LoopbackMode mode) {
  out << "{\"type\":\"ready\",\"sampleRate\":16000,\"channels\":1,\"targetProcessId\":"
      << targetProcessId << ",\"mode\":\"" << ModeText(mode) << '"';
  FinishRecord(out);
}

void WritePcmRecord(std::ostream& out, std::uint64_t sequence,
                    const std::vector<std::int16_t>& chunk) {
  // Encoded before the first byte goes out: running out of memory here must
  // not leave half a record on the stream.
  const std::string payload = EncodeBytes(2 * chunk.size(), [&chunk](std::size_t i) {
    const auto sample = static_cast<std::uint16_t>(chunk[i / 2]);
    return static_cast<std::uint8_t>(i % 2 == 0 ? sample & 0xFF : sample >> 8);
  });
  out << "{\"type\":\"pcm\",\"sampleRate\":16000,\"channels\":1,\"frames\":" << chunk.size()
      << ",\"sequence\":" << sequence << ",\"pcmBase64\":\"" << payload << '"';
  FinishRecord(out);
}

}  // namespace pcmtap
