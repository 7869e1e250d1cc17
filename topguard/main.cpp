// Windows only: the entry point receives the command line as UTF-16.
#include "topguard/guard.h"
#include "topguard/windows_window_system.h"

int wmain(int argc, wchar_t* argv[]) {
  topguard::WindowsWindowSystem system;
  return topguard::RunTopGuard(argc, argv, system);
}
