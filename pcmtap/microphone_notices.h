// The notices of the microphone source: the default capture device's
// endpoint mute turning on or off, and an unmuted microphone that delivers
// nothing but digital zeros, which no working microphone does (an analogue
// path always carries some noise), and its return to sound.
#pragma once

#include "pcmtap/cli.h"
#include "pcmtap/notice_watch.h"

namespace pcmtap {

// Reads the mute of the default capture device of `role`, on the watch's
// thread.
NoticeReaderFactory MicrophoneNoticesOf(EndpointRole role);

}  // namespace pcmtap
