#include "pcmtap/cli.h"

#include <gtest/gtest.h>

#include <iostream>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace pcmtap {
namespace {

TEST(Statuses, FormatAndThrowIfFailed) {
  const std::vector<std::pair<std::uint32_t, std::string>> formats = {
      {0, "0x0"}, {0xABC, "0xabc"}, {0x7FFFFFFF, "0x7fffffff"}, {0x8007000E, "0x8007000e"}, {0xFFFFFFFF, "0xffffffff"}};
  for (const auto& [status, text] : formats) EXPECT_EQ(FormatHresult(static_cast<HRESULT>(status)), text);
  for (const HRESULT success : {0, 1, 0x7FFFFFFF}) EXPECT_NO_THROW(ThrowIfFailed(success, "Any"));
  try {
    ThrowIfFailed(static_cast<HRESULT>(0x80004005u), "IAudioClient::Start");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& failure) {
    EXPECT_STREQ(failure.what(), "IAudioClient::Start failed: 0x80004005");
  }
}

// A failure of the capture is one error line and status 1; memory exhaustion
// reads the same whatever the run-time calls it.
TEST(RunCommandLine, OneErrorLine) {
  using Capture = void (*)(const CaptureOptions&);
  const std::vector<std::pair<Capture, std::string>> cases = {
      {[](const CaptureOptions&) { throw std::runtime_error("GetNextPacketSize failed: 0x1"); },
       "GetNextPacketSize failed: 0x1\r\n"},
      {[](const CaptureOptions&) { throw std::bad_alloc(); }, "bad allocation\r\n"},
      {[](const CaptureOptions&) { throw std::bad_array_new_length(); }, "bad allocation\r\n"},
  };
  for (const auto& [capture, expected] : cases) {
    std::string arguments[] = {"pcmtap.exe", "start", "--target-pid", "7"};
    char* argv[] = {arguments[0].data(), arguments[1].data(), arguments[2].data(), arguments[3].data()};
    std::ostringstream errors;
    std::streambuf* const original = std::cerr.rdbuf(errors.rdbuf());
    EXPECT_EQ(RunCommandLine(4, argv, capture), 1);
    std::cerr.rdbuf(original);
    EXPECT_EQ(errors.str(), expected);
  }
}

}  // namespace
}  // namespace pcmtap
