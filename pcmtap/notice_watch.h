// With --notices on: a thread of its own that reads, four times a second,
// what tells whether the capture hears what it should (the audio sessions of
// the loopback sources, a microphone's mute), and queues the notice records
// that a read calls for between the pcm records. What it reads may answer
// late: on this thread it never holds up the reading of the device.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pcmtap/cli.h"
#include "pcmtap/record_writer.h"

namespace pcmtap {

// What one source reads, made and used on the watch's thread, in the
// multithreaded apartment.
class NoticeReader {
 public:
  virtual ~NoticeReader() = default;
  // The notice records that this read calls for, mostly none; `heard`: the
  // capture took a non-zero sample since the read before. A PlatformError
  // means that nothing can be read: the watch queues one "unchecked" notice
  // naming it and ends, and the capture goes on.
  virtual std::vector<std::string> Read(bool heard) = 0;
};

using NoticeReaderFactory = std::function<std::unique_ptr<NoticeReader>()>;

// A device can go away between two calls: false for a status that says so
// (its readings are simply not there this time); throws PlatformError for
// any other failure, which leaves nothing to read.
bool DeviceAnswered(HRESULT status, const char* call);

class NoticeWatch {
 public:
  NoticeWatch(NoticeReaderFactory makeReader, RecordWriter& writer);
  // Ends the watch; a notice still being queued goes in first.
  ~NoticeWatch();
  NoticeWatch(const NoticeWatch&) = delete;
  NoticeWatch& operator=(const NoticeWatch&) = delete;

  // A packet that the capture took, still held (its `bytes` in the stream's
  // format): notes whether it carries a non-zero sample. Cheap: it looks no
  // further once one has been seen since the last read.
  void Captured(const std::uint8_t* data, std::size_t bytes, std::uint32_t flags);
  // What ended the watch other than the platform's failures (memory
  // exhausted, a failed write) ends the run: thrown here, on the capture's
  // thread.
  void RethrowFailure();

 private:
  void Run();
  // Waits until the next read is due; false once the watch is to end.
  bool AwaitRead();
  void Queue(std::string notice);

  const NoticeReaderFactory makeReader_;
  RecordWriter& writer_;
  std::atomic<bool> heard_{false};  // since the last read
  std::mutex mutex_;
  std::condition_variable ending_;
  bool end_ = false;
  std::exception_ptr failure_;
  std::thread thread_;  // last: it starts once everything above is ready
};

}  // namespace pcmtap
