#include "pcmtap/notice_watch.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "pcmtap/cli.h"
#include "pcmtap/platform.h"
#include "pcmtap/protocol.h"

namespace pcmtap {
namespace {

// Four reads a second: a session's meter shows the peak of one device period
// only, and speech needs several to show.
constexpr std::chrono::milliseconds kReadEvery{250};

}  // namespace

bool DeviceAnswered(HRESULT status, const char* call) {
  if (status == AUDCLNT_E_DEVICE_INVALIDATED) return false;
  ThrowIfFailed(status, call);
  return true;
}

NoticeWatch::NoticeWatch(NoticeReaderFactory makeReader, RecordWriter& writer)
    : makeReader_(std::move(makeReader)), writer_(writer), thread_([this] { Run(); }) {}

NoticeWatch::~NoticeWatch() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    end_ = true;
  }
  ending_.notify_one();
  thread_.join();
}

// A sample is zero exactly when all its bytes are, in every format taken;
// only a float -0.0 would count as sound.
void NoticeWatch::Captured(const std::uint8_t* data, std::size_t bytes, std::uint32_t flags) {
  if (data == nullptr || (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 || heard_.load()) return;
  if (std::any_of(data, data + bytes, [](std::uint8_t byte) { return byte != 0; })) heard_.store(true);
}

void NoticeWatch::RethrowFailure() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (failure_) std::rethrow_exception(failure_);
}

void NoticeWatch::Run() {
  // The audio session and endpoint interfaces are used from the
  // multithreaded apartment.
  const HRESULT apartment = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  try {
    try {
      ThrowIfFailed(apartment, "CoInitializeEx");
      const std::unique_ptr<NoticeReader> reader = makeReader_();
      while (AwaitRead()) {
        for (std::string& notice : reader->Read(heard_.exchange(false))) Queue(std::move(notice));
      }
    } catch (const PlatformError& failure) {
      // Nothing can be read: the capture goes on, unwatched.
      Queue(UncheckedNotice(failure.what()));
    }
  } catch (...) {
    const std::lock_guard<std::mutex> lock(mutex_);
    failure_ = std::current_exception();
  }
  if (apartment >= 0) CoUninitialize();
}

bool NoticeWatch::AwaitRead() {
  std::unique_lock<std::mutex> lock(mutex_);
  return !ending_.wait_for(lock, kReadEvery, [this] { return end_; });
}

// While the record queue is full this waits for room, in slices, until the
// watch is to end; the notice then goes in over the bound.
void NoticeWatch::Queue(std::string notice) {
  writer_.Queue(std::move(notice), [this] {
    const std::lock_guard<std::mutex> lock(mutex_);
    return !end_;
  });
}

}  // namespace pcmtap
