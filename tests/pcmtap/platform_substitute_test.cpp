// The native build's stand-in for console control events: SIGINT, SIGTERM
// and SIGHUP reach the registered handler as Ctrl+C, Ctrl+Break and console
// close; a signal that the handler passes on ends the process, as an
// unhandled event does on Windows. A program of its own, since the handler
// stays installed for the rest of the process.
#include <gtest/gtest.h>

#include <csignal>
#include <vector>

#include "pcmtap/platform.h"

namespace pcmtap {
namespace {

std::vector<DWORD> g_events;

BOOL WINAPI Record(DWORD ctrlType) {
  g_events.push_back(ctrlType);
  return TRUE;
}

BOOL WINAPI PassOn(DWORD) { return FALSE; }

TEST(ConsoleControlSubstitute, SignalsArriveAsControlEvents) {
  ASSERT_TRUE(SetConsoleCtrlHandler(&Record, TRUE));
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) std::raise(signalNumber);
  EXPECT_EQ(g_events, (std::vector<DWORD>{CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT}));
}

TEST(ConsoleControlSubstituteDeathTest, AnEventPassedOnEndsTheProcess) {
  EXPECT_EXIT(
      {
        SetConsoleCtrlHandler(&PassOn, TRUE);
        std::raise(SIGTERM);
      },
      ::testing::KilledBySignal(SIGTERM), "");
}

}  // namespace
}  // namespace pcmtap
