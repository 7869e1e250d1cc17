// Process-loopback activation: one blocking call that yields an audio client
// capturing everything but one process tree, or that tree alone.
#pragma once

#include "pcmtap/cli.h"
#include "pcmtap/com_ptr.h"
#include "pcmtap/platform.h"

namespace pcmtap {

// Blocks, without a time limit, until the platform has completed the
// activation. Never returns an empty reference; throws std::runtime_error.
ComPtr<IAudioClient> ActivateProcessLoopbackClient(const CaptureOptions& options);

}  // namespace pcmtap
