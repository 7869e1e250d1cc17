#include "pcmtap/capture_stream.h"

#include <cstddef>
#include <utility>
#include <vector>

#include "pcmtap/cli.h"
#include "pcmtap/interface_ids.h"
#include "pcmtap/on_exit.h"

namespace pcmtap {
namespace {

// Where the device honours it, a buffer of five seconds rides out a moment in
// which the reading thread gets no processor; it costs under a megabyte inside
// the audio engine and delays nothing, since the event still fires every
// device period. The process-loopback device is reported to keep almost
// nothing whatever is asked, which is why that thread never waits on the host.
constexpr REFERENCE_TIME kBufferDuration = 50000000;  // 5 s in 100 ns units

// What the linear converter takes: 44.1 kHz stereo 16-bit.
WAVEFORMATEX LinearCaptureFormat() {
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 2;
  format.nSamplesPerSec = 44100;
  format.nAvgBytesPerSec = 176400;
  format.nBlockAlign = 4;
  format.wBitsPerSample = 16;
  format.cbSize = 0;
  return format;
}

// The format's bytes: the 18 of WAVEFORMATEX up to and with cbSize (the
// structure may be padded beyond them), then the extension that cbSize counts.
std::vector<std::uint8_t> BytesOf(const WAVEFORMATEX& format) {
  const auto* first = reinterpret_cast<const std::uint8_t*>(&format);
  return {first, first + offsetof(WAVEFORMATEX, cbSize) + sizeof format.cbSize + format.cbSize};
}

// The device's mix format, which the platform allocates for the caller.
std::vector<std::uint8_t> MixFormatOf(IAudioClient& client) {
  WAVEFORMATEX* mixFormat = nullptr;
  ThrowIfFailed(client.GetMixFormat(&mixFormat), "IAudioClient::GetMixFormat");
  if (mixFormat == nullptr) ThrowIfFailed(E_POINTER, "IAudioClient::GetMixFormat");
  const OnExit release([mixFormat] { CoTaskMemFree(mixFormat); });
  return BytesOf(*mixFormat);
}

}  // namespace

CaptureStream::CaptureStream(ComPtr<IAudioClient> audioClient, bool atMixFormat, DWORD flags, HANDLE audioEvent)
    : audioClient_(std::move(audioClient)) {
  const std::vector<std::uint8_t> format = atMixFormat ? MixFormatOf(*audioClient_.Get()) : BytesOf(LinearCaptureFormat());
  format_ = ParseWaveFormat(format.data(), format.size());
  ThrowIfFailed(audioClient_->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK | flags,
                                         kBufferDuration, 0, reinterpret_cast<const WAVEFORMATEX*>(format.data()),
                                         nullptr),
                "IAudioClient::Initialize");
  ThrowIfFailed(audioClient_->SetEventHandle(audioEvent), "IAudioClient::SetEventHandle");
  ThrowIfFailed(audioClient_->GetService(kIidAudioCaptureClient, captureClient_.PutVoid()), "IAudioClient::GetService");
}

void CaptureStream::Start() { ThrowIfFailed(audioClient_->Start(), "IAudioClient::Start"); }

void CaptureStream::Stop() { audioClient_->Stop(); }

UINT32 CaptureStream::PendingFrames() {
  UINT32 frames = 0;
  ThrowIfFailed(captureClient_->GetNextPacketSize(&frames), "GetNextPacketSize");
  return frames;
}

CaptureStream::Packet CaptureStream::Take(bool withPosition) {
  BYTE* data = nullptr;
  Packet packet{nullptr, 0, 0, 0};
  ThrowIfFailed(captureClient_->GetBuffer(&data, &packet.frames, &packet.flags, nullptr,
                                          withPosition ? &packet.position : nullptr),
                "IAudioCaptureClient::GetBuffer");
  packet.data = data;
  return packet;
}

void CaptureStream::Release(const Packet& packet) {
  ThrowIfFailed(captureClient_->ReleaseBuffer(packet.frames), "IAudioCaptureClient::ReleaseBuffer");
}

}  // namespace pcmtap
