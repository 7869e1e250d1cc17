// Carries finished records from the thread that reads the audio device to a
// thread of their own that writes them. A host that stops reading fills its
// pipe and blocks a write; only this writer waits then, while the device,
// which keeps what it captured only briefly, is still read on time. Records
// go out in order, each whole and flushed at once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

namespace pcmtap {

class RecordWriter {
 public:
  // What the queue may hold: about 90 s of records at the default chunk
  // size (a record is about 2.9 kB there), and no more than this at any
  // chunk size, however small.
  static constexpr std::size_t kCapacityBytes = std::size_t{4} << 20;

  explicit RecordWriter(std::ostream& out, std::size_t capacityBytes = kCapacityBytes);
  // Writes whatever is still queued before it returns, as Finish does, but
  // reports nothing.
  ~RecordWriter();
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  // Queues one whole record. While the queue is full it waits for room in
  // slices and asks `keepWaiting` after each; once that answers false the
  // record is queued over the bound instead, so that nothing already formed
  // is lost. Throws "Failed to write to standard output" once a write has
  // failed.
  void Queue(std::string record, const std::function<bool()>& keepWaiting);
  // Throws "Failed to write to standard output" once a write has failed.
  void CheckWrites() const;
  // Writes every queued record and ends the writer; then throws like
  // CheckWrites.
  void Finish();

 private:
  void WriteQueued();
  void EndWriter();

  std::ostream& out_;
  const std::size_t capacityBytes_;
  mutable std::mutex mutex_;
  std::condition_variable queued_;  // a record came, or the writer is to end
  std::condition_variable room_;    // a record went out, or a write failed
  std::deque<std::string> records_;
  std::size_t queuedBytes_ = 0;
  bool ending_ = false;
  bool failed_ = false;
  std::thread thread_;  // last: it starts once everything above is ready
};

}  // namespace pcmtap
