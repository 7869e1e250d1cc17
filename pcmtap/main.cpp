// pcmtap: captures the audio the machine plays and writes it as 16 kHz mono
// pcm records on standard output until a console control event stops it.
#include "pcmtap/capture_driver.h"
#include "pcmtap/cli.h"

int main(int argc, char* argv[]) {
  return pcmtap::RunCommandLine(argc, argv, [](const pcmtap::CaptureOptions& options) {
    pcmtap::RunCapture(options);
  });
}
