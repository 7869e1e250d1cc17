// The life of one capture: start-up, the event loop that turns captured
// packets into pcm records, and the teardown on a stop request or a failure.
#pragma once

#include <atomic>
#include <ostream>

#include "pcmtap/cli.h"
#include "pcmtap/platform.h"

namespace pcmtap {

// Set once by ConsoleCtrlHandler, never reset; read at the top of each pass
// of the main loop.
extern std::atomic<bool> g_stopRequested;

// Ctrl+C, Ctrl+Break, console close and shutdown request a stop and are
// handled here; every other event is passed on. A close returns only after
// a grace period, by which time main has normally ended the process.
BOOL WINAPI ConsoleCtrlHandler(DWORD ctrlType);

// The platform entry points around the capture that tests replace to see
// the order of start-up and teardown.
struct CapturePlatform {
  HRESULT(WINAPI* coInitializeEx)(LPVOID, DWORD);
  void(WINAPI* coUninitialize)();
  HANDLE(WINAPI* createEventW)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR);
  BOOL(WINAPI* closeHandle)(HANDLE);
};

CapturePlatform SystemCapturePlatform();

// Returns only after an orderly stop; every failure leaves as an exception,
// after the clients are released, the event closed and the apartment left.
void RunCapture(CaptureOptions options);
void RunCapture(const CaptureOptions& options, const CapturePlatform& platform, std::ostream& out);

}  // namespace pcmtap
