// Windows only: the guard's operations mapped one to one onto the platform.
#include "topguard/windows_window_system.h"

#include <windows.h>
#include <dwmapi.h>

#include <cstdint>

namespace topguard {
namespace {

static_assert(sizeof(MONITORINFO) == 40, "MONITORINFO must be the 40-byte record");
static_assert((SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_NOOWNERZORDER) == 0x0213,
              "raise flags");
static_assert(WAIT_TIMEOUT == kWaitTimeout, "wait time-out");

HWND ToHwnd(WindowHandle window) { return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window)); }
HANDLE ToHandle(ProcessHandle process) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(process)); }

template <typename T>
std::uint64_t ToValue(T handle) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
}

RECT ToRECT(const Rect& r) { return RECT{r.left, r.top, r.right, r.bottom}; }
Rect FromRECT(const RECT& r) { return Rect{r.left, r.top, r.right, r.bottom}; }

}  // namespace

ProcessHandle WindowsWindowSystem::OpenProcessForWait(std::uint32_t processId) {
  return ToValue(OpenProcess(SYNCHRONIZE, FALSE, processId));
}

std::uint32_t WindowsWindowSystem::WaitForProcess(ProcessHandle process, std::uint32_t milliseconds) {
  return WaitForSingleObject(ToHandle(process), milliseconds);
}

void WindowsWindowSystem::CloseProcess(ProcessHandle process) { CloseHandle(ToHandle(process)); }

bool WindowsWindowSystem::WindowExists(WindowHandle window) { return IsWindow(ToHwnd(window)) != FALSE; }

bool WindowsWindowSystem::IsVisible(WindowHandle window) { return IsWindowVisible(ToHwnd(window)) != FALSE; }

bool WindowsWindowSystem::IsMinimised(WindowHandle window) { return IsIconic(ToHwnd(window)) != FALSE; }

bool WindowsWindowSystem::GetRect(WindowHandle window, Rect& rect) {
  RECT r{};
  if (!GetWindowRect(ToHwnd(window), &r)) return false;
  rect = FromRECT(r);
  return true;
}

WindowHandle WindowsWindowSystem::WindowAbove(WindowHandle window) {
  return ToValue(GetWindow(ToHwnd(window), GW_HWNDPREV));
}

std::int32_t WindowsWindowSystem::QueryCloaked(WindowHandle window, std::uint32_t& cloaked) {
  DWORD value = cloaked;
  const HRESULT status = DwmGetWindowAttribute(ToHwnd(window), DWMWA_CLOAKED, &value, sizeof value);
  cloaked = value;
  return status;
}

bool WindowsWindowSystem::Intersect(const Rect& window, const Rect& target) {
  RECT common{};
  const RECT a = ToRECT(window);
  const RECT b = ToRECT(target);
  return IntersectRect(&common, &a, &b) != FALSE;
}

MonitorHandle WindowsWindowSystem::NearestMonitor(WindowHandle window) {
  return ToValue(MonitorFromWindow(ToHwnd(window), MONITOR_DEFAULTTONEAREST));
}

bool WindowsWindowSystem::GetMonitorRect(MonitorHandle monitor, Rect& rect) {
  MONITORINFO info{};
  info.cbSize = sizeof info;
  if (!GetMonitorInfoW(reinterpret_cast<HMONITOR>(static_cast<std::uintptr_t>(monitor)), &info)) return false;
  rect = FromRECT(info.rcMonitor);
  return true;
}

void WindowsWindowSystem::RaiseToTopmost(WindowHandle window) {
  SetWindowPos(ToHwnd(window), HWND_TOPMOST, 0, 0, 0, 0,
               SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_NOOWNERZORDER);
}

}  // namespace topguard
