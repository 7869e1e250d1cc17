// Process loopback: everything the machine plays but one process tree, or
// that tree alone, obtained by one blocking activation.
#pragma once

#include "pcmtap/audio_source.h"
#include "pcmtap/cli.h"
#include "pcmtap/com_ptr.h"
#include "pcmtap/platform.h"
#include "pcmtap/session_watch.h"

namespace pcmtap {

// Blocks, without a time limit, until the platform has completed the
// activation. Never returns an empty reference; throws std::runtime_error.
ComPtr<IAudioClient> ActivateProcessLoopbackClient(const CaptureOptions& options);

// The process-loopback device is tied to no output device, so there is no
// other to go on with: any failure of its stream ends the run.
class ProcessLoopbackSource final : public AudioSource {
 public:
  explicit ProcessLoopbackSource(const CaptureOptions& options) : options_(options) {}
  ComPtr<IAudioClient> Activate() override { return ActivateProcessLoopbackClient(options_); }
  // The sessions on every render device, process loopback hears them all;
  // of these those inside the target's tree, or outside it.
  NoticeReaderFactory Notices() const override {
    return SessionNoticesOf({false, EndpointRole::Console, options_.targetProcessId, options_.mode});
  }

 private:
  const CaptureOptions options_;
};

}  // namespace pcmtap
