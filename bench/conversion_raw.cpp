// Raw stream filter for comparisons with other converters: reads 44.1 kHz
// stereo signed 16-bit little-endian PCM on standard input, writes 16 kHz
// mono signed 16-bit little-endian PCM on standard output, in packets of 441
// frames (or the count given as the first argument) and chunks of 1024
// samples, with the linear converter or (second argument "band-limited")
// the band-limited one. Samples that do not fill a last chunk are dropped,
// as in capture. Assumes a little-endian host.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pcmtap/band_limited_converter.h"
#include "pcmtap/conversion.h"

namespace {

template <typename Converter, typename Add>
int Run(Converter& converter, unsigned long packetFrames, Add add) {
  std::vector<std::int16_t> packet(2 * packetFrames), chunk;
  std::vector<char> inBuffer(1 << 20), outBuffer(1 << 20);
  std::setvbuf(stdin, inBuffer.data(), _IOFBF, inBuffer.size());
  std::setvbuf(stdout, outBuffer.data(), _IOFBF, outBuffer.size());
  std::size_t frames;
  while ((frames = std::fread(packet.data(), 4, packetFrames, stdin)) > 0) {
    add(converter, packet.data(), static_cast<std::uint32_t>(frames));
    while (converter.TakeChunk(chunk)) {
      if (std::fwrite(chunk.data(), 2, chunk.size(), stdout) != chunk.size()) return 1;
    }
  }
  return std::ferror(stdin) || std::fflush(stdout) != 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  const unsigned long packetFrames = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 441;
  const bool bandLimited = argc > 2 && std::strcmp(argv[2], "band-limited") == 0;
  if (packetFrames == 0 || packetFrames > 1000000 || (argc > 2 && !bandLimited && std::strcmp(argv[2], "linear") != 0)) {
    std::fprintf(stderr, "usage: conversion_raw [packet frames, 1 to 1000000] [linear|band-limited]\n");
    return 2;
  }
  if (bandLimited) {
    pcmtap::BandLimitedConverter converter(1024, pcmtap::SampleFormat{44100, 2, pcmtap::SampleEncoding::Int16, 0x3});
    return Run(converter, packetFrames, [](auto& c, const std::int16_t* samples, std::uint32_t frames) {
      c.AddPacket(reinterpret_cast<const std::uint8_t*>(samples), frames, 0);
    });
  }
  pcmtap::StreamConverter converter(1024);
  return Run(converter, packetFrames,
             [](auto& c, const std::int16_t* samples, std::uint32_t frames) { c.AddPacket(samples, frames, 0); });
}
