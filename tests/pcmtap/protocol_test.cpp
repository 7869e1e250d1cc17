#include "pcmtap/protocol.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace pcmtap {
namespace {

std::string Encode(const std::string& bytes) {
  return EncodeBase64(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

TEST(EncodeBase64, Vectors) {
  // 48 bytes that hold the six-bit values 0 to 63 in order: the whole alphabet.
  std::string alphabet;
  for (std::uint32_t k = 0; k < 64; k += 4) {
    const std::uint32_t group = k << 18 | (k + 1) << 12 | (k + 2) << 6 | (k + 3);
    alphabet += {static_cast<char>(group >> 16), static_cast<char>(group >> 8), static_cast<char>(group)};
  }
  const std::vector<std::pair<std::string, std::string>> vectors = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},          {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
      {alphabet, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"}};
  for (const auto& [bytes, text] : vectors) EXPECT_EQ(Encode(bytes), text);
}

std::string Ready(std::uint32_t targetProcessId, LoopbackMode mode) {
  std::ostringstream out;
  WriteReadyRecord(out, targetProcessId, mode);
  return out.str();
}

std::string Pcm(std::uint64_t sequence, const std::vector<std::int16_t>& chunk) {
  std::ostringstream out;
  WritePcmRecord(out, sequence, chunk);
  return out.str();
}

std::string PayloadOf(const std::string& line) {
  const std::size_t start = line.find("pcmBase64\":\"") + 12;
  return line.substr(start, line.size() - 4 - start);
}

TEST(Records, ExactBytes) {
  const std::string ready = "{\"type\":\"ready\",\"sampleRate\":16000,\"channels\":1,\"targetProcessId\":";
  const std::string pcm = "{\"type\":\"pcm\",\"sampleRate\":16000,\"channels\":1,\"frames\":";
  EXPECT_EQ(Ready(4242, LoopbackMode::ExcludeTargetProcessTree),
            ready + "4242,\"mode\":\"exclude-target-process-tree\"}\r\n");
  EXPECT_EQ(Ready(4294967295u, LoopbackMode::IncludeTargetProcessTree),
            ready + "4294967295,\"mode\":\"include-target-process-tree\"}\r\n");
  EXPECT_EQ(Pcm(0, {1}), pcm + "1,\"sequence\":0,\"pcmBase64\":\"AQA=\"}\r\n");
  // Little-endian samples; the largest sequence number.
  EXPECT_EQ(Pcm(18446744073709551615u, {1, -1, -32768}),
            pcm + "3,\"sequence\":18446744073709551615,\"pcmBase64\":\"AQD//wCA\"}\r\n");
  EXPECT_EQ(Pcm(99999, std::vector<std::int16_t>(1024)).size(), 2826u);
  const std::string defaultChunk = PayloadOf(Pcm(0, std::vector<std::int16_t>(1024)));
  EXPECT_EQ(defaultChunk.size(), 2732u);
  EXPECT_EQ(defaultChunk.substr(2728), "AAA=");
  const std::string largestChunk = PayloadOf(Pcm(0, std::vector<std::int16_t>(8192, -1)));
  EXPECT_EQ(largestChunk.size(), 21848u);
  EXPECT_EQ(largestChunk.substr(21840), "/////w==");
}

// A reader that has gone away fails the write or only the flush; either way
// the run must end rather than lose records unnoticed.
TEST(Records, AFailedWriteOrFlushThrows) {
  struct FlushFails : std::stringbuf {
    int sync() override { return -1; }
  } flushFails;
  for (std::streambuf* buffer : {static_cast<std::streambuf*>(nullptr), static_cast<std::streambuf*>(&flushFails)}) {
    std::ostream out(buffer);
    EXPECT_THROW(WriteReadyRecord(out, 1, LoopbackMode::ExcludeTargetProcessTree), std::runtime_error);
    out.clear();
    try {
      WritePcmRecord(out, 0, {1});
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& failure) {
      EXPECT_STREQ(failure.what(), "Failed to write to standard output");
    }
  }
}

}  // namespace
}  // namespace pcmtap
