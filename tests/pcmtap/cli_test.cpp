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

using Arguments = std::vector<std::string>;

// The argument vector of a run, program path first; the strings stay in
// `arguments`.
std::vector<char*> Argv(Arguments& arguments) {
  arguments.insert(arguments.begin(), "C:\\any\\name.exe");
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  return argv;
}

// "ok <pid> <mode> <chunk frames>", or the failure's kind and message.
std::string Outcome(Arguments arguments) {
  std::vector<char*> argv = Argv(arguments);
  try {
    const CaptureOptions o = ParseArguments(static_cast<int>(argv.size()), argv.data());
    return "ok " + std::to_string(o.targetProcessId) + " " +
           std::to_string(static_cast<int>(o.mode)) + " " + std::to_string(o.chunkFrames);
  } catch (const std::out_of_range& e) {
    return std::string("range: ") + e.what();
  } catch (const std::invalid_argument& e) {
    return std::string("invalid: ") + e.what();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

TEST(ParseArguments, CommandLines) {
  const std::string usage =
      "Usage: pcmtap.exe start --target-pid <pid> --mode exclude-tree [--chunk-frames 1024]";
  const std::string chunkRange = "--chunk-frames must be between 1 and 8192";
  const std::string invalid = "invalid: invalid stoul argument";
  const std::string outOfRange = "range: stoul argument out of range";
  const std::vector<std::pair<Arguments, std::string>> cases = {
      {{}, usage},
      {{"Start", "--target-pid", "7"}, usage},
      {{"start "}, usage},
      {{"start"}, "Missing --target-pid"},
      {{"start", "--chunk-frames", "0"}, "Missing --target-pid"},
      {{"start", "--target-pid", "7", "--chunk-frames", "0"}, chunkRange},
      {{"start", "--target-pid", "7", "--chunk-frames", "8193"}, chunkRange},
      {{"start", "--target-pid", "7", "--chunk-frames", "-1"}, chunkRange},
      {{"start", "--target-pid", "7", "--chunk-frames", "8192"}, "ok 7 1 8192"},
      {{"start", "--target-pid", "7", "--chunk-frames", "-4294967295"}, "ok 7 1 1"},
      {{"start", "--target-pid", "7", "--chunk-frames", "4294967296"}, outOfRange},
      {{"start", "--target-pid", "99999999999999999999999"}, outOfRange},
      {{"start", "--target-pid", "-4294967296"}, outOfRange},
      {{"start", "--target-pid", "4294967295"}, "ok 4294967295 1 1024"},
      {{"start", "--target-pid", "-1"}, "ok 4294967295 1 1024"},
      {{"start", "--target-pid", "-0"}, "Missing --target-pid"},
      {{"start", "--target-pid", " \t\n\v\f\r+12abc"}, "ok 12 1 1024"},
      {{"start", "--target-pid", "0000000000000000000042"}, "ok 42 1 1024"},
      {{"start", "--target-pid", "0x10", "--target-pid", "1e3"}, "ok 1 1 1024"},
      {{"start", "--target-pid", "abc"}, invalid},
      {{"start", "--target-pid", ""}, invalid},
      {{"start", "--target-pid", "+"}, invalid},
      {{"start", "--target-pid", "- 5"}, invalid},
      {{"start", "--target-pid", "+-5"}, invalid},
      {{"start", "--target-pid", "--mode"}, invalid},
      {{"start", "--target-pid", "7", "--mode"}, "Unexpected argument: --mode"},
      {{"start", "--target-pid=7"}, "Unexpected argument: --target-pid=7"},
      {{"start", "--TARGET-PID", "7"}, "Unexpected argument: --TARGET-PID"},
      {{"start", "--target-pid", "7", "", "x"}, "Unexpected argument: "},
      {{"start", "--mode", "Exclude-tree", "--target-pid", "7"}, "Unsupported --mode: Exclude-tree"},
      {{"start", "--mode", "include-tree "}, "Unsupported --mode: include-tree "},
      {{"start", "--target-pid", "7", "--target-pid", "0"}, "Missing --target-pid"},
      {{"start", "--target-pid", "7", "--mode", "include-tree"}, "ok 7 0 1024"},
      {{"start", "--mode", "include-tree", "--mode", "exclude-tree", "--target-pid", "7"}, "ok 7 1 1024"},
      {{"start", "--chunk-frames", "1", "--mode", "include-tree", "--target-pid", "9"}, "ok 9 0 1"},
  };
  for (const auto& [arguments, expected] : cases) {
    std::string line;
    for (const auto& argument : arguments) line += " [" + argument + "]";
    EXPECT_EQ(Outcome(arguments), expected) << line;
  }
}

TEST(Statuses, FormatAndThrowIfFailed) {
  const std::vector<std::pair<std::uint32_t, std::string>> formats = {
      {0, "0x0"},         {0xABC, "0xabc"},           {0x7FFFFFFF, "0x7fffffff"},
      {0x8007000E, "0x8007000e"}, {0xFFFFFFFF, "0xffffffff"}};
  for (const auto& [status, text] : formats) EXPECT_EQ(FormatHresult(static_cast<HRESULT>(status)), text);
  for (const HRESULT success : {0, 1, 0x7FFFFFFF}) EXPECT_NO_THROW(ThrowIfFailed(success, "Any"));
  try {
    ThrowIfFailed(static_cast<HRESULT>(0x80004005u), "IAudioClient::Start");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& failure) {
    EXPECT_STREQ(failure.what(), "IAudioClient::Start failed: 0x80004005");
  }
}

// The exit status and the exact bytes on standard error for each way a run
// can end; memory exhaustion reads the same whatever the run-time calls it.
TEST(RunCommandLine, OneErrorLineAndTheExitStatus) {
  using Capture = void (*)(const CaptureOptions&);
  const std::vector<std::tuple<Arguments, Capture, std::string>> cases = {
      {{"start", "--target-pid", "7"}, [](const CaptureOptions&) {}, ""},
      {{"start"}, [](const CaptureOptions&) { FAIL() << "capture after a failed parse"; },
       "Missing --target-pid\r\n"},
      {{"start", "--target-pid", "7"},
       [](const CaptureOptions&) { throw std::runtime_error("IAudioClient::Start failed: 0x1"); },
       "IAudioClient::Start failed: 0x1\r\n"},
      {{"start", "--target-pid", "7"}, [](const CaptureOptions&) { throw std::bad_alloc(); },
       "bad allocation\r\n"},
      {{"start", "--target-pid", "7"},
       [](const CaptureOptions&) { throw std::bad_array_new_length(); }, "bad allocation\r\n"},
  };
  for (auto [arguments, capture, expected] : cases) {
    std::vector<char*> argv = Argv(arguments);
    std::ostringstream errors;
    std::streambuf* const original = std::cerr.rdbuf(errors.rdbuf());
    const int status = RunCommandLine(static_cast<int>(argv.size()), argv.data(), capture);
    std::cerr.rdbuf(original);
    EXPECT_EQ(errors.str(), expected);
    EXPECT_EQ(status, expected.empty() ? 0 : 1) << expected;
  }
}

}  // namespace
}  // namespace pcmtap
