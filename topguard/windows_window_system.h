// The window system of Windows: each operation is one call of the platform.
#pragma once

#include "topguard/window_system.h"

namespace topguard {

class WindowsWindowSystem final : public WindowSystem {
 public:
  ProcessHandle OpenProcessForWait(std::uint32_t processId) override;
  std::uint32_t WaitForProcess(ProcessHandle process, std::uint32_t milliseconds) override;
  void CloseProcess(ProcessHandle process) override;
  bool WindowExists(WindowHandle window) override;
  bool IsVisible(WindowHandle window) override;
  bool IsMinimised(WindowHandle window) override;
  bool GetRect(WindowHandle window, Rect& rect) override;
  WindowHandle WindowAbove(WindowHandle window) override;
  std::int32_t QueryCloaked(WindowHandle window, std::uint32_t& cloaked) override;
  bool Intersect(const Rect& window, const Rect& target) override;
  MonitorHandle NearestMonitor(WindowHandle window) override;
  bool GetMonitorRect(MonitorHandle monitor, Rect& rect) override;
  void RaiseToTopmost(WindowHandle window) override;
};

}  // namespace topguard
