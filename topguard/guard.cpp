#include "topguard/guard.h"

#include <algorithm>

#include "topguard/arguments.h"

namespace topguard {
namespace {

// The tests run cheapest and most selective first, and each query is made
// only when the earlier tests passed: windows change under us, and a
// minimised or hidden window must not cost compositor or monitor queries.
bool IsFullScreenOver(WindowSystem& system, WindowHandle window, const Rect& targetRect) {
  if (!system.IsVisible(window) || system.IsMinimised(window)) return false;

  // A failed query says nothing about cloaking (the compositor may be
  // missing), so only a successful non-zero answer passes the window over.
  std::uint32_t cloaked = 0;
  if (system.QueryCloaked(window, cloaked) >= 0 && cloaked != 0) return false;

  Rect windowRect{};
  if (!system.GetRect(window, windowRect)) return false;
  if (!system.Intersect(windowRect, targetRect)) return false;

  Rect monitorRect{};
  if (!system.GetMonitorRect(system.NearestMonitor(window), monitorRect)) return false;
  return CoversMonitor(windowRect, monitorRect);
}

}  // namespace

bool CoversMonitor(const Rect& window, const Rect& monitor) {
  // Widened so that the tolerance cannot overflow at the ends of the range.
  const std::int64_t t = kFullScreenTolerance;
  return window.left <= monitor.left + t && window.top <= monitor.top + t &&
         window.right >= monitor.right - t && window.bottom >= monitor.bottom - t;
}

bool Overlaps(const Rect& a, const Rect& b) {
  return std::max(a.left, b.left) < std::min(a.right, b.right) &&
         std::max(a.top, b.top) < std::min(a.bottom, b.bottom);
}

WindowHandle FindFullScreenAbove(WindowSystem& system, WindowHandle target, const Rect& targetRect) {
  // Every window reached counts towards the bound, those passed over too.
  WindowHandle window = system.WindowAbove(target);
  for (int examined = 0; window != 0 && examined < kMaxWindowsExamined; ++examined) {
    if (IsFullScreenOver(system, window, targetRect)) return window;
    window = system.WindowAbove(window);
  }
  return 0;
}

void PollOnce(WindowSystem& system, WindowHandle target) {
  if (!system.IsVisible(target) || system.IsMinimised(target)) return;
  Rect targetRect{};
  if (!system.GetRect(target, targetRect)) return;
  // Nothing is remembered between polls: while the window stays above, the
  // target is raised again each time (an earlier raise may have failed).
  if (FindFullScreenAbove(system, target, targetRect) != 0) system.RaiseToTopmost(target);
}

int GuardWindow(WindowSystem& system, WindowHandle target, ProcessHandle owner) {
  // The wait is the poll timer and notices the owner's end at once; a failed
  // wait ends guarding as well.
  while (system.WaitForProcess(owner, kPollIntervalMs) == kWaitTimeout && system.WindowExists(target)) {
    PollOnce(system, target);
  }
  system.CloseProcess(owner);
  return kGuardEnded;
}

int RunTopGuard(int argc, const wchar_t* const argv[], WindowSystem& system) {
  const std::optional<GuardArguments> arguments = ParseArguments(argc, argv);
  if (!arguments) return kBadArguments;
  const ProcessHandle owner = system.OpenProcessForWait(arguments->ownerProcessId);
  if (owner == 0) return kOwnerNotOpened;
  return GuardWindow(system, arguments->targetWindow, owner);
}

}  // namespace topguard
