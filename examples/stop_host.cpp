// stop_host.cpp: example of a host WITHOUT a console of its own (linked with -mwindows) that starts
// pcmtap.exe with pipes, reads its records for a while, then stops it in order with a console Ctrl+C.
// Usage: stop_host.exe <path of pcmtap.exe> <seconds> [report file]
#include <windows.h>
#include <atomic>
#include <cstdlib>
#include <string>

// One pipe, read to its end on a thread of its own so that neither pipe can fill up and block the child.
struct PipeReader {
  HANDLE pipe = nullptr;
  bool keepText = false;               // standard error is kept whole; standard output is only counted
  std::string text;
  std::atomic<long> completeLines{0};  // a line is complete exactly when its CR LF has arrived
  char previous = 0;                   // so that a CR LF split across two reads still counts
  bool endsWithCrLf = false;
};

static DWORD WINAPI ReadToEnd(void* context) {
  auto& reader = *static_cast<PipeReader*>(context);
  char buffer[4096];
  DWORD got = 0;
  // ReadFile fails (ERROR_BROKEN_PIPE) once every write end is closed: the child has gone.
  while (ReadFile(reader.pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    for (DWORD i = 0; i < got; ++i) {
      reader.endsWithCrLf = reader.previous == '\r' && buffer[i] == '\n';
      if (reader.endsWithCrLf) ++reader.completeLines;
      reader.previous = buffer[i];
    }
    if (reader.keepText) reader.text.append(buffer, got);
  }
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  // Take our standard output now: AttachConsole below replaces the standard handles with console ones.
  const HANDLE report = argc > 3 ? CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr)
                                 : GetStdHandle(STD_OUTPUT_HANDLE);

  // Start: the child writes into inheritable pipe ends and reads NUL. CREATE_NO_WINDOW gives a console
  // program a console of its own without a window. No CREATE_NEW_PROCESS_GROUP: it would ignore Ctrl+C.
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  PipeReader out, err;
  err.keepText = true;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = CreateFileW(L"NUL", GENERIC_READ, 0, &inheritable, OPEN_EXISTING, 0, nullptr);
  CreatePipe(&out.pipe, &startup.hStdOutput, &inheritable, 0);
  CreatePipe(&err.pipe, &startup.hStdError, &inheritable, 0);
  for (HANDLE h : {out.pipe, err.pipe}) SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);  // read ends: ours
  std::wstring command = L"\"" + std::wstring(argv[1]) + L"\" start --target-pid " +
                         std::to_wstring(GetCurrentProcessId());
  PROCESS_INFORMATION child{};
  if (!CreateProcessW(argv[1], command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &startup, &child))
    return 3;
  // Close our copies of the child's ends, or the pipes would never report their end.
  for (HANDLE h : {startup.hStdInput, startup.hStdOutput, startup.hStdError, child.hThread}) CloseHandle(h);
  HANDLE readers[] = {CreateThread(nullptr, 0, ReadToEnd, &out, 0, nullptr),
                      CreateThread(nullptr, 0, ReadToEnd, &err, 0, nullptr)};

  Sleep(std::wcstoul(argv[2], nullptr, 10) * 1000);
  // Stop no earlier than the first record (pcmtap sets its control handler before it) or the child's exit:
  // until then the child may have no console to attach to yet, or no handler, and could not stop in order.
  for (int i = 0; i < 100 && out.completeLines == 0; ++i)
    if (WaitForSingleObject(child.hProcess, 100) == WAIT_OBJECT_0) break;
  const long linesBeforeStop = out.completeLines;

  // Stop: join the child's console (allowed, as we have none), then ignore Ctrl+C ourselves (only after
  // AttachConsole, which may reset that setting) and send Ctrl+C to group 0, i.e. to every process on that
  // console: the child and us. The event reaches each process asynchronously, so we stay attached and
  // ignoring it until the child has gone, and only then leave the console.
  std::string how = "the child had already exited";
  if (WaitForSingleObject(child.hProcess, 0) == WAIT_TIMEOUT) {
    how = "Ctrl+C";
    if (!AttachConsole(child.dwProcessId) || !SetConsoleCtrlHandler(nullptr, TRUE) ||
        !GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
      how = "no Ctrl+C (error " + std::to_string(GetLastError()) + ")";
    if (WaitForSingleObject(child.hProcess, 10000) == WAIT_TIMEOUT) {  // bounded: the host never hangs
      how += ", then TerminateProcess: NOT an orderly stop";
      TerminateProcess(child.hProcess, 1);
      WaitForSingleObject(child.hProcess, INFINITE);
    }
    FreeConsole();
    // "Ignore Ctrl+C" outlives the console and is inherited: undo it, or later children would ignore Ctrl+C.
    SetConsoleCtrlHandler(nullptr, FALSE);
  }
  WaitForMultipleObjects(2, readers, TRUE, INFINITE);  // read both pipes to their end
  DWORD status = 0, written = 0;
  GetExitCodeProcess(child.hProcess, &status);

  // Report to the file given, or to our own standard output (a -mwindows program can still have one).
  const std::string text =
      "stopped by: " + how + "\r\ncomplete records: " + std::to_string(out.completeLines) + " (" +
      std::to_string(linesBeforeStop) + " before the stop)\r\nlast line ended in CR LF: " +
      (out.endsWithCrLf ? "yes" : "no") + "\r\nstandard error: [" + err.text + "]\r\nexit status: " +
      std::to_string(status) + "\r\n";
  return WriteFile(report, text.data(), DWORD(text.size()), &written, nullptr) && status == 0 ? 0 : 1;
}
