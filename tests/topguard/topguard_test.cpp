#include "topguard/arguments.h"
#include "topguard/guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace topguard {
namespace {

// Two monitors side by side; a window's nearest is the one under its centre.
constexpr Rect kScreen{0, 0, 1920, 1080}, kRightScreen{1920, 0, 3840, 1080};
constexpr Rect kTargetRect{100, 100, 500, 400};

// Windows in memory; a handle is the position from the top, 1 the topmost,
// and the target is the last. `odd` lists the queries with the unusual
// answer: v hidden, i minimised, c cloaked, C cloaking query failed, r or m
// rectangle or monitor unreadable. Every query adds a letter to the log: v,
// i, c, r, m as in `odd`, x intersect, a above, w wait, R raise the target.
// Process 4294967295 opens; its wait times out `polls` times, then returns
// `ended`; the target is destroyed at wait `destroyAt`.
struct Sim : WindowSystem {
  std::vector<std::pair<Rect, std::string>> windows;
  int polls = 0, destroyAt = 0, waits = 0, closes = 0;
  std::uint32_t ended = 0, opened = 0;
  std::string log;

  bool Has(WindowHandle h, char query) { return windows.at(h - 1).second.find(query) != std::string::npos; }
  bool Ask(char query, WindowHandle h) { log += query; return Has(h, query); }
  ProcessHandle OpenProcessForWait(std::uint32_t id) override { opened = id; return id == UINT32_MAX ? 0x44 : 0; }
  std::uint32_t WaitForProcess(ProcessHandle process, std::uint32_t ms) override {
    log += 'w';
    if (++waits > 100) throw "the loop does not end";
    if (waits == destroyAt) windows.pop_back();
    return process == 0x44 && ms == 200 && waits <= polls ? 258 : ended;
  }
  void CloseProcess(ProcessHandle process) override { closes += process == 0x44; }
  bool WindowExists(WindowHandle h) override { return h != 0 && h <= windows.size(); }
  bool IsVisible(WindowHandle h) override { return !Ask('v', h); }
  bool IsMinimised(WindowHandle h) override { return Ask('i', h); }
  bool GetRect(WindowHandle h, Rect& rect) override { rect = windows.at(h - 1).first; return !Ask('r', h); }
  WindowHandle WindowAbove(WindowHandle h) override { log += 'a'; return h - 1; }
  std::int32_t QueryCloaked(WindowHandle h, std::uint32_t& cloaked) override {
    cloaked = Ask('c', h) || Has(h, 'C');  // a failed query leaves no meaningful value
    return Has(h, 'C') ? -2147467263 : 0;   // E_NOTIMPL or S_OK
  }
  bool Intersect(const Rect& a, const Rect& b) override { log += 'x'; return Overlaps(a, b); }
  MonitorHandle NearestMonitor(WindowHandle h) override {
    const Rect& r = windows.at(h - 1).first;
    return Ask('m', h) ? 0 : r.left + r.right < kScreen.right * 2 ? 1 : 2;
  }
  bool GetMonitorRect(MonitorHandle m, Rect& rect) override { rect = m == 2 ? kRightScreen : kScreen; return m != 0; }
  void RaiseToTopmost(WindowHandle h) override { log += h == windows.size() ? 'R' : '?'; }
};

// One poll of the target (3) below window 2, itself below full-screen window 1:
// the target's queries, then 2's, then 1's when 2 is passed over, and the raise.
TEST(GuardTest, PollRaisesOverTheFirstFullScreenWindowAbove) {
  const std::string overOne = "avicrxmR";
  const struct Case { const char* name; std::string targetOdd, twoOdd; Rect twoRect; std::string log; Rect target = kTargetRect; }
      cases[] = {{"2 within the tolerance of each edge", "", "", {12, 12, 1908, 1068}, "vir" "avicrxm" "R"},
                 {"2 beyond each edge, as a maximised frame", "", "", {-8, -8, 1928, 1088}, "vir" "avicrxm" "R"},
                 {"2 short of the left edge", "", "", {13, 0, 1920, 1080}, "vir" "avicrxm" + overOne},
                 {"2 short of the right edge", "", "", {0, 0, 1907, 1080}, "vir" "avicrxm" + overOne},
                 {"2 right of the target", "", "", {500, 0, 1920, 1080}, "vir" "avicrx" + overOne},
                 {"2 below the target", "", "", {0, 400, 1920, 1080}, "vir" "avicrx" + overOne},
                 {"2 fills its own monitor, the target lies mostly on the other", "", "", kRightScreen,
                  "vir" "avicrxm" "R", {1700, 100, 2000, 400}},
                 {"2's cloaking unknown", "", "C", kScreen, "vir" "avicrxm" "R"},
                 {"2 hidden", "", "v", kScreen, "vir" "av" + overOne}, {"2 minimised", "", "i", kScreen, "vir" "avi" + overOne},
                 {"2 cloaked", "", "c", kScreen, "vir" "avic" + overOne},
                 {"2's rectangle unreadable", "", "r", kScreen, "vir" "avicr" + overOne},
                 {"2's monitor unreadable", "", "m", kScreen, "vir" "avicrxm" + overOne},
                 {"the target hidden", "v", "", kScreen, "v"}, {"the target minimised", "i", "", kScreen, "vi"},
                 {"the target's rectangle unreadable", "r", "", kScreen, "vir"}};
  for (const Case& c : cases) {
    Sim sim;
    sim.windows = {{kScreen, ""}, {c.twoRect, c.twoOdd}, {c.target, c.targetOdd}};
    PollOnce(sim, 3);
    EXPECT_EQ(sim.log, c.log) << c.name;
  }
}

TEST(GuardTest, WalkExaminesAtMost512WindowsAbove) {
  for (int at : {512, 513}) {
    Sim sim;  // the target 601 below 600 hidden windows, but for the `at`th above it
    sim.windows.resize(601, {kScreen, "v"});
    sim.windows[600 - at].second = "";
    EXPECT_EQ(FindFullScreenAbove(sim, 601, kScreen), at == 512 ? 601u - at : 0u);
    EXPECT_EQ(std::count(sim.log.begin(), sim.log.end(), 'a'), at == 512 ? 512 : 513);
  }
}

// The whole program: the target (2) below full-screen window 1. The status,
// the id opened, the waits, the raises and the closes of the process.
TEST(GuardTest, RunsUntilTheOwnerOrTheTargetEnds) {
  const struct { const char* name; std::vector<const wchar_t*> argv; int polls, destroyAt; std::uint32_t ended;
                 std::string expected; } cases[] = {
      {"one argument", {L"tg", L"2"}, 9, 0, 0, "2 0 0 0 0"}, {"three arguments", {L"tg", L"2", L"-1", L"9"}, 9, 0, 0, "2 0 0 0 0"},
      {"an owner that cannot be opened", {L"tg", L"2", L"77"}, 9, 0, 0, "1 77 0 0 0"},
      {"an owner already ended", {L"tg", L"2", L"-1"}, 0, 0, 0, "0 4294967295 1 0 1"},
      {"an owner that ends after three polls", {L"tg", L"2", L"4294967296"}, 3, 0, 0, "0 4294967295 4 3 1"},
      {"a wait that fails", {L"tg", L"2", L"-1"}, 2, 0, 0xFFFFFFFF, "0 4294967295 3 2 1"},
      {"a target destroyed at the third wait", {L"tg", L"2", L"-1"}, 9, 3, 0, "0 4294967295 3 2 1"}};
  for (const auto& c : cases) {
    Sim sim;
    sim.windows = {{kScreen, ""}, {kTargetRect, ""}};
    sim.polls = c.polls, sim.destroyAt = c.destroyAt, sim.ended = c.ended;
    const int status = RunTopGuard(static_cast<int>(c.argv.size()), c.argv.data(), sim);
    const auto count = [&](char query) { return std::to_string(std::count(sim.log.begin(), sim.log.end(), query)); };
    EXPECT_EQ(std::to_string(status) + " " + std::to_string(sim.opened) + " " + count('w') + " " + count('R') + " " +
                  std::to_string(sim.closes), c.expected) << c.name;
  }
}

TEST(ParseArgumentsTest, ConvertsAsTheWindowsRunTimeDoes) {
  const struct { const wchar_t *window, *process; std::uint64_t windowValue; std::uint32_t processValue; } accepted[] = {
      // Every wide white space of the run-time before the sign.
      {L"\t\n\v\f\r \u0085\u00A0\u1680\u2000\u200A\u2028\u2029\u202F\u205F\u3000-5", L"\u3000+7", UINT64_MAX - 4, 7},
      {L"-1", L"-4294967295", UINT64_MAX, 1},                             // negated modulo 2^64 or 2^32
      {L"18446744073709551616", L"-4294967296", UINT64_MAX, UINT32_MAX},  // too large: the maximum
      // One of each script's digits, and Arabic-Indic 4 with full-width 2.
      {L"1\u0661\u06F1\u0967\u09E7\u0A67\u0AE7\u0B67\u0C67\u0CE7\u0D67\u0E51\u0ED1\u0F21\u1041\u17E1\u1811\uFF11",
       L"\u0664\uFF12", 111111111111111111u, 42}};
  for (const auto& c : accepted) {
    const wchar_t* argv[] = {L"topguard", c.window, c.process};
    const GuardArguments parsed = ParseArguments(3, argv).value_or(GuardArguments{0, 0});
    const std::string row = testing::PrintToString(c.window) + " " + testing::PrintToString(c.process);
    EXPECT_EQ(parsed.targetWindow, c.windowValue) << row;
    EXPECT_EQ(parsed.ownerProcessId, c.processValue) << row;
  }
  // Zero, no digits, anything after them, and the characters just past a run
  // of white space or of digits; in either place.
  for (const wchar_t* bad : {L"0", L"00", L"", L"+", L"12ab", L"12 ", L"0x10", L"\x0E" L"5", L"\u200B5", L"5:"}) {
    const wchar_t* first[] = {L"topguard", bad, L"7"};
    const wchar_t* second[] = {L"topguard", L"7", bad};
    EXPECT_FALSE(ParseArguments(3, first) || ParseArguments(3, second)) << testing::PrintToString(bad);
  }
}

}  // namespace
}  // namespace topguard
