// pcmtap's command line, converter and record writer, fed a plan of captured
// packets on standard input in place of the audio device: the portable core
// end to end, for records_test.py and, as the model of the band-limited
// converter's records, for the end-to-end tests. A packet is its frame count
// and flags (32-bit little-endian each), then its frames, 44.1 kHz stereo
// 16-bit unless a format marker said otherwise; flag 0x40000000 hands the
// converter a null pointer. Frame count 0xFFFFFFFF stands for a device call
// that returned the status in the flags word, 0xFFFFFFFE for memory running
// out (flags 1: an array too large to allocate), 0xFFFFFFFD for a format
// marker: as many bytes of a WAVEFORMATEX as the flags word says, the format
// of a new stream. "stop" only names, as its error line, the process it
// would stop.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "pcmtap/cli.h"
#include "pcmtap/packet_converter.h"
#include "pcmtap/protocol.h"
#include "pcmtap/sample_format.h"

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
    const std::uint8_t linear[] = {1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0, 4, 0, 16, 0, 0, 0};
    pcmtap::SampleFormat format = pcmtap::ParseWaveFormat(linear, sizeof linear);
    std::unique_ptr<pcmtap::PacketConverter> converter;  // at the first packet, in the format then
    pcmtap::WriteReadyRecord(std::cout, options);
    std::uint32_t header[2];
    std::vector<std::uint8_t> bytes;
    std::vector<std::int16_t> chunk;
    std::uint64_t sequence = 0;
    while (std::fread(header, sizeof header, 1, stdin) == 1) {
      if (header[0] == 0xFFFFFFFF) pcmtap::ThrowIfFailed(static_cast<HRESULT>(header[1]), "GetBuffer");
      if (header[0] == 0xFFFFFFFE) header[1] != 0 ? throw std::bad_array_new_length() : throw std::bad_alloc();
      const std::size_t size = header[0] == 0xFFFFFFFD ? header[1] : header[0] * format.FrameBytes();
      if (header[0] >= 0xFFFFFFFE) continue;
      bytes.resize(size);
      if (std::fread(bytes.data(), 1, size, stdin) != size) throw std::runtime_error("short plan");
      if (header[0] == 0xFFFFFFFD) {
        format = pcmtap::ParseWaveFormat(bytes.data(), size);
        if (converter) converter->SetFormat(format);
        continue;
      }
      const auto channels = options.source == pcmtap::CaptureSource::Microphone ? pcmtap::ChannelUse::First
                                                                                : pcmtap::ChannelUse::Downmix;
      if (!converter) converter = pcmtap::MakePacketConverter(options.resampler, options.chunkFrames, format, channels);
      converter->AddPacket((header[1] & 0x40000000) != 0 ? nullptr : bytes.data(), header[0], header[1]);
      while (converter->TakeChunk(chunk)) pcmtap::WritePcmRecord(std::cout, sequence++, chunk);
    }
  }, stop);
}
