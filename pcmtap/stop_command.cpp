#include "pcmtap/stop_command.h"

#include <stdexcept>
#include <string>

#include "pcmtap/on_exit.h"
#include "pcmtap/platform.h"

namespace pcmtap {
namespace {

// A capture notices a stop within one 200 ms wait slice and then only
// releases what it holds; this leaves ample room for a loaded machine while
// a host never waits for ever.
constexpr DWORD kExitBoundMilliseconds = 10000;

[[noreturn]] void ThrowLastError(const char* call) {
  ThrowIfFailed(HRESULT_FROM_WIN32(GetLastError()), call);
  throw std::runtime_error(std::string(call) + " failed");  // a call that failed without saying why
}

// Ctrl+C reaches every process attached to a console, and only those: this
// process leaves its own console (a process has at most one), joins the
// capture's, ignores the event itself and leaves again. The "ignore Ctrl+C"
// attribute stays set, which is harmless here: this process starts nothing.
void SendCtrlC(DWORD processId) {
  FreeConsole();
  if (!AttachConsole(processId)) ThrowLastError("AttachConsole");
  SetConsoleCtrlHandler(nullptr, TRUE);
  const BOOL sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  const DWORD error = GetLastError();
  FreeConsole();
  if (!sent) ThrowIfFailed(HRESULT_FROM_WIN32(error), "GenerateConsoleCtrlEvent");
}

}  // namespace

void StopCapture(const StopOptions& options) {
  // Opened first: the handle keeps the id from passing to another process,
  // and a capture that has already ended is reported by its status alone.
  const HANDLE capture =
      OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, options.processId);
  if (capture == nullptr) ThrowLastError("OpenProcess");
  const OnExit closeCapture([capture] { CloseHandle(capture); });
  if (WaitForSingleObject(capture, 0) == WAIT_TIMEOUT) SendCtrlC(options.processId);

  const DWORD wait = WaitForSingleObject(capture, kExitBoundMilliseconds);
  if (wait == WAIT_TIMEOUT) throw std::runtime_error("The capture did not exit within 10 s");
  if (wait != WAIT_OBJECT_0) throw std::runtime_error("WaitForSingleObject failed");
  DWORD status = 0;
  if (!GetExitCodeProcess(capture, &status)) ThrowLastError("GetExitCodeProcess");
  if (status != 0) throw std::runtime_error("The capture exited with status " + std::to_string(status));
}

}  // namespace pcmtap
