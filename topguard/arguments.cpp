#include "topguard/arguments.h"

#include <limits>

namespace topguard {
namespace {

// Characters are compared as unsigned 32-bit values so that the 16-bit
// wchar_t of Windows and the signed 32-bit one elsewhere classify alike.
std::uint32_t CodePoint(wchar_t c) { return static_cast<std::uint32_t>(c); }

bool IsWideSpace(std::uint32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// The zero of each run of ten decimal digits that the wide conversions of the
// Windows run-time accept.
constexpr std::uint32_t kDigitZeros[] = {
    0x0030,  // ASCII
    0x0660,  // Arabic-Indic
    0x06F0,  // Extended Arabic-Indic
    0x0966,  // Devanagari
    0x09E6,  // Bengali
    0x0A66,  // Gurmukhi
    0x0AE6,  // Gujarati
    0x0B66,  // Oriya
    0x0C66,  // Telugu
    0x0CE6,  // Kannada
    0x0D66,  // Malayalam
    0x0E50,  // Thai
    0x0ED0,  // Lao
    0x0F20,  // Tibetan
    0x1040,  // Myanmar
    0x17E0,  // Khmer
    0x1810,  // Mongolian
    0xFF10,  // Full-width
};

int DigitValue(std::uint32_t c) {
  for (std::uint32_t zero : kDigitZeros) {
    if (c >= zero && c < zero + 10) return static_cast<int>(c - zero);
  }
  return -1;
}

bool ConvertWhole(const wchar_t* text, std::uint64_t maxValue, std::uint64_t& value) {
  const DecimalConversion result = ConvertDecimal(text, maxValue);
  value = result.value;
  return *result.end == L'\0' && result.value != 0;
}

}  // namespace

DecimalConversion ConvertDecimal(const wchar_t* text, std::uint64_t maxValue) {
  const wchar_t* p = text;
  while (IsWideSpace(CodePoint(*p))) ++p;
  const bool negative = *p == L'-';
  if (*p == L'-' || *p == L'+') ++p;

  std::uint64_t value = 0;
  bool overflow = false;
  const wchar_t* digitsBegin = p;
  for (int digit; (digit = DigitValue(CodePoint(*p))) >= 0; ++p) {
    const auto d = static_cast<std::uint64_t>(digit);
    if (overflow || value > (maxValue - d) / 10) {
      overflow = true;  // keep consuming digits, as the run-time does
    } else {
      value = value * 10 + d;
    }
  }
  if (p == digitsBegin) return {0, text};
  if (overflow) return {maxValue, p};
  if (negative) value = (~value + 1) & maxValue;
  return {value, p};
}

std::optional<GuardArguments> ParseArguments(int argc, const wchar_t* const argv[]) {
  if (argc != 3) return std::nullopt;
  std::uint64_t window = 0;
  std::uint64_t process = 0;
  if (!ConvertWhole(argv[1], std::numeric_limits<std::uint64_t>::max(), window) ||
      !ConvertWhole(argv[2], std::numeric_limits<std::uint32_t>::max(), process)) {
    return std::nullopt;
  }
  return GuardArguments{window, static_cast<std::uint32_t>(process)};
}

}  // namespace topguard
