// One stream of a source: its audio client, initialised for shared,
// event-driven capture at the device's own format or at 44.1 kHz stereo
// 16-bit, and the capture client that reads it. A source that opens a new
// stream replaces it whole.
#pragma once

#include <cstdint>

#include "pcmtap/com_ptr.h"
#include "pcmtap/platform.h"
#include "pcmtap/sample_format.h"

namespace pcmtap {

class CaptureStream {
 public:
  struct Packet {
    const std::uint8_t* data;  // frames in the stream's format; valid until Release
    UINT32 frames;
    DWORD flags;
    UINT64 position;  // performance-counter time of the first frame, if asked for
  };

  // Initialises `audioClient` at its mix format or at 44.1 kHz stereo 16-bit,
  // with `flags` besides the event callback, to signal `audioEvent`, and
  // gets its capture client. Throws; a mix format that pcmtap cannot convert
  // throws before the client is initialised.
  CaptureStream(ComPtr<IAudioClient> audioClient, bool atMixFormat, DWORD flags, HANDLE audioEvent);

  const SampleFormat& Format() const { return format_; }

  void Start();
  // Its status is not examined: the stream ends either way.
  void Stop();

  // The frames of the next pending packet; 0 when none is pending.
  UINT32 PendingFrames();
  // The next pending packet, with its position only when asked for.
  Packet Take(bool withPosition);
  // Hands a packet back; its samples are no longer valid.
  void Release(const Packet& packet);

 private:
  // Released in reverse order: the capture client first.
  ComPtr<IAudioClient> audioClient_;
  SampleFormat format_;
  ComPtr<IAudioCaptureClient> captureClient_;
};

}  // namespace pcmtap
