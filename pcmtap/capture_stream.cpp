#include "pcmtap/capture_stream.h"

#include <utility>

#include "pcmtap/cli.h"
#include "pcmtap/interface_ids.h"

namespace pcmtap {
namespace {

// Where the device honours it, a buffer of five seconds rides out a moment in
// which the reading thread gets no processor; it costs under a megabyte inside
// the audio engine and delays nothing, since the event still fires every
// device period. The process-loopback device is reported to keep almost
// nothing whatever is asked, which is why that thread never waits on the host.
constexpr REFERENCE_TIME kBufferDuration = 50000000;  // 5 s in 100 ns units

WAVEFORMATEX CaptureFormat() {
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

}  // namespace

CaptureStream::CaptureStream(ComPtr<IAudioClient> audioClient, DWORD extraFlags, HANDLE audioEvent)
    : audioClient_(std::move(audioClient)) {
  const WAVEFORMATEX format = CaptureFormat();
  ThrowIfFailed(audioClient_->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                         AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK | extraFlags,
                                         kBufferDuration, 0, &format, nullptr),
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
  packet.samples = reinterpret_cast<const std::int16_t*>(data);
  return packet;
}

void CaptureStream::Release(const Packet& packet) {
  ThrowIfFailed(captureClient_->ReleaseBuffer(packet.frames), "IAudioCaptureClient::ReleaseBuffer");
}

}  // namespace pcmtap
