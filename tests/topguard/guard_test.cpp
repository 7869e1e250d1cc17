#include "topguard/guard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "simulated_window_system.h"

namespace topguard {
namespace {

using testing::ElementsAreArray;

constexpr WindowHandle kTarget = 5;
constexpr WindowHandle kBelow = 3;
constexpr Rect kScreen{0, 0, 1920, 1080};

struct RectCase {
  Rect a;
  Rect b;
  bool expected;
};

class CoversMonitorTest : public testing::TestWithParam<RectCase> {};
TEST_P(CoversMonitorTest, AllowsTwelvePixelsShortOfEachEdge) {
  EXPECT_EQ(CoversMonitor(GetParam().a, GetParam().b), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Table, CoversMonitorTest,
    testing::Values(RectCase{{12, 12, 1908, 1068}, kScreen, true}, RectCase{{-8, -8, 1928, 1088}, kScreen, true},
                    RectCase{{13, 0, 1920, 1080}, kScreen, false}, RectCase{{0, 13, 1920, 1080}, kScreen, false},
                    RectCase{{0, 0, 1907, 1080}, kScreen, false}, RectCase{{0, 0, 1920, 1067}, kScreen, false},
                    RectCase{{1932, 0, 3840, 1080}, {1920, 0, 3840, 1080}, true},
                    RectCase{{1933, 0, 3840, 1080}, {1920, 0, 3840, 1080}, false},
                    RectCase{{INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX}, {INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX}, true}));

class OverlapsTest : public testing::TestWithParam<RectCase> {};
TEST_P(OverlapsTest, NeedsACommonPixel) {
  EXPECT_EQ(Overlaps(GetParam().a, GetParam().b), GetParam().expected);
  EXPECT_EQ(Overlaps(GetParam().b, GetParam().a), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Table, OverlapsTest,
    testing::Values(RectCase{{0, 0, 100, 100}, {100, 0, 200, 100}, false}, RectCase{{0, 0, 100, 100}, {0, 100, 100, 200}, false},
                    RectCase{{0, 0, 100, 100}, {99, 99, 200, 200}, true}, RectCase{{0, 0, 100, 100}, {10, 10, 20, 20}, true},
                    RectCase{{0, 0, 100, 100}, {50, 50, 50, 80}, false}, RectCase{{0, 0, 100, 100}, {50, 80, 60, 70}, false},
                    RectCase{{0, 0, 100, 100}, {-50, 150, 50, 200}, false}));

// Two side-by-side monitors; the target on the left one, below two
// full-screen candidates: 7 just above it and 9 above 7.
SimulatedWindowSystem TwoCandidates() {
  SimulatedWindowSystem sim;
  sim.monitors = {kScreen, {1920, 0, 3840, 1080}};
  sim.zOrder = {{9, kScreen}, {7, kScreen}, {kTarget, {100, 100, 500, 400}}, {kBelow, kScreen}};
  return sim;
}

struct WalkCase {
  const char* name;
  std::function<void(SimulatedWindowSystem&)> change;
  WindowHandle found;
};

class WalkTest : public testing::TestWithParam<WalkCase> {};
TEST_P(WalkTest, FindsTheFirstQualifyingWindowAbove) {
  SimulatedWindowSystem sim = TwoCandidates();
  GetParam().change(sim);
  EXPECT_EQ(FindFullScreenAbove(sim, kTarget, sim.Find(kTarget)->rect), GetParam().found);
}
INSTANTIATE_TEST_SUITE_P(
    Table, WalkTest,
    testing::Values(
        WalkCase{"FullScreen", [](SimulatedWindowSystem&) {}, 7},
        WalkCase{"Invisible", [](SimulatedWindowSystem& s) { s.Find(7)->visible = false; }, 9},
        WalkCase{"Minimised", [](SimulatedWindowSystem& s) { s.Find(7)->minimised = true; }, 9},
        WalkCase{"Cloaked", [](SimulatedWindowSystem& s) { s.Find(7)->cloaked = 2; }, 9},
        WalkCase{"CloakingQueryFails", [](SimulatedWindowSystem& s) { s.Find(7)->cloakQueryFails = true; }, 7},
        WalkCase{"RectUnreadable", [](SimulatedWindowSystem& s) { s.Find(7)->rectQueryFails = true; }, 9},
        WalkCase{"MonitorUnreadable", [](SimulatedWindowSystem& s) { s.Find(7)->monitorQueryFails = true; }, 9},
        WalkCase{"ThirteenPixelsShort", [](SimulatedWindowSystem& s) { s.Find(7)->rect = {13, 0, 1920, 1080}; }, 9},
        WalkCase{"NothingAboveQualifies", [](SimulatedWindowSystem& s) { s.Find(7)->visible = s.Find(9)->visible = false; }, 0},
        WalkCase{"TouchesTargetOnOwnMonitor",
                 [](SimulatedWindowSystem& s) {
                   s.Find(7)->rect = s.monitors[1];
                   s.Find(7)->monitor = 1;
                   s.Find(9)->visible = false;
                   s.Find(kTarget)->rect = {1700, 100, 1920, 400};
                 },
                 0},
        WalkCase{"CoversOwnMonitorWhileTargetMostlyOnOther",
                 [](SimulatedWindowSystem& s) {
                   s.Find(7)->rect = s.monitors[1];
                   s.Find(7)->monitor = 1;
                   s.Find(kTarget)->rect = {1700, 100, 1921, 400};
                 },
                 7}),
    [](const testing::TestParamInfo<WalkCase>& info) { return std::string(info.param.name); });

struct OrderCase {
  const char* name;
  std::function<void(SimWindow&)> change;
  std::vector<std::string> queries;  // made for window 7 after the walk reaches it
  bool found;
};

class QueryOrderTest : public testing::TestWithParam<OrderCase> {};
TEST_P(QueryOrderTest, StopsAtTheFirstFailedTest) {
  SimulatedWindowSystem sim = TwoCandidates();
  sim.zOrder.erase(sim.zOrder.begin());  // 7 is the top window
  GetParam().change(*sim.Find(7));
  const WindowHandle found = FindFullScreenAbove(sim, kTarget, sim.Find(kTarget)->rect);
  EXPECT_EQ(found, GetParam().found ? 7u : 0u);
  std::vector<std::string> expected{"above 5"};
  expected.insert(expected.end(), GetParam().queries.begin(), GetParam().queries.end());
  if (!GetParam().found) expected.push_back("above 7");
  EXPECT_THAT(sim.log, ElementsAreArray(expected));
}
const std::vector<std::string> kAllQueries{"visible 7", "iconic 7", "cloaked 7", "rect 7", "intersect", "monitor 7", "monitorinfo 1"};
std::vector<std::string> FirstQueries(std::size_t n) { return {kAllQueries.begin(), kAllQueries.begin() + n}; }
INSTANTIATE_TEST_SUITE_P(
    Table, QueryOrderTest,
    testing::Values(OrderCase{"Invisible", [](SimWindow& w) { w.visible = false; }, FirstQueries(1), false},
                    OrderCase{"Minimised", [](SimWindow& w) { w.minimised = true; }, FirstQueries(2), false},
                    OrderCase{"Cloaked", [](SimWindow& w) { w.cloaked = 1; }, FirstQueries(3), false},
                    OrderCase{"RectUnreadable", [](SimWindow& w) { w.rectQueryFails = true; }, FirstQueries(4), false},
                    OrderCase{"NoOverlap", [](SimWindow& w) { w.rect = {600, 0, 1920, 1080}; }, FirstQueries(5), false},
                    OrderCase{"NotCovering", [](SimWindow& w) { w.rect = {0, 0, 1000, 1080}; }, FirstQueries(7), false},
                    OrderCase{"Qualifies", [](SimWindow&) {}, FirstQueries(7), true}),
    [](const testing::TestParamInfo<OrderCase>& info) { return std::string(info.param.name); });

// `aboveCount` windows above the target, of which only the one at
// `fullScreenAt` (1 = just above) fills the screen.
class WalkBoundTest : public testing::TestWithParam<int> {};
TEST_P(WalkBoundTest, ExaminesAtMost512WindowsAbove) {
  const int fullScreenAt = GetParam();
  SimulatedWindowSystem sim;
  for (int i = 600; i >= 1; --i) sim.zOrder.push_back({100u + i, {0, 0, 10, 10}});
  sim.zOrder.push_back({kTarget, {0, 0, 400, 300}});
  sim.Find(100u + fullScreenAt)->rect = kScreen;
  const WindowHandle found = FindFullScreenAbove(sim, kTarget, sim.Find(kTarget)->rect);
  EXPECT_EQ(found, fullScreenAt <= 512 ? 100u + fullScreenAt : 0u);
  EXPECT_EQ(sim.Count("above"), std::min(fullScreenAt, 513));
  EXPECT_EQ(sim.Count("visible"), std::min(fullScreenAt, 512));
}
INSTANTIATE_TEST_SUITE_P(Table, WalkBoundTest, testing::Values(1, 511, 512, 513, 600));

// The guarding loop: target 5 with full-screen window 7 above it.
SimulatedWindowSystem Guarded(int polls) {
  SimulatedWindowSystem sim;
  sim.zOrder = {{7, kScreen}, {kTarget, {100, 100, 500, 400}}};
  sim.pollsBeforeOwnerEnds = polls;
  return sim;
}

TEST(GuardWindowTest, RaisesOncePerPollWhileTheWindowStaysAbove) {
  SimulatedWindowSystem sim = Guarded(4);
  sim.raiseTakesEffect = false;
  EXPECT_EQ(GuardWindow(sim, kTarget, SimulatedWindowSystem::kOwnerHandle), 0);
  EXPECT_EQ(sim.Count("raise 5"), 4);
  EXPECT_EQ(sim.closes, 1);
}

TEST(GuardWindowTest, RaisesAgainOnlyWhenAWindowComesAboveAgain) {
  SimulatedWindowSystem sim = Guarded(6);
  std::vector<int> raisesAfterPoll;
  sim.beforePoll = [&](int poll) {
    raisesAfterPoll.push_back(sim.Count("raise"));
    if (poll == 4) sim.MoveToTop(7);
  };
  GuardWindow(sim, kTarget, SimulatedWindowSystem::kOwnerHandle);
  // Raised in poll 1; above from then on until 7 returns before poll 4.
  EXPECT_THAT(raisesAfterPoll, ElementsAreArray({0, 1, 1, 1, 2, 2}));
  EXPECT_EQ(sim.zOrder.front().handle, kTarget);
}

struct HiddenTargetCase {
  const char* name;
  std::function<void(SimWindow&)> change;
};
class HiddenTargetTest : public testing::TestWithParam<HiddenTargetCase> {};
TEST_P(HiddenTargetTest, RaisesNothingAndWalksNothing) {
  SimulatedWindowSystem sim = Guarded(3);
  GetParam().change(*sim.Find(kTarget));
  GuardWindow(sim, kTarget, SimulatedWindowSystem::kOwnerHandle);
  EXPECT_EQ(sim.Count("raise"), 0);
  EXPECT_EQ(sim.Count("above"), 0);
  EXPECT_EQ(sim.Count("exists 5"), 3);
}
INSTANTIATE_TEST_SUITE_P(Table, HiddenTargetTest,
                         testing::Values(HiddenTargetCase{"Hidden", [](SimWindow& w) { w.visible = false; }},
                                         HiddenTargetCase{"Minimised", [](SimWindow& w) { w.minimised = true; }},
                                         HiddenTargetCase{"RectUnreadable", [](SimWindow& w) { w.rectQueryFails = true; }}),
                         [](const testing::TestParamInfo<HiddenTargetCase>& info) { return std::string(info.param.name); });

struct EndCase {
  const char* name;
  int pollsBeforeOwnerEnds;
  std::uint32_t endedWaitResult;
  int destroyTargetBeforePoll;  // 0: never
  int expectedWaits;
  int expectedPolls;  // cycles that reached the raise
};
class GuardEndTest : public testing::TestWithParam<EndCase> {};
TEST_P(GuardEndTest, EndsWithStatusZeroAndClosesTheProcessOnce) {
  const EndCase& c = GetParam();
  SimulatedWindowSystem sim = Guarded(c.pollsBeforeOwnerEnds);
  sim.endedWaitResult = c.endedWaitResult;
  sim.raiseTakesEffect = false;
  sim.beforePoll = [&](int poll) {
    if (poll == c.destroyTargetBeforePoll) sim.Destroy(kTarget);
  };
  EXPECT_EQ(GuardWindow(sim, kTarget, SimulatedWindowSystem::kOwnerHandle), 0);
  EXPECT_EQ(sim.Count("wait"), c.expectedWaits);
  EXPECT_EQ(sim.Count("raise"), c.expectedPolls);
  EXPECT_EQ(sim.closes, 1);
  EXPECT_EQ(sim.log.back(), c.expectedWaits == c.pollsBeforeOwnerEnds + 1 ? "wait" : "exists 5");
}
INSTANTIATE_TEST_SUITE_P(Table, GuardEndTest,
                         testing::Values(EndCase{"OwnerEndsAtOnce", 0, 0, 0, 1, 0}, EndCase{"OwnerEnds", 3, 0, 0, 4, 3},
                                         EndCase{"WaitFails", 2, 0xFFFFFFFF, 0, 3, 2},
                                         EndCase{"WaitAbandoned", 2, 0x80, 0, 3, 2},
                                         EndCase{"TargetDestroyed", 10, 0, 3, 3, 2}),
                         [](const testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

struct StartCase {
  std::vector<const wchar_t*> argv;
  int status;
  std::vector<std::uint32_t> opened;
  std::string firstWindowQuery;  // empty: no window is looked at
};
class RunTopGuardTest : public testing::TestWithParam<StartCase> {};
TEST_P(RunTopGuardTest, StartsOrFailsWithItsStatus) {
  const StartCase& c = GetParam();
  SimulatedWindowSystem sim = Guarded(1);
  sim.ownerProcessId = 4294967295u;
  EXPECT_EQ(RunTopGuard(static_cast<int>(c.argv.size()), c.argv.data(), sim), c.status);
  EXPECT_THAT(sim.openedIds, ElementsAreArray(c.opened));
  const std::string first = sim.log.size() > 1 ? sim.log[1] : "";
  EXPECT_EQ(first, c.firstWindowQuery);
  EXPECT_EQ(sim.closes, c.status == 0 ? 1 : 0);
}
INSTANTIATE_TEST_SUITE_P(
    Table, RunTopGuardTest,
    testing::Values(StartCase{{L"tg", L"5"}, 2, {}, ""}, StartCase{{L"tg", L"5", L"0"}, 2, {}, ""},
                    StartCase{{L"tg", L"5", L"77"}, 1, {77}, ""},
                    StartCase{{L"tg", L"5", L"4294967296"}, 0, {4294967295u}, "exists 5"},
                    StartCase{{L"tg", L"-1", L"-1"}, 0, {4294967295u}, "exists 18446744073709551615"}));

}  // namespace
}  // namespace topguard
