// Keeps a target window above any visible full-screen window that lies over
// it in the Z-order, for as long as the owner process runs.
#pragma once

#include <cstdint>

#include "topguard/window_system.h"

namespace topguard {

constexpr std::uint32_t kPollIntervalMs = 200;
constexpr int kMaxWindowsExamined = 512;
constexpr std::int32_t kFullScreenTolerance = 12;

// Exit statuses.
constexpr int kGuardEnded = 0;
constexpr int kOwnerNotOpened = 1;
constexpr int kBadArguments = 2;

// The window fills the monitor, falling short of each edge by at most the
// tolerance; reaching beyond the monitor is fine.
bool CoversMonitor(const Rect& window, const Rect& monitor);

// The rectangles share at least one pixel; touching edges do not count.
bool Overlaps(const Rect& a, const Rect& b);

// The first of at most kMaxWindowsExamined windows above the target that is
// shown, overlaps the target and covers its own monitor; 0 when there is none.
WindowHandle FindFullScreenAbove(WindowSystem& system, WindowHandle target, const Rect& targetRect);

// One poll: raises the target when it is shown and a full-screen window lies
// above it.
void PollOnce(WindowSystem& system, WindowHandle target);

// Polls until the owner process ends, the wait fails or the target is gone;
// closes the process handle and returns kGuardEnded.
int GuardWindow(WindowSystem& system, WindowHandle target, ProcessHandle owner);

// The whole program: arguments, opening the owner, guarding. Returns the
// exit status.
int RunTopGuard(int argc, const wchar_t* const argv[], WindowSystem& system);

}  // namespace topguard
