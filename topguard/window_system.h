// The operations of the window system, the compositor and the process
// services that the guard needs, behind an interface with neutral types, so
// that the decisions and the loop run against a simulated window system in
// the unit tests as well as against Windows.
#pragma once

#include <cstdint>

namespace topguard {

// Numeric values of HWND, HMONITOR and HANDLE; 0 stands for none.
using WindowHandle = std::uint64_t;
using MonitorHandle = std::uint64_t;
using ProcessHandle = std::uint64_t;

// Screen pixels; right and bottom lie one past the last pixel.
struct Rect {
  std::int32_t left;
  std::int32_t top;
  std::int32_t right;
  std::int32_t bottom;
};

// Result of WaitForProcess while the process is still running.
constexpr std::uint32_t kWaitTimeout = 258;

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;

  // Opens the process for waiting only (not inheritable); 0 on failure.
  virtual ProcessHandle OpenProcessForWait(std::uint32_t processId) = 0;
  // The platform's wait result: kWaitTimeout while the process runs.
  virtual std::uint32_t WaitForProcess(ProcessHandle process, std::uint32_t milliseconds) = 0;
  virtual void CloseProcess(ProcessHandle process) = 0;

  virtual bool WindowExists(WindowHandle window) = 0;
  virtual bool IsVisible(WindowHandle window) = 0;
  virtual bool IsMinimised(WindowHandle window) = 0;
  // Whole window, frame included, in screen coordinates; false on failure.
  virtual bool GetRect(WindowHandle window, Rect& rect) = 0;
  // The window just above in the Z-order; 0 at the top.
  virtual WindowHandle WindowAbove(WindowHandle window) = 0;
  // The compositor's cloaking attribute: returns the HRESULT of the query
  // (negative on failure) and stores the attribute's value in `cloaked`.
  virtual std::int32_t QueryCloaked(WindowHandle window, std::uint32_t& cloaked) = 0;
  virtual bool Intersect(const Rect& window, const Rect& target) = 0;
  // The monitor nearest to the window (largest common area, else closest).
  virtual MonitorHandle NearestMonitor(WindowHandle window) = 0;
  // The monitor's full area, not its work area; false on failure.
  virtual bool GetMonitorRect(MonitorHandle monitor, Rect& rect) = 0;
  // Makes the window topmost without moving, sizing or activating it.
  virtual void RaiseToTopmost(WindowHandle window) = 0;
};

}  // namespace topguard
