// Where a capture's audio comes from. The capture loop is the same for every
// source; what sets one apart is said here: how it obtains the audio client
// of a new stream, which stream flags that client needs, and whether the
// source can go on when its device goes away. The defaults are those of a
// source whose device never goes away.
#pragma once

#include "pcmtap/cli.h"
#include "pcmtap/com_ptr.h"
#include "pcmtap/platform.h"

namespace pcmtap {

class AudioSource {
 public:
  virtual ~AudioSource() = default;

  // The audio client of a new stream, not yet initialised. Throws.
  virtual ComPtr<IAudioClient> Activate() = 0;
  // IAudioClient::Initialize's stream flags besides event-driven loopback.
  virtual DWORD ExtraStreamFlags() const { return 0; }
  // Whether the stream is also read after a wait that timed out: a device
  // that went away may never signal again.
  virtual bool ReadAfterTimeout() const { return false; }
  // The stream failed with `failure`: true when its device went away and
  // the source will open another once ReopenDue says so; false ends the run.
  virtual bool StreamLost(const PlatformError& /*failure*/) { return false; }
  // Opening a new stream failed with `failure`: the same, for a retry.
  virtual bool OpenFailed(const PlatformError& /*failure*/) { return false; }
  // Whether to open a new stream now.
  virtual bool ReopenDue() { return false; }
};

}  // namespace pcmtap
