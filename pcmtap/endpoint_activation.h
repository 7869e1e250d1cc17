// The other source of audio: loopback of the default render device for a
// role, which hears everything that device plays (also what an application
// keeps out of process loopback), and follows the default as it changes.
#pragma once

#include "pcmtap/audio_source.h"
#include "pcmtap/cli.h"
#include "pcmtap/com_ptr.h"
#include "pcmtap/platform.h"

namespace pcmtap {

class DefaultRenderEndpoint final : public AudioSource {
 public:
  // Registers for changes of the default device before the first activation,
  // so that none is missed. Throws on failure.
  DefaultRenderEndpoint(EndpointRole role, Resampler resampler);
  ~DefaultRenderEndpoint() override;
  DefaultRenderEndpoint(const DefaultRenderEndpoint&) = delete;
  DefaultRenderEndpoint& operator=(const DefaultRenderEndpoint&) = delete;

  // An audio client of the present default device. Throws; E_NOTFOUND while
  // no render device is the default.
  ComPtr<IAudioClient> Activate() override;
  // A render device mixes in a format of its own (often 48 kHz float, or more
  // channels): the band-limited converter takes it as it is; for the linear
  // one the engine converts it to 44.1 kHz stereo 16-bit.
  bool AtMixFormat() const override { return resampler_ == Resampler::BandLimited; }
  DWORD StreamFlags() const override;
  bool ReadAfterTimeout() const override { return true; }
  // A device that went away is followed as after a change of the default.
  bool StreamLost(const PlatformError& failure) override;
  // While no device is the default, one is looked for a little later, never
  // in a spin.
  bool OpenFailed(const PlatformError& failure) override;
  // A change of the default device has settled, or a retry is due.
  bool ReopenDue() override;
  // Every session of the device followed, whoever plays it.
  SessionScope HeardSessions() const override;

 private:
  class DefaultDeviceListener;

  const ERole role_;
  const Resampler resampler_;
  ComPtr<DefaultDeviceListener> listener_;
  ComPtr<IMMDeviceEnumerator> enumerator_;
  ULONGLONG retryAt_ = 0;  // GetTickCount64 time of the next attempt; 0: none waits
};

}  // namespace pcmtap
