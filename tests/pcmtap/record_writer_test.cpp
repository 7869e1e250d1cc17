// The record queue's bound against a reader that stalls: its writes wait
// while the test holds `stalled`. A reader that keeps up and one that goes
// away are the end-to-end tests' (slow_reader), through the shipped exe.
#include "pcmtap/record_writer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace pcmtap {
namespace {

struct StalledReader : std::stringbuf {
  std::streamsize xsputn(const char* text, std::streamsize size) override {
    const std::lock_guard<std::mutex> wait(stalled);
    return std::stringbuf::xsputn(text, size);
  }
  std::size_t Read() { const std::lock_guard<std::mutex> reading(stalled); return str().size(); }
  std::mutex stalled;
};

// Eight records of 100 bytes each, numbered 0 to 7; the queue holds six,
// exactly (a record costs its text and 64 bytes around it), so the seventh
// and eighth wait for room, until a stop request puts them over the bound.
// Once the reader has read them all, the whole room is free again, and a
// record larger than the bound goes into the empty queue at once.
TEST(RecordWriter, HoldsItsBoundUntilAStopThenWritesEveryRecordInOrder) {
  StalledReader reader;
  std::ostream out(&reader);
  std::string waited, expected;
  RecordWriter writer(out, 6 * 164);
  for (int round = 0; round < 2; ++round) {
    reader.stalled.lock();
    for (char k = '0'; k < '8'; ++k) {  // a record that has to wait for room meets a stop request at once
      writer.Queue(std::string(100, k), [&] { waited += k; return false; });
      expected += std::string(100, k);
    }
    reader.stalled.unlock();
    while (reader.Read() < expected.size()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  writer.Queue(std::string(2000, 'x'), [&] { waited += 'x'; return false; });  // larger than the bound: no wait
  expected += std::string(2000, 'x');
  writer.Finish();
  EXPECT_EQ(reader.str(), expected);
  EXPECT_EQ(waited, "6767");
}

}  // namespace
}  // namespace pcmtap
