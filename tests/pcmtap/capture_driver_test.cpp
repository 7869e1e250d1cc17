// The console control handler under wine, for what the shipped exe cannot
// show from outside: the events that wine does not deliver, a close, which
// holds the handler's return until the run has ended in order, and an
// inherited "ignore Ctrl+C". The audio device is the stand-in mmdevapi.dll
// beside this program.
#include <gtest/gtest.h>
#include <winternl.h>

#include <sstream>
#include <stdexcept>
#include <thread>

#include "pcmtap/capture_driver.h"

namespace pcmtap {
namespace {

TEST(ConsoleCtrlHandler, StopsOnCtrlCBreakAndShutdownAndPassesOtherEventsOn) {
  for (const DWORD passedOn : {5u, 3u, 4u, 7u, 0xFFFFFFFFu}) EXPECT_FALSE(ConsoleCtrlHandler(passedOn));
  EXPECT_FALSE(g_stopRequested.load());  // only a stop request sets the flag:
  EXPECT_TRUE(ConsoleCtrlHandler(CTRL_BREAK_EVENT) && g_stopRequested.load());
  EXPECT_TRUE(ConsoleCtrlHandler(CTRL_C_EVENT) && ConsoleCtrlHandler(CTRL_SHUTDOWN_EVENT));
}

// The process's own "ignore Ctrl+C" attribute, bit 0 of the console flags in
// its process parameters (offset 0x18 on x64), which children inherit.
bool IgnoresCtrlC() {
  PROCESS_BASIC_INFORMATION process{};
  NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &process, sizeof process, nullptr);
  const auto* parameters = reinterpret_cast<const BYTE*>(process.PebBaseAddress->ProcessParameters);
  return (*reinterpret_cast<const ULONG*>(parameters + 0x18) & 1) != 0;
}

bool g_ignoredAtActivation = true;
int g_teardownCalls = 0;  // CloseHandle and CoUninitialize, through the driver's seam

// The system ends the process once the handler returns from a close, so the
// handler must still be waiting when the run has ended in order. A failure
// ends the run through the same teardown of the event and the apartment.
TEST(RunCapture, EndsInOrderOnACloseAndOnAFailure) {
  std::atomic<bool> returned{false};
  std::thread close([&returned] { returned = ConsoleCtrlHandler(CTRL_CLOSE_EVENT) == TRUE; });
  CapturePlatform platform = SystemCapturePlatform();
  platform.closeHandle = [](HANDLE handle) -> BOOL { ++g_teardownCalls; return CloseHandle(handle); };
  platform.coUninitialize = [] { ++g_teardownCalls; CoUninitialize(); };
  std::ostringstream out;
  RunCapture({4242, LoopbackMode::ExcludeTargetProcessTree, 1024}, platform, out);
  EXPECT_FALSE(returned.load());
  EXPECT_EQ(g_teardownCalls, 2);
  // A capture started while its host ignored Ctrl+C inherits that; it must
  // take Ctrl+C again before the activation.
  SetConsoleCtrlHandler(nullptr, TRUE);
  ASSERT_TRUE(IgnoresCtrlC());
  platform.activateClient = [](const CaptureOptions&) -> ComPtr<IAudioClient> {
    g_ignoredAtActivation = IgnoresCtrlC();
    throw std::runtime_error("none");
  };
  EXPECT_THROW(RunCapture({4242, LoopbackMode::ExcludeTargetProcessTree, 1024}, platform, out), std::runtime_error);
  EXPECT_EQ(g_teardownCalls, 4);
  EXPECT_FALSE(g_ignoredAtActivation);
  close.join();
  EXPECT_TRUE(returned.load());
}

}  // namespace
}  // namespace pcmtap
