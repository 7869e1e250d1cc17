// The notices of the loopback sources: the audio sessions that the capture
// should hear play audibly while it hears only zeros (an application that
// keeps its audio out of process loopback does that), and it hears again.
#pragma once

#include "pcmtap/audio_source.h"
#include "pcmtap/notice_watch.h"

namespace pcmtap {

// Reads the render devices' sessions in `scope`, on the watch's thread.
NoticeReaderFactory SessionNoticesOf(const SessionScope& scope);

}  // namespace pcmtap
