// Windows only: the real windows for the integration test of topguard.exe.
// Makes a target window and a borderless popup that fills the primary
// monitor above it, prints "ready <target> <pid>", then obeys one command per
// line on standard input and answers each with one line on standard output.
// The main thread keeps pumping messages while it waits, because a
// SetWindowPos from another process is delivered to the thread that owns the
// window and waits for it.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

namespace {

constexpr UINT kCommandMessage = WM_APP + 1;
constexpr UINT kQuietFlags = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE;
constexpr int kTargetX = 200;
constexpr int kTargetY = 200;

HWND g_target = nullptr;
HWND g_popup = nullptr;
RECT g_monitor{};

void Answer(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::printf("\n");
  std::fflush(stdout);
}

bool IsTopmost(HWND window) { return (GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0; }

bool IsAbove(HWND upper, HWND lower) {
  for (HWND w = GetWindow(upper, GW_HWNDNEXT); w != nullptr; w = GetWindow(w, GW_HWNDNEXT)) {
    if (w == lower) return true;
  }
  return false;
}

// Puts the target back below the popup, as a plain window, so that the guard
// has something to do again.
void PutPopupAboveTarget() {
  SetWindowPos(g_target, HWND_NOTOPMOST, 0, 0, 0, 0, kQuietFlags);
  SetWindowPos(g_popup, HWND_TOP, 0, 0, 0, 0, kQuietFlags);
}

HWND MakeWindow(const wchar_t* title, DWORD style, const RECT& r) {
  return CreateWindowExW(0, L"TopguardTestWindow", title, style, r.left, r.top, r.right - r.left,
                         r.bottom - r.top, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
}

// Returns false to end the program.
bool Obey(const std::string& command) {
  if (command == "state") {
    RECT t{};
    GetWindowRect(g_target, &t);
    Answer("state topmost=%d above=%d popupIconic=%d target=%ld,%ld,%ld,%ld", IsTopmost(g_target) ? 1 : 0,
           IsAbove(g_target, g_popup) ? 1 : 0, IsIconic(g_popup) ? 1 : 0, t.left, t.top, t.right, t.bottom);
  } else if (command == "minimise") {
    ShowWindow(g_popup, SW_SHOWMINNOACTIVE);
    PutPopupAboveTarget();
    Answer("ok");
  } else if (command == "restore") {
    ShowWindow(g_popup, SW_SHOWNOACTIVATE);
    SetWindowPos(g_popup, HWND_TOP, 0, 0, 0, 0, kQuietFlags);
    Answer("ok");
  } else if (command == "away") {
    // Off the monitor first, so that the guard never sees it overlapped.
    SetWindowPos(g_target, nullptr, g_monitor.right + 200, kTargetY, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    PutPopupAboveTarget();
    Answer("ok");
  } else if (command == "back") {
    SetWindowPos(g_target, nullptr, kTargetX, kTargetY, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    Answer("ok");
  } else if (command == "destroy") {
    DestroyWindow(g_target);
    Answer("ok");
  } else if (command == "exit") {
    return false;
  } else {
    Answer("unknown %s", command.c_str());
  }
  return true;
}

}  // namespace

int main() {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"TopguardTestWindow";
  windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  RegisterClassW(&windowClass);

  MONITORINFO info{};
  info.cbSize = sizeof info;
  GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &info);
  g_monitor = info.rcMonitor;

  // Created later, the popup starts above the target.
  g_target = MakeWindow(L"target", WS_OVERLAPPEDWINDOW | WS_VISIBLE, RECT{kTargetX, kTargetY, kTargetX + 400, kTargetY + 300});
  g_popup = MakeWindow(L"popup", WS_POPUP | WS_VISIBLE, g_monitor);
  if (g_target == nullptr || g_popup == nullptr) return 1;
  Answer("ready %llu %lu", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(g_target)),
         GetCurrentProcessId());

  const DWORD mainThread = GetCurrentThreadId();
  std::thread reader([mainThread] {
    std::string line;
    while (std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      PostThreadMessageW(mainThread, kCommandMessage, 0, reinterpret_cast<LPARAM>(new std::string(line)));
      if (line == "exit") return;
    }
    PostThreadMessageW(mainThread, kCommandMessage, 0, reinterpret_cast<LPARAM>(new std::string("exit")));
  });
  reader.detach();

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.hwnd == nullptr && message.message == kCommandMessage) {
      std::string* command = reinterpret_cast<std::string*>(message.lParam);
      const bool goOn = Obey(*command);
      delete command;
      if (!goOn) break;
      continue;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  // Leave without waiting for the reader, which may still block on input.
  ExitProcess(0);
}
