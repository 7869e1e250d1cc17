// The sources that follow a default device of a role as it changes: the
// loopback of the default render device, which hears everything that device
// plays (also what an application keeps out of process loopback), and the
// default capture device, a microphone.
#pragma once

#include "pcmtap/audio_source.h"
#include "pcmtap/cli.h"
#include "pcmtap/com_ptr.h"
#include "pcmtap/platform.h"

namespace pcmtap {

class DefaultDeviceSource final : public AudioSource {
 public:
  // eRender: the render device's loopback; eCapture: the capture device.
  // Registers for changes of the default device before the first
  // activation, so that none is missed. Throws on failure.
  DefaultDeviceSource(EDataFlow flow, EndpointRole role, Resampler resampler);
  ~DefaultDeviceSource() override;
  DefaultDeviceSource(const DefaultDeviceSource&) = delete;
  DefaultDeviceSource& operator=(const DefaultDeviceSource&) = delete;

  // An audio client of the present default device. Throws; E_NOTFOUND while
  // no device of the flow is the default.
  ComPtr<IAudioClient> Activate() override;
  // A device mixes in a format of its own (often 48 kHz float, or more
  // channels): the band-limited converter takes it as it is; for the linear
  // one the engine converts a render device's to 44.1 kHz stereo 16-bit.
  bool AtMixFormat() const override { return resampler_ == Resampler::BandLimited; }
  DWORD StreamFlags() const override;
  // A microphone's first channel: see ChannelUse.
  ChannelUse Channels() const override { return flow_ == eCapture ? ChannelUse::First : ChannelUse::Downmix; }
  bool ReadAfterTimeout() const override { return true; }
  // A device that went away is followed as after a change of the default.
  bool StreamLost(const PlatformError& failure) override;
  // While no device is the default, one is looked for a little later, never
  // in a spin.
  bool OpenFailed(const PlatformError& failure) override;
  // A change of the default device has settled, or a retry is due.
  bool ReopenDue() override;
  // The render device's sessions, whoever plays them; the microphone's mute
  // and its digital silence.
  NoticeReaderFactory Notices() const override;

 private:
  class DefaultDeviceListener;

  const EDataFlow flow_;
  const ERole role_;
  const Resampler resampler_;
  ComPtr<DefaultDeviceListener> listener_;
  ComPtr<IMMDeviceEnumerator> enumerator_;
  ULONGLONG retryAt_ = 0;  // GetTickCount64 time of the next attempt; 0: none waits
};

}  // namespace pcmtap
