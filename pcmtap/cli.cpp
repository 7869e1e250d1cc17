#include "pcmtap/cli.h"

#include <cstring>
#include <exception>
#include <initializer_list>
#include <iostream>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

namespace pcmtap {
namespace {

constexpr const char* kUsage =
    "Usage: pcmtap.exe start --target-pid <pid> --mode exclude-tree [--chunk-frames 1024]";
constexpr std::uint64_t kMaxChunkFrames = 8192;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The decimal conversion of an option value: leading blanks, one optional
// sign, then digits up to the first other character. Behaves the same on
// every platform, whatever width `unsigned long` has there. The text ends
// at its terminator, as a command-line argument does.
std::uint32_t ParseDecimal(const char* text) {
  while (IsBlank(*text)) ++text;
  const bool negative = *text == '-';
  if (*text == '+' || *text == '-') ++text;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
  std::uint64_t value = 0;
  bool tooLarge = false;
  const char* const firstDigit = text;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (!tooLarge) {
      value = value * 10 + static_cast<std::uint64_t>(*text - '0');
      tooLarge = value > kMax;
    }
  }
  if (text == firstDigit) throw std::invalid_argument("invalid stoul argument");
  if (tooLarge) throw std::out_of_range("stoul argument out of range");
  const auto result = static_cast<std::uint32_t>(value);
  return negative ? static_cast<std::uint32_t>(0u - result) : result;
}

void WriteErrorLine(const char* message) {
  // std::cerr is tied to std::cout: any record still buffered goes first.
  std::cerr << message << "\r\n" << std::flush;
}

// Walks the options after the command in name and value pairs; `apply`
// takes a pair it knows and returns false for any other name. A name in the
// last place has no value and is unexpected whatever it is.
template <class Apply>
void ForEachOption(int argc, char* argv[], Apply apply) {
  for (int i = 2; i < argc; i += 2) {
    if (i + 1 >= argc || !apply(std::string(argv[i]), std::string(argv[i + 1]))) {
      throw std::runtime_error(std::string("Unexpected argument: ") + argv[i]);
    }
  }
}

// The value of an option that takes one of a few words, matched whole.
template <class Value>
Value OneOf(const std::string& name, const std::string& value,
            std::initializer_list<std::pair<const char*, Value>> words) {
  for (const auto& [word, meaning] : words) {
    if (value == word) return meaning;
  }
  throw std::runtime_error("Unsupported " + name + ": " + value);
}

void KeepFirst(std::string& first, const std::string& name) {
  if (first.empty()) first = name;
}

}  // namespace

CaptureOptions ParseArguments(int argc, char* argv[]) {
  if (argc < 2 || std::strcmp(argv[1], "start") != 0) throw std::runtime_error(kUsage);

  CaptureOptions options;
  // The first option given that only the process source takes, or that the
  // process source does not take, to refuse it with another source.
  std::string processOnly;
  std::string deviceOnly;
  std::optional<Resampler> resampler;
  ForEachOption(argc, argv, [&](const std::string& name, const std::string& value) {
    if (name == "--target-pid") {
      options.targetProcessId = ParseDecimal(value.c_str());
      KeepFirst(processOnly, name);
    } else if (name == "--mode") {
      options.mode = OneOf<LoopbackMode>(name, value, {{"exclude-tree", LoopbackMode::ExcludeTargetProcessTree},
                                         {"include-tree", LoopbackMode::IncludeTargetProcessTree}});
      KeepFirst(processOnly, name);
    } else if (name == "--chunk-frames") {
      options.chunkFrames = ParseDecimal(value.c_str());
    } else if (name == "--gaps") {
      options.gaps = OneOf<GapPolicy>(name, value, {{"skip", GapPolicy::Skip}, {"fill", GapPolicy::Fill}});
    } else if (name == "--source") {
      options.source = OneOf<CaptureSource>(name, value, {{"process", CaptureSource::Process}, {"endpoint", CaptureSource::Endpoint},
                                           {"microphone", CaptureSource::Microphone}});
    } else if (name == "--role") {
      options.role = OneOf<EndpointRole>(name, value, {{"console", EndpointRole::Console},
                                         {"communications", EndpointRole::Communications}});
      KeepFirst(deviceOnly, name);
    } else if (name == "--notices") {
      options.notices = OneOf<bool>(name, value, {{"off", false}, {"on", true}});
    } else if (name == "--resampler") {
      resampler = OneOf<Resampler>(name, value, {{"linear", Resampler::Linear}, {"band-limited", Resampler::BandLimited}});
    } else {
      return false;
    }
    return true;
  });

  if (options.source != CaptureSource::Process) {
    if (!processOnly.empty()) throw std::runtime_error(processOnly + " applies only to --source process");
  } else {
    if (!deviceOnly.empty()) {
      throw std::runtime_error(deviceOnly + " applies only to --source endpoint and --source microphone");
    }
    if (options.targetProcessId == 0) throw std::runtime_error("Missing --target-pid");
  }
  // The linear path exists for the loopback streams whose records hosts
  // compare bit for bit; a microphone has no such past, and its device's
  // own format needs the band-limited converter.
  if (options.source == CaptureSource::Microphone) {
    if (resampler == Resampler::Linear) {
      throw std::runtime_error("--resampler linear applies only to --source process and --source endpoint");
    }
    resampler = Resampler::BandLimited;
  }
  options.resampler = resampler.value_or(Resampler::Linear);
  if (options.chunkFrames == 0 || options.chunkFrames > kMaxChunkFrames) {
    throw std::runtime_error("--chunk-frames must be between 1 and 8192");
  }
  return options;
}

StopOptions ParseStopArguments(int argc, char* argv[]) {
  StopOptions options;
  ForEachOption(argc, argv, [&options](const std::string& name, const std::string& value) {
    if (name != "--pid") return false;
    options.processId = ParseDecimal(value.c_str());
    return true;
  });
  if (options.processId == 0) throw std::runtime_error("Missing --pid");
  return options;
}

std::string FormatHresult(HRESULT status) {
  static constexpr char kDigits[] = "0123456789abcdef";
  auto value = static_cast<std::uint32_t>(status);
  char reversed[8];
  int count = 0;
  do {
    reversed[count++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  std::string text = "0x";
  while (count > 0) text += reversed[--count];
  return text;
}

void ThrowIfFailed(HRESULT status, const char* call) {
  if (status >= 0) return;
  throw PlatformError(std::string(call) + " failed: " + FormatHresult(status), status);
}

int RunCommandLine(int argc, char* argv[], void (*runCapture)(const CaptureOptions&)) {
  return RunCommandLine(argc, argv, runCapture, nullptr);
}

int RunCommandLine(int argc, char* argv[], void (*runCapture)(const CaptureOptions&),
                   void (*runStop)(const StopOptions&)) {
  try {
    if (runStop != nullptr && argc >= 2 && std::strcmp(argv[1], "stop") == 0) {
      runStop(ParseStopArguments(argc, argv));
    } else {
      runCapture(ParseArguments(argc, argv));
    }
    return 0;
  } catch (const std::bad_alloc&) {
    // Run-times word this family differently ("std::bad_alloc",
    // "std::bad_array_new_length"); hosts see one text for memory exhaustion.
    WriteErrorLine("bad allocation");
  } catch (const std::exception& failure) {
    WriteErrorLine(failure.what());
  }
  return 1;
}

}  // namespace pcmtap
