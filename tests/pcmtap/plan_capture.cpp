// pcmtap's command line, converter and record writer, fed a plan of captured
// packets on standard input in place of the audio device: the portable core
// end to end, for records_test.py. A packet is its frame count and flags
// (32-bit little-endian each), then its interleaved samples; flag 0x40000000
// hands the converter a null pointer. Frame count 0xFFFFFFFF stands for a
// device call that returned the status in the flags word, 0xFFFFFFFE for
// memory running out (flags 1: an array too large to allocate). "stop" only
// names, as its error line, the process it would stop.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "pcmtap/cli.h"
#include "pcmtap/conversion.h"
#include "pcmtap/protocol.h"

int main(int argc, char* argv[]) {
#ifdef _WIN32
  for (FILE* stream : {stdin, stdout, stderr}) _setmode(_fileno(stream), _O_BINARY);
#else
  std::signal(SIGPIPE, SIG_IGN);  // a reader that went away fails the write, as on Windows
#endif
  const auto stop = [](const pcmtap::StopOptions& options) {
    throw std::runtime_error("would stop " + std::to_string(options.processId));
  };
  return pcmtap::RunCommandLine(argc, argv, [](const pcmtap::CaptureOptions& options) {
    pcmtap::StreamConverter converter(options.chunkFrames);
    pcmtap::WriteReadyRecord(std::cout, options);
    std::uint32_t header[2];
    std::vector<std::int16_t> samples, chunk;
    std::uint64_t sequence = 0;
    while (std::fread(header, sizeof header, 1, stdin) == 1) {
      if (header[0] == 0xFFFFFFFF) pcmtap::ThrowIfFailed(static_cast<HRESULT>(header[1]), "GetBuffer");
      if (header[0] == 0xFFFFFFFE) header[1] != 0 ? throw std::bad_array_new_length() : throw std::bad_alloc();
      if (header[0] >= 0xFFFFFFFE) continue;
      samples.resize(2 * std::size_t{header[0]});
      if (std::fread(samples.data(), 4, header[0], stdin) != header[0]) throw std::runtime_error("short plan");
      converter.AddPacket((header[1] & 0x40000000) != 0 ? nullptr : samples.data(), header[0], header[1]);
      while (converter.TakeChunk(chunk)) pcmtap::WritePcmRecord(std::cout, sequence++, chunk);
    }
  }, stop);
}
