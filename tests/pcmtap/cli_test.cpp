#include "pcmtap/cli.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

namespace pcmtap {
namespace {

enum class Failure { None, Runtime, InvalidArgument, OutOfRange };

struct CommandLine {
  std::vector<std::string> arguments;  // after the program path
  Failure failure;
  std::string message;  // for failures
  std::uint32_t targetProcessId = 0;
  LoopbackMode mode = LoopbackMode::ExcludeTargetProcessTree;
  std::uint64_t chunkFrames = 1024;
};

const std::string kUsage =
    "Usage: pcmtap.exe start --target-pid <pid> --mode exclude-tree [--chunk-frames 1024]";
constexpr auto kExclude = LoopbackMode::ExcludeTargetProcessTree;
constexpr auto kInclude = LoopbackMode::IncludeTargetProcessTree;

std::vector<CommandLine> CommandLines() {
  return {
      {{}, Failure::Runtime, kUsage},
      {{"Start", "--target-pid", "7"}, Failure::Runtime, kUsage},
      {{"start "}, Failure::Runtime, kUsage},
      {{"start"}, Failure::Runtime, "Missing --target-pid"},
      {{"start", "--target-pid", "0"}, Failure::Runtime, "Missing --target-pid"},
      {{"start", "--chunk-frames", "0"}, Failure::Runtime, "Missing --target-pid"},
      {{"start", "--target-pid", "7", "--chunk-frames", "0"}, Failure::Runtime,
       "--chunk-frames must be between 1 and 8192"},
      {{"start", "--target-pid", "7", "--chunk-frames", "8193"}, Failure::Runtime,
       "--chunk-frames must be between 1 and 8192"},
      {{"start", "--target-pid", "7", "--chunk-frames", "8192"}, Failure::None, "", 7, kExclude, 8192},
      {{"start", "--target-pid", "7", "--chunk-frames", "1"}, Failure::None, "", 7, kExclude, 1},
      {{"start", "--target-pid", "7", "--chunk-frames", "4294967295"}, Failure::Runtime,
       "--chunk-frames must be between 1 and 8192"},
      {{"start", "--target-pid", "7", "--chunk-frames", "4294967296"}, Failure::OutOfRange,
       "stoul argument out of range"},
      {{"start", "--target-pid", "7", "--chunk-frames", "-4294967295"}, Failure::None, "", 7, kExclude, 1},
      {{"start", "--target-pid", "7", "--chunk-frames", "-1"}, Failure::Runtime,
       "--chunk-frames must be between 1 and 8192"},
      {{"start", "--target-pid", "abc"}, Failure::InvalidArgument, "invalid stoul argument"},
      {{"start", "--target-pid", ""}, Failure::InvalidArgument, "invalid stoul argument"},
      {{"start", "--target-pid", "+"}, Failure::InvalidArgument, "invalid stoul argument"},
      {{"start", "--target-pid", "- 5"}, Failure::InvalidArgument, "invalid stoul argument"},
      {{"start", "--target-pid", "+-5"}, Failure::InvalidArgument, "invalid stoul argument"},
      {{"start", "--target-pid", "12abc"}, Failure::None, "", 12},
      {{"start", "--target-pid", "+12"}, Failure::None, "", 12},
      {{"start", "--target-pid", " \t\n\v\f\r12"}, Failure::None, "", 12},
      {{"start", "--target-pid", "0x10", "--target-pid", "1e3"}, Failure::None, "", 1},
      {{"start", "--target-pid", "-1"}, Failure::None, "", 4294967295u},
      {{"start", "--target-pid", "-0"}, Failure::Runtime, "Missing --target-pid"},
      {{"start", "--target-pid", "4294967295"}, Failure::None, "", 4294967295u},
      {{"start", "--target-pid", "-4294967296"}, Failure::OutOfRange, "stoul argument out of range"},
      {{"start", "--target-pid", "99999999999999999999999"}, Failure::OutOfRange,
       "stoul argument out of range"},
      {{"start", "--target-pid", "0000000000000000000042"}, Failure::None, "", 42},
      {{"start", "--target-pid", "--mode"}, Failure::InvalidArgument, "invalid stoul argument"},
      {{"start", "--target-pid", "7", "--mode"}, Failure::Runtime, "Unexpected argument: --mode"},
      {{"start", "--target-pid=7"}, Failure::Runtime, "Unexpected argument: --target-pid=7"},
      {{"start", "--target-pid", "7", "", "x"}, Failure::Runtime, "Unexpected argument: "},
      {{"start", "--TARGET-PID", "7"}, Failure::Runtime, "Unexpected argument: --TARGET-PID"},
      {{"start", "--mode", "Exclude-tree", "--target-pid", "7"}, Failure::Runtime,
       "Unsupported --mode: Exclude-tree"},
      {{"start", "--mode", "include-tree "}, Failure::Runtime, "Unsupported --mode: include-tree "},
      {{"start", "--target-pid", "7", "--target-pid", "9"}, Failure::None, "", 9},
      {{"start", "--target-pid", "7", "--target-pid", "0"}, Failure::Runtime, "Missing --target-pid"},
      {{"start", "--target-pid", "7", "--mode", "include-tree"}, Failure::None, "", 7, kInclude},
      {{"start", "--target-pid", "7", "--mode", "include-tree", "--mode", "exclude-tree"},
       Failure::None, "", 7, kExclude},
      {{"start", "--target-pid", "7"}, Failure::None, "", 7, kExclude, 1024},
      {{"start", "--chunk-frames", "160", "--mode", "include-tree", "--target-pid", "4242"},
       Failure::None, "", 4242, kInclude, 160},
  };
}

std::string Describe(const std::vector<std::string>& arguments) {
  std::string text = "pcmtap.exe";
  for (const auto& argument : arguments) text += " [" + argument + "]";
  return text;
}

TEST(ParseArguments, CommandLines) {
  for (const CommandLine& line : CommandLines()) {
    SCOPED_TRACE(Describe(line.arguments));
    std::vector<std::string> storage = {"C:\\any\\name.exe"};
    storage.insert(storage.end(), line.arguments.begin(), line.arguments.end());
    std::vector<char*> argv;
    for (auto& argument : storage) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(storage.size());
    try {
      const CaptureOptions options = ParseArguments(argc, argv.data());
      ASSERT_EQ(line.failure, Failure::None) << "accepted, expected: " << line.message;
      EXPECT_EQ(options.targetProcessId, line.targetProcessId);
      EXPECT_EQ(options.mode, line.mode);
      EXPECT_EQ(options.chunkFrames, line.chunkFrames);
    } catch (const std::exception& failure) {
      EXPECT_EQ(failure.what(), line.message);
      // Order matters: out_of_range and invalid_argument are logic errors,
      // runtime_error is not; check the most specific kind.
      switch (line.failure) {
        case Failure::None: ADD_FAILURE() << "rejected: " << failure.what(); break;
        case Failure::Runtime: EXPECT_NE(dynamic_cast<const std::runtime_error*>(&failure), nullptr); break;
        case Failure::InvalidArgument: EXPECT_NE(dynamic_cast<const std::invalid_argument*>(&failure), nullptr); break;
        case Failure::OutOfRange: EXPECT_NE(dynamic_cast<const std::out_of_range*>(&failure), nullptr); break;
      }
    }
  }
}

TEST(FormatHresult, LowerCaseUnpaddedHexadecimal) {
  const std::vector<std::pair<HRESULT, std::string>> cases = {
      {0, "0x0"},
      {1, "0x1"},
      {0x7FFFFFFF, "0x7fffffff"},
      {static_cast<HRESULT>(0x8007000Eu), "0x8007000e"},
      {static_cast<HRESULT>(0x80004005u), "0x80004005"},
      {static_cast<HRESULT>(0x88890004u), "0x88890004"},
      {static_cast<HRESULT>(0xFFFFFFFFu), "0xffffffff"},
      {0xABC, "0xabc"},
  };
  for (const auto& [status, text] : cases) EXPECT_EQ(FormatHresult(status), text);
}

TEST(ThrowIfFailed, OnlyNegativeStatusesThrowWithTheCallsName) {
  EXPECT_NO_THROW(ThrowIfFailed(S_OK, "IAudioClient::Start"));
  EXPECT_NO_THROW(ThrowIfFailed(S_FALSE, "IAudioClient::Start"));
  EXPECT_NO_THROW(ThrowIfFailed(0x7FFFFFFF, "IAudioClient::Start"));
  try {
    ThrowIfFailed(E_FAIL, "IAudioClient::Start");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& failure) {
    EXPECT_STREQ(failure.what(), "IAudioClient::Start failed: 0x80004005");
  }
}

}  // namespace
}  // namespace pcmtap
