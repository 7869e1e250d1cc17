#include "pcmtap/protocol.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include "base64_decoder.h"

namespace pcmtap {
namespace {

using testing::DecodeBase64;
using testing::DecodePcmPayload;

std::string Encode(const std::string& text) {
  return EncodeBase64(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

TEST(EncodeBase64, KnownVectors) {
  const std::vector<std::pair<std::string, std::string>> vectors = {
      {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},       {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"abc", "YWJj"},
      {std::string("\x01\x00\xFF\xFF", 4), "AQD//w=="},
      {std::string("\xFB\xFF\xBF", 3), "+/+/"},
  };
  for (const auto& [plain, encoded] : vectors) EXPECT_EQ(Encode(plain), encoded) << plain;
}

TEST(EncodeBase64, RoundTripsEveryLengthAndByteValue) {
  std::mt19937 random(20261206);
  for (std::size_t size = 0; size < 300; ++size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
      bytes[i] = static_cast<std::uint8_t>(size < 256 && i == 0 ? size : random());
    }
    const std::string text = EncodeBase64(bytes.data(), bytes.size());
    ASSERT_EQ(text.size(), 4 * ((size + 2) / 3));
    ASSERT_EQ(DecodeBase64(text), bytes) << "size " << size;
  }
}

// The decoder that the checks rely on must refuse what a faulty encoder could
// produce, or a fault would pass through it.
TEST(EncodeBase64, CheckingDecoderRefusesNonCanonicalText) {
  for (const char* bad : {"Zg=", "Zg===", "Z===", "Zh==", "Zm9=", "Zg==Zg==", "Zm 9", "Zm\r\n",
                          "Zm-v", "=m9v"}) {
    EXPECT_EQ(DecodeBase64(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(DecodeBase64("Zm8="), (std::vector<std::uint8_t>{'f', 'o'}));
  EXPECT_EQ(DecodePcmPayload("Zm8="), (std::vector<std::int16_t>{0x6F66}));
  EXPECT_EQ(DecodePcmPayload("Zg=="), std::nullopt);  // odd byte count
}

std::string PcmLine(std::uint64_t sequence, const std::vector<std::int16_t>& chunk) {
  std::ostringstream out;
  WritePcmRecord(out, sequence, chunk);
  return out.str();
}

TEST(Records, ExactBytes) {
  const auto ready = [](std::uint32_t pid, LoopbackMode mode) {
    std::ostringstream out;
    WriteReadyRecord(out, pid, mode);
    return out.str();
  };
  EXPECT_EQ(ready(4242, LoopbackMode::ExcludeTargetProcessTree),
            "{\"type\":\"ready\",\"sampleRate\":16000,\"channels\":1,\"targetProcessId\":4242,"
            "\"mode\":\"exclude-target-process-tree\"}\r\n");
  EXPECT_EQ(ready(4294967295u, LoopbackMode::IncludeTargetProcessTree),
            "{\"type\":\"ready\",\"sampleRate\":16000,\"channels\":1,\"targetProcessId\":4294967295,"
            "\"mode\":\"include-target-process-tree\"}\r\n");
  EXPECT_EQ(PcmLine(0, {1}),
            "{\"type\":\"pcm\",\"sampleRate\":16000,\"channels\":1,\"frames\":1,\"sequence\":0,"
            "\"pcmBase64\":\"AQA=\"}\r\n");
  EXPECT_EQ(PcmLine(18446744073709551615u, {1, -1, -32768}),
            "{\"type\":\"pcm\",\"sampleRate\":16000,\"channels\":1,\"frames\":3,"
            "\"sequence\":18446744073709551615,\"pcmBase64\":\"AQD//wCA\"}\r\n");
}

TEST(Records, PcmPayloadIsLittleEndianWithExactLengths) {
  struct Case {
    std::size_t frames;
    std::size_t base64Length;
    std::string ending;
  };
  const std::vector<Case> cases = {
      {1, 4, "A="}, {2, 8, "=="}, {3, 8, ""}, {1024, 2732, "A="}, {8192, 21848, "=="}};
  std::mt19937 random(7);
  for (const Case& c : cases) {
    std::vector<std::int16_t> chunk(c.frames);
    for (auto& sample : chunk) sample = static_cast<std::int16_t>(random());
    chunk.back() = 0;  // fixes the last Base64 characters
    const std::string line = PcmLine(99999, chunk);
    const std::string prefix =
        "{\"type\":\"pcm\",\"sampleRate\":16000,\"channels\":1,\"frames\":" +
        std::to_string(c.frames) + ",\"sequence\":99999,\"pcmBase64\":\"";
    ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line.substr(0, 120);
    const std::string payload = line.substr(prefix.size(), line.size() - prefix.size() - 4);
    EXPECT_EQ(line.substr(line.size() - 4), "\"}\r\n");
    EXPECT_EQ(payload.size(), c.base64Length);
    EXPECT_EQ(payload.substr(payload.size() - c.ending.size()), c.ending);
    EXPECT_EQ(DecodePcmPayload(payload), chunk);
    EXPECT_EQ(line.find_first_of(" \t\n"), line.size() - 1);  // only the final LF
  }
  EXPECT_EQ(PcmLine(0, std::vector<std::int16_t>(1024)).size(), 2822u);
  EXPECT_EQ(PcmLine(99999, std::vector<std::int16_t>(1024)).size(), 2826u);
}

// A stream buffer that accepts `capacity` bytes, then fails every write;
// optionally its flush fails too, as a closed pipe's does.
class FailingBuffer : public std::streambuf {
 public:
  FailingBuffer(std::size_t capacity, bool failFlush) : capacity_(capacity), failFlush_(failFlush) {}
  std::string written;

 protected:
  int_type overflow(int_type c) override {
    if (written.size() >= capacity_) return traits_type::eof();
    written += traits_type::to_char_type(c);
    return c;
  }
  int sync() override { return failFlush_ ? -1 : 0; }

 private:
  std::size_t capacity_;
  bool failFlush_;
};

TEST(Records, AFailedWriteOrFlushThrows) {
  struct Case {
    std::size_t capacity;
    bool failFlush;
    bool readyFails;
    bool pcmFails;
  };
  // The ready record is 110 bytes, a 1024-frame pcm record 2822.
  const std::vector<Case> cases = {{0, false, true, true},
                                   {10, false, true, true},
                                   {2000, false, false, true},
                                   {1u << 20, true, true, true},
                                   {1u << 20, false, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capacity);
    for (const bool ready : {true, false}) {
      FailingBuffer buffer(c.capacity, c.failFlush);
      std::ostream out(&buffer);
      std::string failure;
      try {
        if (ready) {
          WriteReadyRecord(out, 1, LoopbackMode::ExcludeTargetProcessTree);
        } else {
          WritePcmRecord(out, 0, std::vector<std::int16_t>(1024));
        }
      } catch (const std::runtime_error& e) {
        failure = e.what();
      }
      EXPECT_EQ(failure, (ready ? c.readyFails : c.pcmFails) ? "Failed to write to standard output" : "");
    }
  }
}

}  // namespace
}  // namespace pcmtap
