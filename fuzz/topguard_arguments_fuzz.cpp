// topguard's argument conversion. The input is a UTF-16 command line as
// Windows hands it over: little-endian 16-bit units, arguments separated by a
// zero unit, the program name in front. Each argument's conversion, for both
// widths, and the whole parse must agree with a plain reference of the rules:
// leading wide white space, one sign, decimal digits of the scripts that the
// Windows run-time knows, saturation at the largest value whatever the sign,
// negation modulo 2^n, and for an argument the whole text and a non-zero value.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "topguard/arguments.h"

namespace {

bool ReferenceSpace(std::uint32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0:
    case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// The value of a decimal digit, or -1: ASCII, Arabic-Indic, Extended
// Arabic-Indic, Devanagari, Bengali, Gurmukhi, Gujarati, Oriya, Telugu,
// Kannada, Malayalam, Thai, Lao, Tibetan, Myanmar, Khmer, Mongolian, Full-width.
int ReferenceDigit(std::uint32_t c) {
  static const std::uint32_t zeros[] = {0x30,  0x660, 0x6F0, 0x966, 0x9E6, 0xA66,
                                        0xAE6, 0xB66, 0xC66, 0xCE6, 0xD66, 0xE50,
                                        0xED0, 0xF20, 0x1040, 0x17E0, 0x1810, 0xFF10};
  for (const std::uint32_t zero : zeros) {
    if (c - zero < 10) return static_cast<int>(c - zero);
  }
  return -1;
}

struct Reference {
  std::uint64_t value;
  std::size_t consumed;  // 0 when there are no digits
};

// Digits as a whole number with 128-bit arithmetic (more than 38 significant
// digits saturate anyway), then the sign applied modulo largest + 1.
Reference ReferenceConvert(const std::u16string& text, std::uint64_t largest) {
  std::size_t at = 0;
  while (at < text.size() && ReferenceSpace(text[at])) ++at;
  const bool negative = at < text.size() && text[at] == u'-';
  if (at < text.size() && (text[at] == u'-' || text[at] == u'+')) ++at;
  const std::size_t first = at;
  unsigned __int128 magnitude = 0;
  bool saturated = false;
  for (; at < text.size() && ReferenceDigit(text[at]) >= 0; ++at) {
    magnitude = magnitude * 10 + static_cast<unsigned>(ReferenceDigit(text[at]));
    saturated = saturated || magnitude > largest;
    if (saturated) magnitude = 0;  // keeps the product in range; the value is `largest`
  }
  if (at == first) return {0, 0};
  if (saturated) return {largest, at};
  const unsigned __int128 modulus = static_cast<unsigned __int128>(largest) + 1;
  const auto value = static_cast<std::uint64_t>(negative ? (modulus - magnitude) % modulus : magnitude);
  return {value, at};
}

std::wstring Wide(const std::u16string& text) { return {text.begin(), text.end()}; }

void CheckConversion(const std::u16string& text, std::uint64_t largest) {
  const std::wstring wide = Wide(text);
  const Reference expected = ReferenceConvert(text, largest);
  const topguard::DecimalConversion actual = topguard::ConvertDecimal(wide.c_str(), largest);
  fuzz::Require(actual.value == expected.value, "converted value");
  fuzz::Require(actual.end == wide.c_str() + expected.consumed, "end of the conversion");
}

std::optional<std::uint64_t> ReferenceWhole(const std::u16string& text, std::uint64_t largest) {
  const Reference result = ReferenceConvert(text, largest);
  if (result.consumed != text.size() || result.consumed == 0 || result.value == 0) {
    return std::nullopt;
  }
  return result.value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  std::vector<std::u16string> arguments = {u"topguard.exe"};
  if (size > 0) arguments.emplace_back();
  while (input.remaining() > 0) {
    const auto unit = static_cast<char16_t>(input.Unsigned(2));
    if (unit == 0) {
      arguments.emplace_back();
    } else {
      arguments.back() += unit;
    }
  }

  constexpr std::uint64_t kLargest64 = std::numeric_limits<std::uint64_t>::max();
  constexpr std::uint64_t kLargest32 = std::numeric_limits<std::uint32_t>::max();
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    CheckConversion(arguments[i], kLargest64);
    CheckConversion(arguments[i], kLargest32);
  }

  std::vector<std::wstring> storage;
  storage.reserve(arguments.size());
  for (const auto& argument : arguments) storage.push_back(Wide(argument));
  std::vector<const wchar_t*> argv;
  argv.reserve(storage.size() + 1);
  for (const auto& argument : storage) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  const auto actual = topguard::ParseArguments(static_cast<int>(storage.size()), argv.data());

  std::optional<std::uint64_t> window, process;
  if (arguments.size() == 3) {
    window = ReferenceWhole(arguments[1], kLargest64);
    process = ReferenceWhole(arguments[2], kLargest32);
  }
  fuzz::Require(actual.has_value() == (window && process), "arguments accepted or refused");
  if (actual) {
    fuzz::Require(actual->targetWindow == *window, "window handle");
    fuzz::Require(actual->ownerProcessId == *process, "process id");
  }
  return 0;
}
