// Where a capture's audio comes from. The capture loop is the same for every
// source; what sets one apart is said here: how it obtains the audio client
// of a new stream, at which format and with which stream flags, whether the source
// can go on when its device goes away, and what tells whether it hears what
// it should. The defaults are those of a source whose device never goes away.
#pragma once

#include <cstdint>

#include "pcmtap/cli.h"
#include "pcmtap/com_ptr.h"
#include "pcmtap/downmix.h"
#include "pcmtap/notice_watch.h"
#include "pcmtap/platform.h"

namespace pcmtap {

// The audio sessions that a source should hear, for the watch over a deaf
// capture: those on the default render device of `role` alone, or those on
// every active render device (process loopback hears them all); of these,
// with a `treeRoot`, those inside its process tree (include mode) or outside
// it (exclude mode).
struct SessionScope {
  bool defaultDeviceOnly = false;
  EndpointRole role = EndpointRole::Console;
  std::uint32_t treeRoot = 0;  // 0: the sessions of every process
  LoopbackMode mode = LoopbackMode::ExcludeTargetProcessTree;
};

class AudioSource {
 public:
  virtual ~AudioSource() = default;

  // The audio client of a new stream, not yet initialised. Throws.
  virtual ComPtr<IAudioClient> Activate() = 0;
  // Whether a new stream opens at the device's own format (its mix format),
  // which pcmtap converts itself, rather than at the 44.1 kHz stereo 16-bit
  // that the linear converter takes.
  virtual bool AtMixFormat() const { return false; }
  // IAudioClient::Initialize's stream flags besides the event callback.
  virtual DWORD StreamFlags() const { return AUDCLNT_STREAMFLAGS_LOOPBACK; }
  // How a frame's channels become one sample.
  virtual ChannelUse Channels() const { return ChannelUse::Downmix; }
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
  // What the watch of --notices on reads, on its own thread.
  virtual NoticeReaderFactory Notices() const = 0;
};

}  // namespace pcmtap
