// pcmtap's command line. The input is the argument vector after the program
// path, arguments separated by zero bytes. The parse must never crash, must
// fail only with the documented kinds and messages, and must reach the same
// outcome as a plain reference, value for value.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "pcmtap/cli.h"

namespace {

using pcmtap::CaptureOptions;
using pcmtap::LoopbackMode;

enum class Kind { Accepted, Runtime, InvalidArgument, OutOfRange };

struct Outcome {
  Kind kind;
  std::string message;
  CaptureOptions options;
};

struct Decimal {
  Kind kind;
  std::uint32_t value;
};

// The decimal rules by string comparison rather than by accumulation: blanks,
// one sign, the digits up to the first other character; more than 4294967295
// is out of range before the sign counts; a minus negates modulo 2^32.
Decimal ReferenceDecimal(const std::string& text) {
  std::size_t at = std::min(text.find_first_not_of(" \t\n\v\f\r"), text.size());
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  const std::size_t end = std::min(text.find_first_not_of("0123456789", at), text.size());
  std::string digits = text.substr(at, end - at);
  if (digits.empty()) return {Kind::InvalidArgument, 0};
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
  const std::string largest = "4294967295";
  if (digits.size() > largest.size() || (digits.size() == largest.size() && digits > largest)) {
    return {Kind::OutOfRange, 0};
  }
  const std::uint64_t magnitude = std::stoull(digits);
  return {Kind::Accepted,
          static_cast<std::uint32_t>(negative ? (std::uint64_t{1} << 32) - magnitude : magnitude)};
}

Outcome ReferenceParse(const std::vector<std::string>& arguments) {
  if (arguments.empty() || arguments[0] != "start") {
    return {Kind::Runtime,
            "Usage: pcmtap.exe start --target-pid <pid> --mode exclude-tree [--chunk-frames 1024]",
            {}};
  }
  CaptureOptions options;
  for (std::size_t i = 1; i < arguments.size(); i += 2) {
    const std::string& name = arguments[i];
    const bool known = name == "--target-pid" || name == "--mode" || name == "--chunk-frames";
    if (!known || i + 1 == arguments.size()) {
      return {Kind::Runtime, "Unexpected argument: " + name, {}};
    }
    const std::string& value = arguments[i + 1];
    if (name == "--mode") {
      if (value != "exclude-tree" && value != "include-tree") {
        return {Kind::Runtime, "Unsupported --mode: " + value, {}};
      }
      options.mode = value == "include-tree" ? LoopbackMode::IncludeTargetProcessTree
                                             : LoopbackMode::ExcludeTargetProcessTree;
      continue;
    }
    const Decimal number = ReferenceDecimal(value);
    if (number.kind == Kind::InvalidArgument) return {number.kind, "invalid stoul argument", {}};
    if (number.kind == Kind::OutOfRange) return {number.kind, "stoul argument out of range", {}};
    if (name == "--target-pid") {
      options.targetProcessId = number.value;
    } else {
      options.chunkFrames = number.value;
    }
  }
  if (options.targetProcessId == 0) return {Kind::Runtime, "Missing --target-pid", {}};
  if (options.chunkFrames < 1 || options.chunkFrames > 8192) {
    return {Kind::Runtime, "--chunk-frames must be between 1 and 8192", {}};
  }
  return {Kind::Accepted, "", options};
}

Outcome ProductParse(std::vector<std::string> arguments) {
  std::string program = "pcmtap.exe";
  std::vector<char*> argv = {program.data()};
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  try {
    return {Kind::Accepted, "",
            pcmtap::ParseArguments(static_cast<int>(argv.size() - 1), argv.data())};
  } catch (const std::exception& failure) {
    // Exactly these three kinds: a derived kind would be a different contract.
    const std::type_info& kind = typeid(failure);
    if (kind == typeid(std::runtime_error)) return {Kind::Runtime, failure.what(), {}};
    if (kind == typeid(std::invalid_argument)) return {Kind::InvalidArgument, failure.what(), {}};
    if (kind == typeid(std::out_of_range)) return {Kind::OutOfRange, failure.what(), {}};
    fuzz::Require(false, "ParseArguments threw an undocumented kind of exception");
  }
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments;
  if (size > 0) {
    arguments.emplace_back();
    for (std::size_t i = 0; i < size; ++i) {
      if (data[i] == 0) {
        arguments.emplace_back();
      } else {
        arguments.back() += static_cast<char>(data[i]);
      }
    }
  }
  const Outcome expected = ReferenceParse(arguments);
  const Outcome actual = ProductParse(arguments);
  fuzz::Require(actual.kind == expected.kind, "kind of outcome");
  fuzz::Require(actual.message == expected.message, "error message");
  fuzz::Require(actual.options.targetProcessId == expected.options.targetProcessId,
                "--target-pid value");
  fuzz::Require(actual.options.mode == expected.options.mode, "--mode value");
  fuzz::Require(actual.options.chunkFrames == expected.options.chunkFrames, "--chunk-frames value");
  return 0;
}
