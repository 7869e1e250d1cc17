#include "pcmtap/capture_driver.h"

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "pcmtap/capture_stream.h"
#include "pcmtap/default_device.h"
#include "pcmtap/loopback_activation.h"
#include "pcmtap/on_exit.h"
#include "pcmtap/packet_converter.h"
#include "pcmtap/protocol.h"
#include "pcmtap/record_writer.h"
#include "pcmtap/notice_watch.h"
#include "pcmtap/stream_timeline.h"

namespace pcmtap {

std::atomic<bool> g_stopRequested{false};

namespace {

// The system ends the process, with a status of its own, as soon as the
// handler returns from a console close. Holding the return back lets the
// driver finish its records and teardown and main end the process itself
// with the run's status, this thread with it. The bound stays well inside
// the five seconds that the system grants a handler for a close.
constexpr DWORD kCloseGraceMilliseconds = 3000;

constexpr DWORD kWaitSliceMilliseconds = 200;

// The performance counter in 100 ns units, the unit of the packets'
// positions. Neither query fails on any Windows this program runs on.
std::uint64_t PerformanceCounterTime() {
  LARGE_INTEGER count;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  const auto ticks = static_cast<std::uint64_t>(count.QuadPart);
  const auto perSecond = static_cast<std::uint64_t>(frequency.QuadPart);
  return ticks / perSecond * 10000000 + ticks % perSecond * 10000000 / perSecond;
}

// The source that the options ask for.
std::unique_ptr<AudioSource> OpenSource(const CaptureOptions& options) {
  if (options.source == CaptureSource::Endpoint) {
    return std::make_unique<DefaultDeviceSource>(eRender, options.role, options.resampler);
  }
  if (options.source == CaptureSource::Microphone) {
    return std::make_unique<DefaultDeviceSource>(eCapture, options.role, options.resampler);
  }
  return std::make_unique<ProcessLoopbackSource>(options);
}

// The multimedia class scheduler's priority for the thread that reads the
// device, as the platform's audio examples ask for it, for as long as the
// object lives: the device keeps little, so this thread must get the
// processor on time. The scheduler may refuse (AvSetMmThreadCharacteristics
// returns no handle, for example with ERROR_PRIVILEGE_NOT_HELD or
// ERROR_INVALID_TASK_NAME); the capture then runs at normal priority, which
// is no reason to end it.
class CapturePriority {
 public:
  CapturePriority() : task_(AvSetMmThreadCharacteristicsW(L"Capture", &taskIndex_)) {}
  ~CapturePriority() {
    if (task_ != nullptr) AvRevertMmThreadCharacteristics(task_);
  }
  CapturePriority(const CapturePriority&) = delete;
  CapturePriority& operator=(const CapturePriority&) = delete;

 private:
  DWORD taskIndex_ = 0;  // before task_: the call writes it
  HANDLE task_;
};

// A packet that ends a gap, copied while the gap settles; one without
// samples is flagged silent, so that its offset is never read.
struct HeldPacket {
  std::size_t offset;  // of its samples among the bytes held
  UINT32 frames;
  DWORD flags;
};

// The audio side of a run, from the source's first stream to the release of
// the last. Members are destroyed in reverse order, so on every way out the
// watch over the sessions ends first, then the converter goes, then the
// stream, then the source.
class CaptureSession {
 public:
  CaptureSession(const CaptureOptions& options, HANDLE audioEvent, RecordWriter& writer)
      : options_(options), audioEvent_(audioEvent), writer_(writer), source_(OpenSource(options)) {
    OpenStream();
    Queue(ReadyRecord(options));
    if (options.notices) watch_.emplace(source_->Notices(), writer_);
  }

  void RunUntilStopped() {
    try {
      const CapturePriority priority;
      while (!g_stopRequested.load()) {
        writer_.CheckWrites();
        if (watch_) watch_->RethrowFailure();
        const DWORD wait = WaitForSingleObject(audioEvent_, kWaitSliceMilliseconds);
        if (wait != WAIT_TIMEOUT && wait != WAIT_OBJECT_0) throw std::runtime_error("WaitForSingleObject failed");
        const bool tookPackets =
            stream_ && (wait == WAIT_OBJECT_0 || source_->ReadAfterTimeout()) && DrainUnlessDeviceGone();
        if (source_->ReopenDue()) Reopen();
        if (!tookPackets) FillSilenceSoFar();
      }
    } catch (...) {
      // Records held back go out before the error line; the first failure is
      // the one reported.
      try {
        ReleaseHeld();
        WriteClock();
      } catch (...) {
      }
      throw;
    }
    ReleaseHeld();
    WriteClock();
    watch_.reset();
    if (stream_) stream_->Stop();
  }

 private:
  // The first start also makes the converter and sets where a time-true
  // stream begins; a later one goes on in the new stream's format.
  void OpenStream() {
    stream_.emplace(source_->Activate(), source_->AtMixFormat(), source_->StreamFlags(), audioEvent_);
    const SampleFormat& format = stream_->Format();
    if (!converter_) {
      converter_ = MakePacketConverter(options_.resampler, options_.chunkFrames, format, source_->Channels());
    } else {
      converter_->SetFormat(format);
    }
    if (options_.gaps == GapPolicy::Fill) {
      if (!timeline_) {
        timeline_.emplace(PerformanceCounterTime(), format.sampleRate);
        clockDue_ = true;
      }
      timeline_->SetRate(format.sampleRate);
    }
    stream_->Start();
  }

  void CloseStream() {
    if (stream_) stream_->Stop();
    stream_.reset();
  }

  // The stream goes on from the source's next device, whose first packets
  // follow the last ones of the old device in the same converter; when
  // opening fails for want of a device, the source says when to try again.
  void Reopen() {
    ReleaseHeld();
    CloseStream();
    try {
      OpenStream();
    } catch (const PlatformError& failure) {
      if (!source_->OpenFailed(failure)) throw;
      CloseStream();
    }
  }

  bool DrainUnlessDeviceGone() {
    try {
      return Drain();
    } catch (const PlatformError& failure) {
      if (!source_->StreamLost(failure)) throw;
      CloseStream();
      return false;
    }
  }

  // Reads every pending packet; each packet is handed back before any record
  // of it is written, and its records are written before the next is taken.
  // Silence that goes before a packet is written while the packet is held.
  // Returns whether there was a packet.
  bool Drain() {
    UINT32 pending = stream_->PendingFrames();
    const bool any = pending != 0;
    for (; pending != 0; pending = stream_->PendingFrames()) {
      const CaptureStream::Packet packet = stream_->Take(timeline_.has_value());
      if (watch_) watch_->Captured(packet.data, packet.frames * stream_->Format().FrameBytes(), packet.flags);
      if (timeline_ && (packet.flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) == 0) {
        AddSilence(timeline_->SilenceBefore(packet.position));
      }
      if (timeline_ && timeline_->Settling()) {
        Hold(packet);
      } else {
        converter_->AddPacket(packet.data, packet.frames, packet.flags);
      }
      if (timeline_) timeline_->Advance(packet.frames);
      stream_->Release(packet);
      if (timeline_ && timeline_->GapSettled()) ReleaseHeld();
      WriteChunks();
    }
    return any;
  }

  // The packets that end a gap are copied and wait, so that their positions
  // together tell the gap's length.
  void Hold(const CaptureStream::Packet& packet) {
    const bool silent = packet.data == nullptr || (packet.flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0;
    const DWORD flags = packet.flags | (silent ? AUDCLNT_BUFFERFLAGS_SILENT : 0);
    heldPackets_.push_back({heldBytes_.size(), packet.frames, flags});
    if (!silent) {
      heldBytes_.insert(heldBytes_.end(), packet.data, packet.data + packet.frames * stream_->Format().FrameBytes());
    }
  }

  // The gap's silence, then the packets held: when enough came, when no more
  // come, before the stream changes and when the run ends.
  void ReleaseHeld() {
    if (!timeline_ || !timeline_->Settling()) return;
    AddSilence(timeline_->SettleGap());
    for (const HeldPacket& packet : heldPackets_) {
      converter_->AddPacket(heldBytes_.data() + packet.offset, packet.frames, packet.flags);
      WriteChunks();
    }
    heldPackets_.clear();
    heldBytes_.clear();
  }

  // Nothing plays, or nothing came in time: the silence so far, if asked for.
  void FillSilenceSoFar() {
    ReleaseHeld();
    if (timeline_) AddSilence(timeline_->SilenceUntil(PerformanceCounterTime()));
  }

  // Silence goes to the converter as null packets of a slice at most, and
  // the records of each are written at once, so that a long gap takes no more
  // memory than a short one.
  void AddSilence(std::uint64_t frames) {
    for (std::uint64_t left = frames; left > 0;) {
      const auto slice = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, timeline_->SliceFrames()));
      converter_->AddPacket(nullptr, slice, AUDCLNT_BUFFERFLAGS_SILENT);
      WriteChunks();
      left -= slice;
    }
  }

  void WriteChunks() {
    while (converter_->TakeChunk(chunk_)) {
      std::string record = PcmRecord(nextSequence_++, chunk_);
      if (clockDue_) {
        heldRecords_.push_back(std::move(record));
      } else {
        Queue(std::move(record));
      }
    }
    if (clockDue_ && timeline_->StartKnown()) WriteClock();
  }

  // A time-true stream says once, before its first pcm record, where its
  // first sample lies on the performance counter, the clock of the packets'
  // positions, so that a host can line it up with another capture. Its
  // records wait until the positions have told that: a second of packets.
  // The converter's delay puts the first sample that much before the
  // stream's start.
  void WriteClock() {
    if (!clockDue_) return;
    clockDue_ = false;
    Queue(ClockRecord(timeline_->StartTime() - converter_->DelayHundredNanoseconds()));
    for (std::string& record : heldRecords_) Queue(std::move(record));
    heldRecords_.clear();
  }

  // While the queue is full this thread waits for room, in slices; a stop
  // request ends the wait, and the record goes in over the bound.
  void Queue(std::string record) {
    writer_.Queue(std::move(record), [] { return !g_stopRequested.load(); });
  }

  const CaptureOptions options_;
  HANDLE audioEvent_;
  RecordWriter& writer_;
  const std::unique_ptr<AudioSource> source_;
  std::optional<CaptureStream> stream_;  // none while the source has no device
  std::unique_ptr<PacketConverter> converter_;  // made at the first stream, in its format
  std::optional<StreamTimeline> timeline_;  // only when gaps are filled
  std::vector<HeldPacket> heldPackets_;  // the packets that end a gap, while it settles
  std::vector<std::uint8_t> heldBytes_;
  bool clockDue_ = false;  // a time-true stream's clock record is not yet written
  std::vector<std::string> heldRecords_;  // the pcm records until then
  std::vector<std::int16_t> chunk_;
  std::uint64_t nextSequence_ = 0;
  std::optional<NoticeWatch> watch_;  // only with notices; last, so that it ends first
};

}  // namespace

BOOL WINAPI ConsoleCtrlHandler(DWORD ctrlType) {
  switch (ctrlType) {
    case CTRL_CLOSE_EVENT:
      g_stopRequested.exchange(true);
      Sleep(kCloseGraceMilliseconds);
      return TRUE;
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      g_stopRequested.exchange(true);
      return TRUE;
    default:
      return FALSE;
  }
}

CapturePlatform SystemCapturePlatform() {
  return {&CoInitializeEx, &CoUninitialize, &CreateEventW, &CloseHandle};
}

void RunCapture(CaptureOptions options) {
  RunCapture(options, SystemCapturePlatform(), std::cout);
}

void RunCapture(const CaptureOptions& options, const CapturePlatform& platform, std::ostream& out) {
  // "Ignore Ctrl+C" is inherited from whoever started us (a host that was
  // ignoring it at that moment, or a new process group): while it is set,
  // Ctrl+C calls no handler and the run could never end in order.
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(&ConsoleCtrlHandler, TRUE);
  ThrowIfFailed(platform.coInitializeEx(nullptr, COINIT_MULTITHREADED), "CoInitializeEx");
  const HANDLE audioEvent = platform.createEventW(nullptr, FALSE, FALSE, nullptr);
  if (audioEvent == nullptr) throw std::runtime_error("CreateEventW failed");
  // From here every way out closes the event, then leaves the apartment.
  const OnExit leaveApartment([&platform] { platform.coUninitialize(); });
  const OnExit closeEvent([&platform, audioEvent] { platform.closeHandle(audioEvent); });
  // The clients are released first; then every record queued goes out, on
  // a failure too, before its error line.
  RecordWriter writer(out);
  CaptureSession(options, audioEvent, writer).RunUntilStopped();
  writer.Finish();
}

}  // namespace pcmtap
