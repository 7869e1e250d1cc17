#include "pcmtap/capture_driver.h"

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "pcmtap/conversion.h"
#include "pcmtap/endpoint_activation.h"
#include "pcmtap/interface_ids.h"
#include "pcmtap/loopback_activation.h"
#include "pcmtap/on_exit.h"
#include "pcmtap/protocol.h"
#include "pcmtap/record_writer.h"
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
// Where the device honours it, a buffer of five seconds rides out a moment in
// which this thread gets no processor; it costs under a megabyte inside the
// audio engine and delays nothing, since the event still fires every device
// period. The process-loopback device is reported to keep almost nothing
// whatever is asked, which is why this thread never waits on the host.
constexpr REFERENCE_TIME kBufferDuration = 50000000;  // 5 s in 100 ns units

WAVEFORMATEX CaptureFormat() {
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 2;
  format.nSamplesPerSec = 44100;
  format.nAvgBytesPerSec = 176400;
  format.nBlockAlign = 4;
  format.wBitsPerSample = 16;
  format.cbSize = 0;
  return format;
}

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

ComPtr<IAudioClient> ActivateWithSystem(const CaptureOptions& options) {
  return ActivateProcessLoopbackClient(options);
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

// The audio side of a run, from the activation to the release of the clients.
// Members are destroyed in reverse order, so on every way out the converter
// goes first, then the capture client, then the audio client, then the
// endpoint source's enumerator.
class CaptureSession {
 public:
  CaptureSession(const CaptureOptions& options, const CapturePlatform& platform, HANDLE audioEvent,
                 RecordWriter& writer)
      : options_(options), platform_(platform), audioEvent_(audioEvent), writer_(writer),
        converter_(options.chunkFrames) {
    if (options.source == CaptureSource::Endpoint) endpoint_.emplace(options.role);
    OpenStream();
    Queue(ReadyRecord(options));
  }

  void RunUntilStopped() {
    {
      const CapturePriority priority;
      while (!g_stopRequested.load()) {
        writer_.CheckWrites();
        const DWORD wait = platform_.waitForSingleObject(audioEvent_, kWaitSliceMilliseconds);
        if (wait != WAIT_TIMEOUT && wait != WAIT_OBJECT_0) throw std::runtime_error("WaitForSingleObject failed");
        // An endpoint is asked after a time-out too: a device that went away may signal nothing.
        const bool tookPackets = captureClient_ && (wait == WAIT_OBJECT_0 || endpoint_) && DrainUnlessDeviceGone();
        if (endpoint_ && endpoint_->ReopenDue()) Reopen();
        if (!tookPackets) FillSilenceSoFar();
      }
    }
    if (audioClient_) audioClient_->Stop();
  }

 private:
  // The first start also sets where a time-true stream begins.
  void OpenStream() {
    audioClient_ = endpoint_ ? endpoint_->Activate() : platform_.activateClient(options_);
    captureClient_ = StartCapture();
    if (options_.gaps == GapPolicy::Fill && !timeline_) timeline_.emplace(PerformanceCounterTime());
    ThrowIfFailed(audioClient_->Start(), "IAudioClient::Start");
  }

  ComPtr<IAudioCaptureClient> StartCapture() {
    const WAVEFORMATEX format = CaptureFormat();
    // A render device mixes in a format of its own (often 48 kHz float, or
    // more channels); the engine converts it to ours, so the converter sees
    // one format whatever the source.
    const DWORD conversion =
        endpoint_ ? AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY : 0;
    ThrowIfFailed(audioClient_->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                           AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK |
                                               conversion,
                                           kBufferDuration, 0, &format, nullptr),
                  "IAudioClient::Initialize");
    ThrowIfFailed(audioClient_->SetEventHandle(audioEvent_), "IAudioClient::SetEventHandle");
    ComPtr<IAudioCaptureClient> captureClient;
    ThrowIfFailed(audioClient_->GetService(kIidAudioCaptureClient, captureClient.PutVoid()),
                  "IAudioClient::GetService");
    return captureClient;
  }

  void CloseStream() {
    if (audioClient_) audioClient_->Stop();
    captureClient_.Reset();
    audioClient_.Reset();
  }

  // Only the endpoint source can go on without its device: another device
  // becomes the default, or one appears. Process loopback has no other.
  bool DeviceGone(const PlatformError& failure) const {
    return endpoint_ && (failure.status() == AUDCLNT_E_DEVICE_INVALIDATED || failure.status() == E_NOTFOUND);
  }

  // The stream goes on from the present default device, whose first packets
  // follow the last ones of the old device in the same converter; while no
  // device is the default, from the next that becomes it.
  void Reopen() {
    CloseStream();
    try {
      OpenStream();
      endpoint_->Opened();
    } catch (const PlatformError& failure) {
      if (!DeviceGone(failure)) throw;
      CloseStream();
      endpoint_->RetryLater();
    }
  }

  bool DrainUnlessDeviceGone() {
    try {
      return Drain();
    } catch (const PlatformError& failure) {
      if (!DeviceGone(failure)) throw;
      CloseStream();
      endpoint_->Lost();
      return false;
    }
  }

  // Reads every pending packet; each packet is handed back before any record
  // of it is written, and its records are written before the next is taken.
  // Silence that goes before a packet is written while the packet is held.
  // Returns whether there was a packet.
  bool Drain() {
    UINT32 packetFrames = 0;
    ThrowIfFailed(captureClient_->GetNextPacketSize(&packetFrames), "GetNextPacketSize");
    const bool any = packetFrames != 0;
    while (packetFrames != 0) {
      BYTE* data = nullptr;
      UINT32 frames = 0;
      DWORD flags = 0;
      UINT64 position = 0;
      ThrowIfFailed(captureClient_->GetBuffer(&data, &frames, &flags, nullptr, timeline_ ? &position : nullptr),
                    "IAudioCaptureClient::GetBuffer");
      if (timeline_ && (flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) == 0) {
        AddSilence(timeline_->SilenceBefore(position));
      }
      converter_.AddPacket(reinterpret_cast<const std::int16_t*>(data), frames, flags);
      if (timeline_) timeline_->Advance(frames);
      ThrowIfFailed(captureClient_->ReleaseBuffer(frames), "IAudioCaptureClient::ReleaseBuffer");
      WriteChunks();
      packetFrames = 0;
      ThrowIfFailed(captureClient_->GetNextPacketSize(&packetFrames), "GetNextPacketSize");
    }
    return any;
  }

  // Nothing plays, or nothing came in time: the silence so far, if asked for.
  void FillSilenceSoFar() {
    if (timeline_) AddSilence(timeline_->SilenceUntil(PerformanceCounterTime()));
  }

  // Silence goes to the converter as null packets of a slice at most, and
  // the records of each are written at once, so that a long gap takes no more
  // memory than a short one.
  void AddSilence(std::uint64_t frames) {
    for (std::uint64_t left = frames; left > 0;) {
      const auto slice =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(left, StreamTimeline::kSilenceSliceFrames));
      converter_.AddPacket(nullptr, slice, AUDCLNT_BUFFERFLAGS_SILENT);
      WriteChunks();
      left -= slice;
    }
  }

  void WriteChunks() {
    while (converter_.TakeChunk(chunk_)) Queue(PcmRecord(nextSequence_++, chunk_));
  }

  // While the queue is full this thread waits for room, in slices; a stop
  // request ends the wait, and the record goes in over the bound.
  void Queue(std::string record) {
    writer_.Queue(std::move(record), [] { return !g_stopRequested.load(); });
  }

  const CaptureOptions options_;
  const CapturePlatform& platform_;
  HANDLE audioEvent_;
  RecordWriter& writer_;
  std::optional<DefaultRenderEndpoint> endpoint_;  // only for the endpoint source
  ComPtr<IAudioClient> audioClient_;
  ComPtr<IAudioCaptureClient> captureClient_;
  StreamConverter converter_;
  std::optional<StreamTimeline> timeline_;  // only when gaps are filled
  std::vector<std::int16_t> chunk_;
  std::uint64_t nextSequence_ = 0;
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
  return {&SetConsoleCtrlHandler, &CoInitializeEx, &CoUninitialize, &CreateEventW,
          &WaitForSingleObject,   &CloseHandle,    &ActivateWithSystem};
}

void RunCapture(CaptureOptions options) {
  RunCapture(options, SystemCapturePlatform(), std::cout);
}

void RunCapture(const CaptureOptions& options, const CapturePlatform& platform, std::ostream& out) {
  // "Ignore Ctrl+C" is inherited from whoever started us (a host that was
  // ignoring it at that moment, or a new process group): while it is set,
  // Ctrl+C calls no handler and the run could never end in order.
  platform.setConsoleCtrlHandler(nullptr, FALSE);
  platform.setConsoleCtrlHandler(&ConsoleCtrlHandler, TRUE);
  ThrowIfFailed(platform.coInitializeEx(nullptr, COINIT_MULTITHREADED), "CoInitializeEx");
  const HANDLE audioEvent = platform.createEventW(nullptr, FALSE, FALSE, nullptr);
  if (audioEvent == nullptr) throw std::runtime_error("CreateEventW failed");
  // From here every way out closes the event, then leaves the apartment.
  const OnExit leaveApartment([&platform] { platform.coUninitialize(); });
  const OnExit closeEvent([&platform, audioEvent] { platform.closeHandle(audioEvent); });
  // The clients are released first; then every record queued goes out, on
  // a failure too, before its error line.
  RecordWriter writer(out);
  CaptureSession(options, platform, audioEvent, writer).RunUntilStopped();
  writer.Finish();
}

}  // namespace pcmtap
