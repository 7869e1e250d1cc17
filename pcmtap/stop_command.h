// "pcmtap.exe stop --pid <id>": ends a running capture in order on behalf of
// a host that cannot send a console control event itself.
#pragma once

#include "pcmtap/cli.h"

namespace pcmtap {

// Sends Ctrl+C to the capture's console and waits for the capture to exit.
// Returns when it exited with status 0; throws std::runtime_error with the
// reason otherwise.
void StopCapture(const StopOptions& options);

}  // namespace pcmtap
