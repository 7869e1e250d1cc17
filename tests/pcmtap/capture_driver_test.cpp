// The driver and the activation under wine, for what the shipped exe cannot
// show from outside: console events that wine does not deliver, failures of
// kernel and COM calls, and a handler without a marshaler. The audio device
// is the stand-in mmdevapi.dll beside this program.
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <thread>

#include "pcmtap/capture_driver.h"
#include "pcmtap/interface_ids.h"
#include "pcmtap/loopback_activation.h"

namespace pcmtap {
namespace {

const CaptureOptions kOptions{4242, LoopbackMode::ExcludeTargetProcessTree, 1024};
int g_teardownCalls = 0;  // CloseHandle and CoUninitialize, through the seam

// The system's platform, but counting the teardown and with `change` applied.
template <class Change>
std::string RunWith(Change change) {
  CapturePlatform platform = SystemCapturePlatform();
  platform.closeHandle = [](HANDLE handle) -> BOOL { ++g_teardownCalls; return CloseHandle(handle); };
  platform.coUninitialize = [] { ++g_teardownCalls; CoUninitialize(); };
  change(platform);
  std::ostringstream out;
  try {
    RunCapture(kOptions, platform, out);
  } catch (const std::runtime_error& failure) {
    return failure.what();
  }
  return out.str();
}

TEST(ConsoleCtrlHandler, StopsOnCtrlCBreakAndShutdownAndPassesOtherEventsOn) {
  for (const DWORD passedOn : {5u, 3u, 4u, 7u, 0xFFFFFFFFu}) EXPECT_FALSE(ConsoleCtrlHandler(passedOn));
  EXPECT_FALSE(g_stopRequested.load());
  EXPECT_TRUE(ConsoleCtrlHandler(CTRL_BREAK_EVENT));
  EXPECT_TRUE(g_stopRequested.load());
  EXPECT_TRUE(ConsoleCtrlHandler(CTRL_C_EVENT) && ConsoleCtrlHandler(CTRL_SHUTDOWN_EVENT));
}

// The system ends the process once the handler returns from a close, so the
// handler must still be waiting when the run has ended in order.
TEST(ConsoleCtrlHandler, ACloseReturnsOnlyAfterTheRunHasEndedInOrder) {
  std::atomic<bool> returned{false};
  std::thread close([&returned] { returned = ConsoleCtrlHandler(CTRL_CLOSE_EVENT) == TRUE; });
  EXPECT_NE(RunWith([](CapturePlatform&) {}).find("\"type\":\"ready\""), std::string::npos);
  EXPECT_FALSE(returned.load());
  EXPECT_EQ(g_teardownCalls, 2);
  close.join();
  EXPECT_TRUE(returned.load());
}

TEST(RunCapture, KernelAndComFailures) {
  // Before the event exists nothing is undone, the apartment not left either.
  EXPECT_EQ(RunWith([](CapturePlatform& p) { p.coInitializeEx = [](LPVOID, DWORD) { return RPC_E_CHANGED_MODE; }; }),
            "CoInitializeEx failed: 0x80010106");
  EXPECT_EQ(RunWith([](CapturePlatform& p) {
              p.createEventW = [](LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) -> HANDLE { return nullptr; };
            }),
            "CreateEventW failed");
  EXPECT_EQ(g_teardownCalls, 0);
  EXPECT_EQ(RunWith([](CapturePlatform& p) { p.waitForSingleObject = [](HANDLE, DWORD) -> DWORD { return WAIT_FAILED; }; }),
            "WaitForSingleObject failed");
  EXPECT_EQ(g_teardownCalls, 2);
}

TEST(ActivateProcessLoopbackClient, WithoutMarshalerOrEvent) {
  ActivationPlatform platform = SystemActivationPlatform();
  platform.coCreateFreeThreadedMarshaler = [](LPUNKNOWN, LPUNKNOWN*) { return E_OUTOFMEMORY; };
  const ComPtr<AudioClientActivationHandler> handler = AudioClientActivationHandler::Create(platform);
  // Marshaling through the stand-in covers the other three.
  void* object = nullptr;
  EXPECT_EQ(handler->UnmarshalInterface(nullptr, kIidUnknown, &object), E_OUTOFMEMORY);
  EXPECT_EQ(handler->ReleaseMarshalData(nullptr), E_OUTOFMEMORY);
  EXPECT_EQ(handler->DisconnectObject(0), E_OUTOFMEMORY);
  // Without its event the outcome could never be read: fail before the platform call.
  platform.createEventW = [](LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) -> HANDLE { return nullptr; };
  platform.activateAudioInterfaceAsync = [](LPCWSTR, REFIID, PROPVARIANT*, IActivateAudioInterfaceCompletionHandler*,
                                            IActivateAudioInterfaceAsyncOperation**) { return E_UNEXPECTED; };
  try {
    ActivateProcessLoopbackClient(kOptions, platform);
    ADD_FAILURE() << "no failure";
  } catch (const std::runtime_error& failure) {
    EXPECT_STREQ(failure.what(), "CreateEventW failed");
  }
}

}  // namespace
}  // namespace pcmtap
