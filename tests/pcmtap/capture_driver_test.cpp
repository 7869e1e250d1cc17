#include "pcmtap/capture_driver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "pcmtap/conversion.h"
#include "fake_com.h"

namespace pcmtap {
namespace {

using testing::CallLog;
using testing::FakeAudioClient;
using testing::FakeCaptureClient;
using testing::Packet;

// One wait of the main loop: its result and, for a signal, the packets then
// pending. When the script runs out, a stop is requested and the wait times
// out, as if Ctrl+C had come during it.
struct WaitStep {
  DWORD result;
  std::deque<Packet> packets;
};

// Records every line the driver flushes, into the same log as the calls.
class RecordLog : public std::stringbuf {
 public:
  explicit RecordLog(CallLog& log) : log_(log) {}
  std::vector<std::string> lines;

 protected:
  int sync() override {
    std::string text = str();
    str("");
    for (std::size_t end; (end = text.find("\r\n")) != std::string::npos; text.erase(0, end + 2)) {
      lines.push_back(text.substr(0, end));
      log_.push_back(lines.back().find("\"ready\"") != std::string::npos ? "Ready" : "Record");
    }
    return 0;
  }

 private:
  CallLog& log_;
};

class CaptureDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_stopRequested = false;
    current_ = this;
    capture_ = new FakeCaptureClient(log_, faults_);
    audio_ = new FakeAudioClient(log_, faults_, capture_);
  }
  void TearDown() override {
    // The driver must have handed back every reference it took.
    EXPECT_EQ(audio_->references(), 1u);
    EXPECT_EQ(capture_->references(), 1u);
    audio_->Release();
    capture_->Release();
    current_ = nullptr;
    g_stopRequested = false;
  }

  // Runs the driver; returns the failure message, or "" after a stop.
  std::string Run(std::uint64_t chunkFrames = 2) {
    CaptureOptions options;
    options.targetProcessId = 4242;
    options.chunkFrames = chunkFrames;
    RecordLog records(log_);
    std::ostream out(&records);
    std::string failure;
    try {
      RunCapture(options, platform_, out);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    lines_ = records.lines;
    return failure;
  }

  static CaptureDriverTest* current_;
  CallLog log_;
  std::map<std::string, HRESULT> faults_;
  std::deque<WaitStep> waits_;
  FakeCaptureClient* capture_ = nullptr;
  FakeAudioClient* audio_ = nullptr;
  std::vector<std::string> lines_;
  bool eventCreationFails_ = false;
  bool activationThrows_ = false;

  static constexpr std::uintptr_t kEventValue = 0xE7E7;
  const CapturePlatform platform_ = {
      [](PHANDLER_ROUTINE routine, BOOL add) -> BOOL {
        current_->log_.push_back(std::string("SetConsoleCtrlHandler") +
                                 (routine == &ConsoleCtrlHandler && add ? "" : "(wrong)"));
        return TRUE;
      },
      [](LPVOID reserved, DWORD mode) -> HRESULT {
        current_->log_.push_back(std::string("CoInitializeEx") +
                                 (reserved == nullptr && mode == 0 ? "" : "(wrong)"));
        const auto fault = current_->faults_.find("CoInitializeEx");
        return fault == current_->faults_.end() ? S_OK : fault->second;
      },
      []() { current_->log_.push_back("CoUninitialize"); },
      [](LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initial, LPCWSTR name) -> HANDLE {
        const bool asExpected = !attributes && !manualReset && !initial && !name;
        current_->log_.push_back(std::string("CreateEventW") + (asExpected ? "" : "(wrong)"));
        return current_->eventCreationFails_ ? nullptr : reinterpret_cast<HANDLE>(kEventValue);
      },
      [](HANDLE handle, DWORD milliseconds) -> DWORD {
        const bool asExpected = handle == reinterpret_cast<HANDLE>(kEventValue) && milliseconds == 200;
        current_->log_.push_back(std::string("Wait") + (asExpected ? "" : "(wrong)"));
        if (current_->waits_.empty()) {
          ConsoleCtrlHandler(CTRL_C_EVENT);
          return WAIT_TIMEOUT;
        }
        WaitStep step = current_->waits_.front();
        current_->waits_.pop_front();
        current_->capture_->pending = step.packets;
        return step.result;
      },
      [](HANDLE handle) -> BOOL {
        current_->log_.push_back(handle == reinterpret_cast<HANDLE>(kEventValue) ? "CloseHandle"
                                                                                 : "CloseHandle(wrong)");
        return TRUE;
      },
      [](const CaptureOptions& options) -> ComPtr<IAudioClient> {
        current_->log_.push_back("Activate(" + std::to_string(options.targetProcessId) + "," +
                                 std::to_string(static_cast<int>(options.mode)) + ")");
        if (current_->activationThrows_) {
          throw std::runtime_error("ActivateAudioInterfaceAsync completion failed: 0x80070002");
        }
        current_->audio_->AddRef();
        return ComPtr<IAudioClient>::Attach(current_->audio_);
      },
  };
};
CaptureDriverTest* CaptureDriverTest::current_ = nullptr;

const CallLog kStartUp = {
    "SetConsoleCtrlHandler", "CoInitializeEx", "CreateEventW", "Activate(4242,1)",
    "Initialize(0,0x00060000,1000000,0,{1,2,44100,176400,4,16,0},null)",
    "SetEventHandle", "GetService(IAudioCaptureClient)", "Start", "Ready"};

CallLog Concat(CallLog log, const CallLog& more) {
  log.insert(log.end(), more.begin(), more.end());
  return log;
}

TEST_F(CaptureDriverTest, StopBeforeTheFirstWaitTearsDownInOrder) {
  g_stopRequested = true;
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(log_, Concat(kStartUp, {"Stop", "CloseHandle", "CoUninitialize"}));
  EXPECT_EQ(audio_->eventHandle, reinterpret_cast<HANDLE>(kEventValue));
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0],
            "{\"type\":\"ready\",\"sampleRate\":16000,\"channels\":1,\"targetProcessId\":4242,"
            "\"mode\":\"exclude-target-process-tree\"}");
}

TEST_F(CaptureDriverTest, TimeOutsAndEmptySignalsTouchNoPacket) {
  waits_ = {{WAIT_TIMEOUT, {}}, {WAIT_OBJECT_0, {}}, {WAIT_TIMEOUT, {}}};
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(log_, Concat(kStartUp, {"Wait", "Wait", "GetNextPacketSize", "Wait", "Wait", "Stop",
                                    "CloseHandle", "CoUninitialize"}));
}

TEST_F(CaptureDriverTest, EveryChunkOfAPacketIsWrittenBeforeTheNextPacket) {
  // chunk of 2: 5 frames give 2 outputs (one chunk); 441 silent frames give
  // 160 more (80 chunks); zero-frame packets are released with 0.
  waits_ = {{WAIT_OBJECT_0,
             {{{100, 200, -3, 0, 1000, -1000, -32768, -32768, 32767, 32767}, 5},
              {{}, 0},
              {{}, 441, AUDCLNT_BUFFERFLAGS_SILENT}}},
            {WAIT_OBJECT_0, {{{}, 1}}}};
  EXPECT_EQ(Run(), "");
  CallLog expected = Concat(kStartUp, {"Wait", "GetNextPacketSize", "GetBuffer", "ReleaseBuffer(5)",
                                       "Record", "GetNextPacketSize", "GetBuffer",
                                       "ReleaseBuffer(0)", "GetNextPacketSize", "GetBuffer",
                                       "ReleaseBuffer(441)"});
  for (int i = 0; i < 80; ++i) expected.push_back("Record");
  expected = Concat(expected, {"GetNextPacketSize", "Wait", "GetNextPacketSize", "GetBuffer",
                               "ReleaseBuffer(1)", "GetNextPacketSize", "Wait", "Stop",
                               "CloseHandle", "CoUninitialize"});
  EXPECT_EQ(log_, expected);
  ASSERT_EQ(lines_.size(), 82u);
  for (std::size_t i = 1; i < lines_.size(); ++i) {
    EXPECT_NE(lines_[i].find(",\"sequence\":" + std::to_string(i - 1) + ","), std::string::npos)
        << lines_[i];
  }
  // 150 and -24781, little-endian: 96 00 33 9F.
  EXPECT_NE(lines_[1].find("\"pcmBase64\":\"lgAznw==\""), std::string::npos) << lines_[1];
}

TEST_F(CaptureDriverTest, APartialChunkAtTheStopIsDropped) {
  waits_ = {{WAIT_OBJECT_0, {{{}, 441}}}};
  EXPECT_EQ(Run(1024), "");
  EXPECT_EQ(lines_.size(), 1u);  // the ready record alone: 160 samples never fill 1024
}

struct Fault {
  std::string call;      // faults_ key, or a special case below
  std::string message;
  std::string lastCall;  // the call that failed
};

TEST_F(CaptureDriverTest, EveryFailureHasItsMessageAndTeardown) {
  const HRESULT status = static_cast<HRESULT>(0x88890004u);
  const std::vector<Fault> faults = {
      {"CoInitializeEx", "CoInitializeEx failed: 0x88890004", "CoInitializeEx"},
      {"CreateEventW", "CreateEventW failed", "CreateEventW"},
      {"Activate", "ActivateAudioInterfaceAsync completion failed: 0x80070002", "Activate(4242,1)"},
      {"Initialize", "IAudioClient::Initialize failed: 0x88890004", kStartUp[4]},
      {"SetEventHandle", "IAudioClient::SetEventHandle failed: 0x88890004", "SetEventHandle"},
      {"GetService", "IAudioClient::GetService failed: 0x88890004", "GetService(IAudioCaptureClient)"},
      {"Start", "IAudioClient::Start failed: 0x88890004", "Start"},
      {"Wait", "WaitForSingleObject failed", "Wait"},
      {"GetNextPacketSize", "GetNextPacketSize failed: 0x88890004", "GetNextPacketSize"},
      {"GetBuffer", "IAudioCaptureClient::GetBuffer failed: 0x88890004", "GetBuffer"},
      {"ReleaseBuffer", "IAudioCaptureClient::ReleaseBuffer failed: 0x88890004", "ReleaseBuffer(441)"},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.call);
    log_.clear();
    faults_.clear();
    g_stopRequested = false;
    eventCreationFails_ = fault.call == "CreateEventW";
    activationThrows_ = fault.call == "Activate";
    waits_ = {{fault.call == "Wait" ? WAIT_FAILED : WAIT_OBJECT_0, {{{}, 441}}}};
    if (!eventCreationFails_ && !activationThrows_ && fault.call != "Wait") {
      faults_[fault.call] = status;
    }
    EXPECT_EQ(Run(1), fault.message);
    // Before the event exists nothing is undone; after, the event is closed
    // and the apartment left.
    const bool early = fault.call == "CoInitializeEx" || eventCreationFails_;
    const CallLog tail = early ? CallLog{fault.lastCall}
                               : CallLog{fault.lastCall, "CloseHandle", "CoUninitialize"};
    ASSERT_GE(log_.size(), tail.size());
    EXPECT_EQ(CallLog(log_.end() - static_cast<std::ptrdiff_t>(tail.size()), log_.end()), tail);
    for (const auto& call : log_) EXPECT_NE(call, "Stop");
    // Records already written stay; none comes from a packet not handed back.
    for (const auto& line : lines_) EXPECT_EQ(line.find("\"pcm\""), std::string::npos);
    EXPECT_EQ(audio_->references(), 1u);
    EXPECT_EQ(capture_->references(), 1u);
  }
}

TEST_F(CaptureDriverTest, AFailedRecordWriteEndsTheRunThroughTheFailureTeardown) {
  waits_ = {{WAIT_OBJECT_0, {{{}, 441}}}};
  CaptureOptions options;
  options.targetProcessId = 7;
  options.chunkFrames = 1;
  std::ostringstream out;
  out.setstate(std::ios::badbit);  // the reader has gone away
  try {
    RunCapture(options, platform_, out);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& failure) {
    EXPECT_STREQ(failure.what(), "Failed to write to standard output");
  }
  EXPECT_EQ(CallLog(log_.end() - 3, log_.end()), CallLog({"Start", "CloseHandle", "CoUninitialize"}));
}

TEST(ConsoleCtrlHandler, StopsOnCtrlCBreakCloseAndShutdownOnly) {
  const std::vector<std::pair<DWORD, bool>> events = {
      {CTRL_C_EVENT, true},       {CTRL_BREAK_EVENT, true}, {CTRL_CLOSE_EVENT, true},
      {3, false},                 {4, false},               {CTRL_LOGOFF_EVENT, false},
      {CTRL_SHUTDOWN_EVENT, true}, {7, false},              {0xFFFFFFFFu, false}};
  for (const auto& [event, stops] : events) {
    g_stopRequested = false;
    EXPECT_EQ(ConsoleCtrlHandler(event), stops ? TRUE : FALSE) << event;
    EXPECT_EQ(g_stopRequested.load(), stops) << event;
    if (stops) {  // a second request changes nothing
      EXPECT_EQ(ConsoleCtrlHandler(event), TRUE);
      EXPECT_TRUE(g_stopRequested.load());
    }
  }
  g_stopRequested = false;
}

// The system's own event and wait: a stop requested from another thread while
// the driver blocks is seen within one wait slice.
TEST(CaptureDriver, AStopFromAnotherThreadEndsARealWait) {
  g_stopRequested = false;
  CallLog log;
  std::map<std::string, HRESULT> faults;
  auto* capture = new FakeCaptureClient(log, faults);
  static FakeAudioClient* audio;
  audio = new FakeAudioClient(log, faults, capture);
  CapturePlatform platform = SystemCapturePlatform();
  platform.activateClient = [](const CaptureOptions&) {
    audio->AddRef();
    return ComPtr<IAudioClient>::Attach(audio);
  };
  CaptureOptions options;
  options.targetProcessId = 1;
  std::ostringstream out;
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ConsoleCtrlHandler(CTRL_BREAK_EVENT);
  });
  RunCapture(options, platform, out);
  stopper.join();
  EXPECT_EQ(log.back(), "Stop");
  EXPECT_EQ(audio->references(), 1u);
  EXPECT_EQ(capture->references(), 1u);
  audio->Release();
  capture->Release();
  g_stopRequested = false;
}

}  // namespace
}  // namespace pcmtap
