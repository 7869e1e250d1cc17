// Windows only, under wine on a private X server: the shipped topguard.exe
// (argv[1]) raises this program's window over a full-screen popup, leaves it
// alone while the popup is minimised, and ends with status 0 when the window
// is destroyed. Deadlines are many 200 ms polls long: wine can be slow.
#include <process.h>
#include <windows.h>

#include <cstdio>
#include <string>

// Handles messages while waiting: topguard's SetWindowPos is carried out by
// the thread that owns the window, this one.
template <typename Condition>
static bool PumpUntil(DWORD milliseconds, Condition done) {
  for (const DWORD start = GetTickCount(); GetTickCount() - start < milliseconds; Sleep(10)) {
    for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);) DispatchMessageW(&message);
    if (done()) return true;
  }
  return false;
}

static void Check(bool ok, const char* what) {
  if (ok) return;
  std::printf("FAIL: %s\n", what);
  ExitProcess(1);
}

int main(int, char* argv[]) {
  // Created second, the popup starts above the target.
  HWND target = CreateWindowExW(0, L"STATIC", L"target", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 200, 200, 400, 300,
                                nullptr, nullptr, nullptr, nullptr);
  HWND popup = CreateWindowExW(0, L"STATIC", L"popup", WS_POPUP | WS_VISIBLE, 0, 0, GetSystemMetrics(SM_CXSCREEN),
                               GetSystemMetrics(SM_CYSCREEN), nullptr, nullptr, nullptr, nullptr);
  const std::string window = std::to_string(reinterpret_cast<UINT_PTR>(target));
  const std::string process = std::to_string(GetCurrentProcessId());
  // argv[0] without the path, which may hold blanks that the spawn would split at.
  const auto guard =
      reinterpret_cast<HANDLE>(_spawnl(_P_NOWAIT, argv[1], "topguard", window.c_str(), process.c_str(), nullptr));
  Check(guard != INVALID_HANDLE_VALUE, "topguard did not start");
  auto topmost = [&] { return (GetWindowLongPtrW(target, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0; };
  Check(PumpUntil(60000, topmost), "target not raised over the popup");

  ShowWindow(popup, SW_SHOWMINNOACTIVE);
  SetWindowPos(target, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  SetWindowPos(popup, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  Check(GetWindow(popup, GW_HWNDNEXT) == target, "minimised popup not just above the target");
  Check(!PumpUntil(2000, topmost), "target raised over a minimised popup");

  // Nothing is raised any more, so topguard needs no messages handled.
  DestroyWindow(target);
  DWORD status = 1;
  Check(WaitForSingleObject(guard, 60000) == WAIT_OBJECT_0 && GetExitCodeProcess(guard, &status) && status == 0,
        "topguard did not end with status 0 when the target was destroyed");
}
