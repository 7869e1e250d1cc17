#include "pcmtap/record_writer.h"

#include <chrono>
#include <stdexcept>
#include <utility>

namespace pcmtap {
namespace {

// How long the reading thread waits for room before it asks again whether
// to go on waiting: the main loop's own wait slice.
constexpr std::chrono::milliseconds kRoomSlice{200};

// What a queued record costs: its text and, roughly, the string and the
// queue's share of it around the text.
std::size_t CostOf(const std::string& record) { return record.size() + 64; }

[[noreturn]] void ThrowWriteFailed() { throw std::runtime_error("Failed to write to standard output"); }

}  // namespace

RecordWriter::RecordWriter(std::ostream& out, std::size_t capacityBytes)
    : out_(out), capacityBytes_(capacityBytes), thread_([this] { WriteQueued(); }) {}

RecordWriter::~RecordWriter() { EndWriter(); }

void RecordWriter::Queue(std::string record, const std::function<bool()>& keepWaiting) {
  const std::size_t cost = CostOf(record);
  std::unique_lock<std::mutex> lock(mutex_);
  // With nothing outstanding any record goes in, so that none can wait for
  // ever; records taken by the writer count until they are written.
  const auto roomOrFailure = [&] { return failed_ || queuedBytes_ == 0 || queuedBytes_ + cost <= capacityBytes_; };
  while (!room_.wait_for(lock, kRoomSlice, roomOrFailure) && keepWaiting()) {
  }
  if (failed_) ThrowWriteFailed();
  records_.push_back(std::move(record));
  queuedBytes_ += cost;
  // The writer waits only for an empty queue.
  if (records_.size() == 1) queued_.notify_one();
}

void RecordWriter::CheckWrites() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (failed_) ThrowWriteFailed();
}

void RecordWriter::Finish() {
  EndWriter();
  CheckWrites();
}

void RecordWriter::EndWriter() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  queued_.notify_one();
  if (thread_.joinable()) thread_.join();
}

// The writer thread: takes every record queued so far and writes them in
// order, each whole, with one flush after the last: none waits for a later
// one, and small records cost one write for many. The lock is held only to
// take them, so the queue fills meanwhile. After a failed write nothing more
// can reach the reader: the rest is dropped.
void RecordWriter::WriteQueued() {
  std::deque<std::string> taken;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    queued_.wait(lock, [this] { return !records_.empty() || ending_; });
    if (records_.empty()) return;
    taken.swap(records_);
    lock.unlock();
    std::size_t cost = 0;
    for (const std::string& record : taken) {
      out_.write(record.data(), static_cast<std::streamsize>(record.size()));
      cost += CostOf(record);
    }
    out_.flush();
    const bool written = static_cast<bool>(out_);
    taken.clear();
    lock.lock();
    queuedBytes_ -= cost;
    if (!written) {
      failed_ = true;
      records_.clear();
      queuedBytes_ = 0;
    }
    room_.notify_one();
    if (failed_) return;
  }
}

}  // namespace pcmtap
