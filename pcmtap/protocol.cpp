#include "pcmtap/protocol.h"

#include <stdexcept>

namespace pcmtap {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::size_t EncodedSize(std::size_t size) { return 4 * ((size + 2) / 3); }

// Appends the encoding of `size` bytes, the i-th of which is byteAt(i). Lets
// the samples of a chunk be encoded little-endian straight from the 16-bit
// values into the record's text.
template <class ByteAt>
void EncodeBytes(std::string& text, std::size_t size, ByteAt byteAt) {
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
}

// The endpoint and microphone sources exclude no process: their "mode" names
// the default device they follow, and no process id is set.
const char* ModeText(const CaptureOptions& options) {
  const bool communications = options.role == EndpointRole::Communications;
  if (options.source == CaptureSource::Endpoint) return communications ? "endpoint-communications" : "endpoint-console";
  if (options.source == CaptureSource::Microphone) {
    return communications ? "microphone-communications" : "microphone-console";
  }
  return options.mode == LoopbackMode::IncludeTargetProcessTree ? "include-target-process-tree"
                                                                : "exclude-target-process-tree";
}

void WriteRecord(std::ostream& out, const std::string& record) {
  out << record;
  out.flush();
  if (!out) throw std::runtime_error("Failed to write to standard output");
}

}  // namespace

std::string EncodeBase64(const std::uint8_t* data, std::size_t size) {
  std::string text;
  text.reserve(EncodedSize(size));
  EncodeBytes(text, size, [data](std::size_t i) { return data[i]; });
  return text;
}

std::string ReadyRecord(const CaptureOptions& options) {
  const std::uint32_t processId = options.source == CaptureSource::Process ? options.targetProcessId : 0;
  return "{\"type\":\"ready\",\"sampleRate\":16000,\"channels\":1,\"targetProcessId\":" +
         std::to_string(processId) + ",\"mode\":\"" + ModeText(options) + "\"}\r\n";
}

// The text is reserved whole, with room for the keys and two numbers of up
// to 20 digits, and the payload encoded straight into it.
std::string PcmRecord(std::uint64_t sequence, const std::vector<std::int16_t>& chunk) {
  std::string record;
  record.reserve(128 + EncodedSize(2 * chunk.size()));
  record += "{\"type\":\"pcm\",\"sampleRate\":16000,\"channels\":1,\"frames\":";
  record += std::to_string(chunk.size());
  record += ",\"sequence\":";
  record += std::to_string(sequence);
  record += ",\"pcmBase64\":\"";
  EncodeBytes(record, 2 * chunk.size(), [&chunk](std::size_t i) {
    const auto sample = static_cast<std::uint16_t>(chunk[i / 2]);
    return static_cast<std::uint8_t>(i % 2 == 0 ? sample & 0xFF : sample >> 8);
  });
  record += "\"}\r\n";
  return record;
}

std::string ClockRecord(std::uint64_t firstSampleTime) {
  return "{\"type\":\"clock\",\"firstSampleTime\":" + std::to_string(firstSampleTime) + "}\r\n";
}

std::string DeafNotice(const std::vector<std::uint32_t>& processIds) {
  std::string record = "{\"type\":\"notice\",\"code\":\"deaf\",\"processIds\":[";
  for (std::size_t i = 0; i < processIds.size(); ++i) record += (i == 0 ? "" : ",") + std::to_string(processIds[i]);
  return record + "]}\r\n";
}

std::string HearingNotice() { return "{\"type\":\"notice\",\"code\":\"hearing\"}\r\n"; }

std::string MutedNotice() { return "{\"type\":\"notice\",\"code\":\"muted\"}\r\n"; }

std::string UnmutedNotice() { return "{\"type\":\"notice\",\"code\":\"unmuted\"}\r\n"; }

std::string UncheckedNotice(const std::string& detail) {
  return "{\"type\":\"notice\",\"code\":\"unchecked\",\"detail\":\"" + detail + "\"}\r\n";
}

void WriteReadyRecord(std::ostream& out, const CaptureOptions& options) { WriteRecord(out, ReadyRecord(options)); }

void WriteReadyRecord(std::ostream& out, std::uint32_t targetProcessId, LoopbackMode mode) {
  CaptureOptions options;
  options.targetProcessId = targetProcessId;
  options.mode = mode;
  WriteReadyRecord(out, options);
}

void WritePcmRecord(std::ostream& out, std::uint64_t sequence, const std::vector<std::int16_t>& chunk) {
  WriteRecord(out, PcmRecord(sequence, chunk));
}

}  // namespace pcmtap
