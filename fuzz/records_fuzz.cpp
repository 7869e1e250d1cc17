// Base64 and the two record writers. The first byte picks what is checked:
// the encoding of the remaining bytes, a ready record, or a pcm record whose
// sequence number and samples come from the remaining bytes. Every text must
// decode back exactly through an independent decoder, have the exact length,
// hold no white space, and end in CR LF with no other CR or LF in it.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "pcmtap/protocol.h"
#include "tests/pcmtap/base64_decoder.h"

namespace {

std::size_t EncodedLength(std::size_t bytes) { return 4 * ((bytes + 2) / 3); }

void CheckBase64(const std::uint8_t* data, std::size_t size) {
  const std::string text = pcmtap::EncodeBase64(data, size);
  fuzz::Require(text.size() == EncodedLength(size), "Base64 length");
  // The decoder accepts canonical padded text only: alphabet, "=" at the end.
  fuzz::Require(pcmtap::testing::DecodeBase64(text) == std::vector<std::uint8_t>(data, data + size),
                "Base64 round trip");
}

// One line with its CR LF, no other line break and no blank.
void CheckLineShape(const std::string& line) {
  fuzz::Require(line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0,
                "record ends in CR LF");
  fuzz::Require(line.find_first_of("\r\n") == line.size() - 2, "no CR or LF inside a record");
  fuzz::Require(line.find_first_of(" \t\v\f") == std::string::npos, "no white space in a record");
}

void CheckReadyRecord(fuzz::Input& input) {
  const auto pid = static_cast<std::uint32_t>(input.Unsigned(4));
  const bool include = (input.Byte() & 1) != 0;
  std::ostringstream out;
  pcmtap::WriteReadyRecord(out, pid,
                           include ? pcmtap::LoopbackMode::IncludeTargetProcessTree
                                   : pcmtap::LoopbackMode::ExcludeTargetProcessTree);
  const std::string line = out.str();
  CheckLineShape(line);
  fuzz::Require(line == "{\"type\":\"ready\",\"sampleRate\":16000,\"channels\":1,\"targetProcessId\":" +
                            std::to_string(pid) + ",\"mode\":\"" +
                            (include ? "include" : "exclude") + "-target-process-tree\"}\r\n",
                "ready record text");
}

void CheckPcmRecord(fuzz::Input& input) {
  const std::uint64_t sequence = input.Unsigned(8);
  std::vector<std::int16_t> chunk(input.remaining() / 2);
  for (auto& sample : chunk) sample = static_cast<std::int16_t>(input.Unsigned(2));
  std::ostringstream out;
  pcmtap::WritePcmRecord(out, sequence, chunk);
  const std::string line = out.str();
  CheckLineShape(line);

  const std::string head = "{\"type\":\"pcm\",\"sampleRate\":16000,\"channels\":1,\"frames\":" +
                           std::to_string(chunk.size()) + ",\"sequence\":" +
                           std::to_string(sequence) + ",\"pcmBase64\":\"";
  const std::string tail = "\"}\r\n";
  fuzz::Require(line.size() == head.size() + EncodedLength(2 * chunk.size()) + tail.size(),
                "pcm record length");
  fuzz::Require(line.compare(0, head.size(), head) == 0, "pcm record fields");
  fuzz::Require(line.compare(line.size() - tail.size(), tail.size(), tail) == 0, "pcm record end");
  const std::string payload = line.substr(head.size(), line.size() - head.size() - tail.size());
  fuzz::Require(pcmtap::testing::DecodePcmPayload(payload) == chunk,
                "pcm payload decodes to the samples, little-endian");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  switch (input.Byte() % 3) {
    case 0:
      CheckBase64(input.rest(), input.remaining());
      break;
    case 1:
      CheckReadyRecord(input);
      break;
    default:
      CheckPcmRecord(input);
      break;
  }
  return 0;
}
