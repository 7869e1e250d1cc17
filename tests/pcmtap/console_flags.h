// The process's own "ignore Ctrl+C" attribute, which children inherit: bit 0
// of the console flags in its process parameters (offset 0x18 on x64).
#pragma once

#include <windows.h>
#include <winternl.h>

inline bool IgnoresCtrlC() {
  PROCESS_BASIC_INFORMATION process{};
  NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &process, sizeof process, nullptr);
  const auto* parameters = reinterpret_cast<const BYTE*>(process.PebBaseAddress->ProcessParameters);
  return (*reinterpret_cast<const ULONG*>(parameters + 0x18) & 1) != 0;
}
