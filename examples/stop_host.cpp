// stop_host.cpp: example of a host WITHOUT a console of its own (linked with -mwindows) that starts
// pcmtap.exe with pipes, reads its records for a while, then stops it in order with "pcmtap.exe stop".
// Usage: stop_host.exe <path of pcmtap.exe> <seconds> [file for the records [more options of start]]
// It reports on its standard output as it goes; the exit status is 0 when both processes ended with 0.
#include <windows.h>
#include <atomic>
#include <cstdlib>
#include <string>

// One pipe, read to its end on a thread of its own so that neither pipe can fill up and block the child.
struct PipeReader {
  HANDLE pipe = nullptr;
  HANDLE copy = INVALID_HANDLE_VALUE;  // a file that gets everything read, if one is given
  bool keepText = false;               // standard error is kept whole
  std::string text;
  std::atomic<long> completeLines{0};  // a line is complete exactly when its CR LF has arrived
  char previous = 0;                   // so that a CR LF split across two reads still counts
  bool endsWithCrLf = false;
};

static DWORD WINAPI ReadToEnd(void* context) {
  auto& reader = *static_cast<PipeReader*>(context);
  char buffer[4096];
  DWORD got = 0, written = 0;
  // ReadFile fails (ERROR_BROKEN_PIPE) once every write end is closed: the child has gone.
  while (ReadFile(reader.pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    for (DWORD i = 0; i < got; ++i) {
      reader.endsWithCrLf = reader.previous == '\r' && buffer[i] == '\n';
      if (reader.endsWithCrLf) ++reader.completeLines;
      reader.previous = buffer[i];
    }
    if (reader.copy != INVALID_HANDLE_VALUE) WriteFile(reader.copy, buffer, got, &written, nullptr);
    if (reader.keepText) reader.text.append(buffer, got);
  }
  return 0;
}

// A running console child: standard output and error into pipes read by threads of ours, standard
// input NUL. CREATE_NO_WINDOW gives it a console of its own without a window; the stop command needs
// that console. Not DETACHED_PROCESS (no console) nor CREATE_NEW_PROCESS_GROUP (it would ignore Ctrl+C).
struct Child {
  PROCESS_INFORMATION process{};
  PipeReader out, err;
  HANDLE readers[2] = {};

  bool Start(const wchar_t* exe, std::wstring arguments) {
    err.keepText = true;
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = CreateFileW(L"NUL", GENERIC_READ, 0, &inheritable, OPEN_EXISTING, 0, nullptr);
    CreatePipe(&out.pipe, &startup.hStdOutput, &inheritable, 0);
    CreatePipe(&err.pipe, &startup.hStdError, &inheritable, 0);
    for (HANDLE h : {out.pipe, err.pipe}) SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);  // read ends: ours
    std::wstring command = L"\"" + std::wstring(exe) + L"\" " + arguments;
    const bool started = CreateProcessW(exe, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                        nullptr, &startup, &process);
    // Close our copies of the child's ends, or the pipes would never report their end.
    for (HANDLE h : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) CloseHandle(h);
    if (!started) return false;
    CloseHandle(process.hThread);
    readers[0] = CreateThread(nullptr, 0, ReadToEnd, &out, 0, nullptr);
    readers[1] = CreateThread(nullptr, 0, ReadToEnd, &err, 0, nullptr);
    return true;
  }
  // Waits for the exit (bounded, so that the host never hangs; then it must terminate the child) and for
  // both pipes to be read to their end. Returns the exit status.
  DWORD Finish(DWORD milliseconds) {
    if (WaitForSingleObject(process.hProcess, milliseconds) == WAIT_TIMEOUT) TerminateProcess(process.hProcess, 1);
    WaitForMultipleObjects(2, readers, TRUE, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    return status;
  }
};

static void Say(const std::string& line) {
  DWORD written = 0;
  const std::string text = line + "\r\n";
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), DWORD(text.size()), &written, nullptr);
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  Child capture;
  if (argc > 3) capture.out.copy = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  std::wstring options = L"start --target-pid " + std::to_wstring(GetCurrentProcessId());
  for (int i = 4; i < argc; ++i) options += std::wstring(L" ") + argv[i];
  if (!capture.Start(argv[1], options)) return 3;
  Say("host " + std::to_string(GetCurrentProcessId()) + " started pcmtap.exe, process id " +
      std::to_string(capture.process.dwProcessId));

  // Stop no earlier than the ready record (pcmtap has set up its Ctrl+C handling by then) or the exit.
  Sleep(std::wcstoul(argv[2], nullptr, 10) * 1000);
  for (int i = 0; i < 100 && capture.out.completeLines == 0; ++i)
    if (WaitForSingleObject(capture.process.hProcess, 100) == WAIT_OBJECT_0) break;
  const long beforeStop = capture.out.completeLines;

  // The stop: one more process, which sends Ctrl+C to the capture's console and waits (at most 10 s)
  // for the capture to exit. Its status is 0 exactly when the capture ended in order.
  Child stop;
  if (!stop.Start(argv[1], L"stop --pid " + std::to_wstring(capture.process.dwProcessId))) return 3;
  const DWORD stopStatus = stop.Finish(20000);
  Say("stop: exit status " + std::to_string(stopStatus) + ", standard error [" + stop.err.text + "]");

  const DWORD captureStatus = capture.Finish(10000);
  Say("capture: exit status " + std::to_string(captureStatus) + ", complete records " +
      std::to_string(capture.out.completeLines) + " (" + std::to_string(beforeStop) +
      " before the stop), last line ended in CR LF: " + (capture.out.endsWithCrLf ? "yes" : "no") +
      ", standard error [" + capture.err.text + "]");
  return stopStatus == 0 && captureStatus == 0 ? 0 : 1;
}
