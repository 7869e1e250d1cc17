#pragma once

#include <cstdint>
#include <optional>

namespace topguard {

struct GuardArguments {
  std::uint64_t targetWindow;
  std::uint32_t ownerProcessId;
};

struct DecimalConversion {
  std::uint64_t value;
  const wchar_t* end;  // first character not converted; `text` when no digits
};

// Base-10 conversion with the rules of the Windows run-time's wcstoull and
// wcstoul: leading wide white space, one optional sign, decimal digits of any
// script that the run-time knows. A minus negates modulo maxValue + 1; too
// large a magnitude gives maxValue whatever the sign. maxValue must be 2^k - 1.
// Done here rather than by the host's C library, whose wchar_t width, white
// space and digit sets differ from Windows.
DecimalConversion ConvertDecimal(const wchar_t* text, std::uint64_t maxValue);

// argv[0] is the program name. Empty when the count is not 3 or an argument
// is not a whole, non-zero number.
std::optional<GuardArguments> ParseArguments(int argc, const wchar_t* const argv[]);

}  // namespace topguard
