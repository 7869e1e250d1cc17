// The record queue's rules against a reader that can stall (its writes wait
// while the test holds `stalled`) or go away (its writes fail from some point).
#include "pcmtap/record_writer.h"

#include <gtest/gtest.h>

#include <climits>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>

namespace pcmtap {
namespace {

struct Reader : std::stringbuf {
  std::streamsize xsputn(const char* text, std::streamsize size) override {
    const std::lock_guard<std::mutex> wait(stalled);
    return writesLeft-- > 0 ? std::stringbuf::xsputn(text, size) : 0;
  }
  std::mutex stalled;
  int writesLeft = INT_MAX;
};

// Eight records of 100 bytes each, numbered 0 to 7; the queue holds six,
// exactly (a record costs its text and 64 bytes around it).
TEST(RecordWriter, KeepsOrderAndBoundAndReportsAFailedWrite) {
  const struct { const char* name; bool stalled; int writes; const char *waited, *written, *failure; } rows[] = {
      {"a reader that keeps up gets every record in order", false, INT_MAX, "", "01234567", ""},
      {"behind a stalled reader the seventh and eighth wait; a stop puts them over the bound", true, INT_MAX, "67",
       "01234567", ""},
      {"a failed write ends the writing and is reported", false, 3, "", "012", "Failed to write to standard output"}};
  for (const auto& row : rows) {
    Reader reader;
    reader.writesLeft = row.writes;
    std::ostream out(&reader);
    std::string failure, expected, waited;
    if (row.stalled) reader.stalled.lock();
    try {
      RecordWriter writer(out, 6 * 164);
      for (int k = 0; k < 8; ++k) {  // a record that has to wait for room meets a stop request at once
        writer.Queue(std::string(100, char('0' + k)), [&] { waited += char('0' + k); return false; });
      }
      if (row.stalled) reader.stalled.unlock();
      writer.Finish();
    } catch (const std::runtime_error& error) {
      failure = error.what();
    }
    for (const char* record = row.written; *record != '\0'; ++record) expected += std::string(100, *record);
    EXPECT_EQ(reader.str(), expected) << row.name;
    EXPECT_EQ(waited, row.waited) << row.name;
    EXPECT_EQ(failure, row.failure) << row.name;
  }
}

}  // namespace
}  // namespace pcmtap
