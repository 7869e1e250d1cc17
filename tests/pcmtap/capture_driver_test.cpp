// The driver under wine through its seam, for what the shipped exe cannot
// show from outside: the events that wine does not deliver, a close, which
// holds the handler's return until the run has ended in order, the teardown
// on every way out, and an inherited "ignore Ctrl+C". The audio device is the
// stand-in mmdevapi.dll beside this program.
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "pcmtap/capture_driver.h"
#include "tests/pcmtap/console_flags.h"

namespace pcmtap {
namespace {

// The seam's calls, a letter each: i CoInitializeEx, e CreateEventW, c CloseHandle, u CoUninitialize.
std::string g_calls;
bool g_eventFails = false;

TEST(Driver, StopsOnCtrlCBreakAndShutdownAndPassesOtherEventsOn) {
  g_stopRequested = false;  // never reset by the program; each test starts afresh
  for (const DWORD passedOn : {5u, 3u, 4u, 7u, 0xFFFFFFFFu}) EXPECT_FALSE(ConsoleCtrlHandler(passedOn));
  EXPECT_FALSE(g_stopRequested.load());  // only a stop request sets the flag:
  EXPECT_TRUE(ConsoleCtrlHandler(CTRL_BREAK_EVENT) && g_stopRequested.load());
  EXPECT_TRUE(ConsoleCtrlHandler(CTRL_C_EVENT) && ConsoleCtrlHandler(CTRL_SHUTDOWN_EVENT));
}

// Every way out undoes what was done, in order, and no more (a failure inside
// the run takes the same way, and the end-to-end failures show it). The
// system ends the process once the handler returns from a close, so the
// handler must still be waiting when the run has ended in order. A capture
// that inherits "ignore Ctrl+C" from its host takes Ctrl+C again.
TEST(Driver, EveryWayOutUndoesWhatWasDoneAndNoMore) {
  CapturePlatform platform = SystemCapturePlatform();
  platform.coInitializeEx = [](LPVOID reserved, DWORD model) { g_calls += 'i'; return CoInitializeEx(reserved, model); };
  platform.createEventW = [](LPSECURITY_ATTRIBUTES a, BOOL m, BOOL s, LPCWSTR n) {
    g_calls += 'e';
    return g_eventFails ? nullptr : CreateEventW(a, m, s, n);
  };
  platform.closeHandle = [](HANDLE handle) { g_calls += 'c'; return CloseHandle(handle); };
  platform.coUninitialize = [] { g_calls += 'u'; CoUninitialize(); };
  for (const bool eventFails : {false, true}) {
    g_stopRequested = false;
    g_calls.clear();
    g_eventFails = eventFails;
    SetConsoleCtrlHandler(nullptr, TRUE);
    std::atomic<bool> returned{false};
    std::thread close([&returned, eventFails] { returned = !eventFails && ConsoleCtrlHandler(CTRL_CLOSE_EVENT); });
    std::ostringstream out;
    std::string message;
    try {
      RunCapture({4242, LoopbackMode::ExcludeTargetProcessTree, 1024}, platform, out);
    } catch (const std::runtime_error& failure) {
      message = failure.what();
    }
    EXPECT_FALSE(returned.load());
    close.join();
    EXPECT_EQ(returned.load(), !eventFails);
    // A failed CreateEventW leaves the apartment entered, and the run ends before its ready record.
    EXPECT_EQ(g_calls + " " + message, eventFails ? "ie CreateEventW failed" : "iecu ");
    EXPECT_FALSE(IgnoresCtrlC());
  }
  CoUninitialize();  // the apartment that the failed CreateEventW left entered
}

}  // namespace
}  // namespace pcmtap
