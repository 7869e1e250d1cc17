// pcmtap: captures the audio the machine plays and writes it as 16 kHz mono
// pcm records on standard output until a console control event stops it;
// "stop" sends that event to a running capture for a host that cannot.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "pcmtap/capture_driver.h"
#include "pcmtap/cli.h"
#include "pcmtap/stop_command.h"

int main(int argc, char* argv[]) {
  // The writers put "\r\n" themselves; a text-mode stream would double the CR.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  return pcmtap::RunCommandLine(
      argc, argv, [](const pcmtap::CaptureOptions& options) { pcmtap::RunCapture(options); },
      &pcmtap::StopCapture);
}
