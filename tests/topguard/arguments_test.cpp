#include "topguard/arguments.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace topguard {
namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t kMax32 = std::numeric_limits<std::uint32_t>::max();

struct ArgumentsCase {
  std::vector<const wchar_t*> argv;
  bool accepted;
  std::uint64_t window;
  std::uint32_t process;
};

class ParseArgumentsTest : public testing::TestWithParam<ArgumentsCase> {};

TEST_P(ParseArgumentsTest, AcceptsOnlyTwoWholeNonZeroNumbers) {
  const ArgumentsCase& c = GetParam();
  const auto parsed = ParseArguments(static_cast<int>(c.argv.size()), c.argv.data());
  ASSERT_EQ(parsed.has_value(), c.accepted);
  if (c.accepted) {
    EXPECT_EQ(parsed->targetWindow, c.window);
    EXPECT_EQ(parsed->ownerProcessId, c.process);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseArgumentsTest,
    testing::Values(
        ArgumentsCase{{L"tg"}, false, 0, 0}, ArgumentsCase{{L"tg", L"5"}, false, 0, 0},
        ArgumentsCase{{L"tg", L"5", L"7", L"9"}, false, 0, 0},
        ArgumentsCase{{L"tg", L"5", L"7"}, true, 5, 7},
        ArgumentsCase{{L"tg", L"0", L"7"}, false, 0, 0}, ArgumentsCase{{L"tg", L"5", L"0"}, false, 0, 0},
        ArgumentsCase{{L"tg", L"00", L"7"}, false, 0, 0}, ArgumentsCase{{L"tg", L"5", L"00"}, false, 0, 0},
        ArgumentsCase{{L"tg", L"-0", L"7"}, false, 0, 0},
        ArgumentsCase{{L"tg", L"12ab", L"7"}, false, 0, 0}, ArgumentsCase{{L"tg", L"5", L"12ab"}, false, 0, 0},
        ArgumentsCase{{L"tg", L"12 ", L"7"}, false, 0, 0}, ArgumentsCase{{L"tg", L"5", L"12 "}, false, 0, 0},
        ArgumentsCase{{L"tg", L"0x10", L"7"}, false, 0, 0}, ArgumentsCase{{L"tg", L"5", L"0x10"}, false, 0, 0},
        ArgumentsCase{{L"tg", L"", L"7"}, false, 0, 0}, ArgumentsCase{{L"tg", L"5", L""}, false, 0, 0},
        ArgumentsCase{{L"tg", L"+", L"7"}, false, 0, 0}, ArgumentsCase{{L"tg", L"+-5", L"7"}, false, 0, 0},
        ArgumentsCase{{L"tg", L"- 5", L"7"}, false, 0, 0},
        ArgumentsCase{{L"tg", L"\u200B5", L"7"}, false, 0, 0},  // zero-width space is no white space
        ArgumentsCase{{L"tg", L"\U0001D7DF", L"7"}, false, 0, 0},  // outside the run-time's digit sets
        ArgumentsCase{{L"tg", L"  42", L"  42"}, true, 42, 42},
        ArgumentsCase{{L"tg", L"+42", L"+42"}, true, 42, 42},
        ArgumentsCase{{L"tg", L"\t\n\u00A0\u3000\u2029 42", L"\u20057"}, true, 42, 7},
        ArgumentsCase{{L"tg", L"-1", L"7"}, true, kMax64, 7},
        ArgumentsCase{{L"tg", L"5", L"-1"}, true, 5, kMax32},
        ArgumentsCase{{L"tg", L"-18446744073709551615", L"-4294967295"}, true, 1, 1},
        ArgumentsCase{{L"tg", L"18446744073709551615", L"4294967295"}, true, kMax64, kMax32},
        ArgumentsCase{{L"tg", L"18446744073709551616", L"4294967296"}, true, kMax64, kMax32},
        ArgumentsCase{{L"tg", L"-99999999999999999999999", L"-4294967296"}, true, kMax64, kMax32},
        ArgumentsCase{{L"tg", L"\u0664\u0662", L"\uFF14\uFF12"}, true, 42, 42},
        ArgumentsCase{{L"tg", L"\u06F9\u0967\u0E58", L"4\u0662\u17E0"}, true, 918, 420},
        ArgumentsCase{{L"tg", L"\u1819", L"\u0F29\u0D6F\u0AEF"}, true, 9, 999}));

struct ConversionCase {
  const wchar_t* text;
  std::uint64_t max;
  std::uint64_t value;
  std::ptrdiff_t end;  // characters consumed
};

class ConvertDecimalTest : public testing::TestWithParam<ConversionCase> {};

TEST_P(ConvertDecimalTest, StopsWhereTheRunTimeStops) {
  const ConversionCase& c = GetParam();
  const DecimalConversion result = ConvertDecimal(c.text, c.max);
  EXPECT_EQ(result.value, c.value);
  EXPECT_EQ(result.end - c.text, c.end);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConvertDecimalTest,
    testing::Values(ConversionCase{L"12ab", kMax64, 12, 2}, ConversionCase{L"0x10", kMax64, 0, 1},
                    ConversionCase{L"  +", kMax64, 0, 0}, ConversionCase{L" -7 ", kMax32, kMax32 - 6, 3},
                    ConversionCase{L"99999999999999999999999x", kMax64, kMax64, 23},
                    ConversionCase{L"4294967296", kMax32, kMax32, 10},
                    ConversionCase{L"429496729\uFF16", kMax32, kMax32, 10}));

}  // namespace
}  // namespace topguard
