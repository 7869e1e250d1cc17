// pcmtap: captures the audio the machine plays and writes it as 16 kHz mono
// pcm records on standard output until a console control event stops it.
#include <exception>
#include <iostream>

#include "pcmtap/capture_driver.h"
#include "pcmtap/cli.h"
#include "pcmtap/platform.h"

int main(int argc, char* argv[]) {
  pcmtap::PrepareStandardStreams();
  try {
    pcmtap::RunCapture(pcmtap::ParseArguments(argc, argv));
    return 0;
  } catch (const std::exception& failure) {
    // std::cerr is tied to std::cout: any record still buffered goes first.
    std::cerr << failure.what() << "\r\n" << std::flush;
    return 1;
  }
}
