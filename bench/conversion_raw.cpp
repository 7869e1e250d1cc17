// Raw stream filter for comparisons with other converters: reads 44.1 kHz
// stereo signed 16-bit little-endian PCM on standard input, writes 16 kHz
// mono signed 16-bit little-endian PCM on standard output, in packets of 441
// frames (or the count given as the first argument) and chunks of 1024
// samples. Samples that do not fill a last chunk are dropped, as in capture.
// Assumes a little-endian host.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "pcmtap/conversion.h"

int main(int argc, char* argv[]) {
  const unsigned long packetFrames = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 441;
  if (packetFrames == 0 || packetFrames > 1000000) {
    std::fprintf(stderr, "usage: conversion_raw [packet frames, 1 to 1000000]\n");
    return 2;
  }
  pcmtap::StreamConverter converter(1024);
  std::vector<std::int16_t> packet(2 * packetFrames), chunk;
  std::vector<char> inBuffer(1 << 20), outBuffer(1 << 20);
  std::setvbuf(stdin, inBuffer.data(), _IOFBF, inBuffer.size());
  std::setvbuf(stdout, outBuffer.data(), _IOFBF, outBuffer.size());
  std::size_t frames;
  while ((frames = std::fread(packet.data(), 4, packetFrames, stdin)) > 0) {
    converter.AddPacket(packet.data(), static_cast<std::uint32_t>(frames), 0);
    while (converter.TakeChunk(chunk)) {
      if (std::fwrite(chunk.data(), 2, chunk.size(), stdout) != chunk.size()) return 1;
    }
  }
  return std::ferror(stdin) || std::fflush(stdout) != 0 ? 1 : 0;
}
