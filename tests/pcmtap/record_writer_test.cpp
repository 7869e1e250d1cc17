// The record queue's rules against a stream that can hold its writes back
// (a reader that stalls) or refuse them (a reader that has gone).
#include "pcmtap/record_writer.h"

#include <gtest/gtest.h>

#include <climits>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>

namespace pcmtap {
namespace {

class ReaderStream : public std::stringbuf {
 public:
  explicit ReaderStream(bool stalled, int writes) : stalled_(stalled), writesLeft_(writes) {}
  void Resume() {
    const std::lock_guard<std::mutex> lock(mutex_);
    stalled_ = false;
    resumed_.notify_all();
  }

 protected:
  std::streamsize xsputn(const char* text, std::streamsize size) override {
    std::unique_lock<std::mutex> lock(mutex_);
    resumed_.wait(lock, [this] { return !stalled_; });
    return writesLeft_-- > 0 ? std::stringbuf::xsputn(text, size) : 0;
  }

 private:
  std::mutex mutex_;
  std::condition_variable resumed_;
  bool stalled_;
  int writesLeft_;
};

TEST(RecordWriter, KeepsOrderAndBoundAndReportsAFailedWrite) {
  // Eight records of 100 bytes; a queue of 1000 bytes holds six of them
  // (each costs its text and 64 bytes around it).
  const struct { const char* name; bool stalled; int writes; int firstWait; std::string written; const char* failure; } rows[] = {
      {"a reader that keeps up gets every record in order", false, INT_MAX, -1, "01234567", ""},
      {"behind a stalled reader the seventh waits; a stop puts the rest over the bound", true, INT_MAX, 6, "01234567", ""},
      {"a failed write ends the writing and is reported", false, 3, -1, "012", "Failed to write to standard output"},
  };
  for (const auto& row : rows) {
    ReaderStream reader(row.stalled, row.writes);
    std::ostream out(&reader);
    std::string failure;
    int firstWait = -1;
    try {
      RecordWriter writer(out, 1000);
      for (int k = 0; k < 8; ++k) {
        writer.Queue(std::string(100, static_cast<char>('0' + k)), [&] {
          if (firstWait < 0) firstWait = k;
          return false;
        });
      }
      reader.Resume();
      writer.Finish();
    } catch (const std::runtime_error& error) {
      failure = error.what();
    }
    std::string expected;
    for (const char record : row.written) expected += std::string(100, record);
    EXPECT_EQ(reader.str(), expected) << row.name;
    EXPECT_EQ(firstWait, row.firstWait) << row.name;
    EXPECT_EQ(failure, row.failure) << row.name;
  }
}

}  // namespace
}  // namespace pcmtap
