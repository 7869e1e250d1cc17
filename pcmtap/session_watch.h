// With --notices on: a thread of its own reads the audio sessions that the
// capture should hear, and queues a notice record when they play audibly
// while the capture hears only zeros (an application that keeps its audio
// out of process loopback does that), and another when it hears again.
// Session calls go to the audio service and may answer late: on this thread
// they never hold up the reading of the device.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "pcmtap/audio_source.h"
#include "pcmtap/record_writer.h"

namespace pcmtap {

class SessionWatch {
 public:
  SessionWatch(const SessionScope& scope, RecordWriter& writer);
  // Ends the watch; a notice still being queued goes in first.
  ~SessionWatch();
  SessionWatch(const SessionWatch&) = delete;
  SessionWatch& operator=(const SessionWatch&) = delete;

  // A packet that the capture took, still held (its `bytes` in the stream's
  // format): notes whether it carries a non-zero sample. Cheap: it looks no
  // further once one has been seen.
  void Captured(const std::uint8_t* data, std::size_t bytes, std::uint32_t flags);
  // What ended the watch other than the sessions' own failures (memory
  // exhausted, a failed write) ends the run: thrown here, on the capture's
  // thread. Failures of the session calls are the "unchecked" notice's.
  void RethrowFailure();

 private:
  void Run();
  void WatchSessions();
  // Waits until the next read is due; false once the watch is to end.
  bool AwaitRead();
  void Queue(std::string notice);

  const SessionScope scope_;
  RecordWriter& writer_;
  std::atomic<bool> heard_{false};  // since the last read
  std::mutex mutex_;
  std::condition_variable ending_;
  bool end_ = false;
  std::exception_ptr failure_;
  std::thread thread_;  // last: it starts once everything above is ready
};

}  // namespace pcmtap
