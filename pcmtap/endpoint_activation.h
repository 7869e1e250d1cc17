// The other source of audio: loopback of the default render device for a
// role, which hears everything that device plays (also what an application
// keeps out of process loopback), and follows the default as it changes.
#pragma once

#include "pcmtap/cli.h"
#include "pcmtap/com_ptr.h"
#include "pcmtap/platform.h"

namespace pcmtap {

class DefaultRenderEndpoint {
 public:
  // Registers for changes of the default device before the first activation,
  // so that none is missed. Throws on failure.
  explicit DefaultRenderEndpoint(EndpointRole role);
  ~DefaultRenderEndpoint();
  DefaultRenderEndpoint(const DefaultRenderEndpoint&) = delete;
  DefaultRenderEndpoint& operator=(const DefaultRenderEndpoint&) = delete;

  // An audio client of the present default device, not yet initialised.
  // Throws; E_NOTFOUND while no render device is the default.
  ComPtr<IAudioClient> Activate();

  // Whether to open the stream anew now: a change of the default device has
  // settled, or a retry after finding none is due.
  bool ReopenDue();
  // The stream's device became unusable: open anew as after a change.
  void Lost();
  // Opening found no device: try again a little later, never in a spin.
  void RetryLater();
  void Opened();

 private:
  class DefaultDeviceListener;

  const ERole role_;
  ComPtr<DefaultDeviceListener> listener_;
  ComPtr<IMMDeviceEnumerator> enumerator_;
  ULONGLONG retryAt_ = 0;  // GetTickCount64 time of the next attempt; 0: none waits
};

}  // namespace pcmtap
