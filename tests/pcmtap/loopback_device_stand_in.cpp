// Test-only mmdevapi.dll standing in for the audio devices that wine lacks:
// the process-loopback device (ActivateAudioInterfaceAsync), and the default
// render devices' loopback and their audio sessions (the MMDeviceEnumerator
// class, when the test's prefix registers this file for it), so that the
// unchanged pcmtap.exe runs end to end under wine. The sessions are
// PCMTAP_STAND_IN_SESSIONS (see Session below).
// PCMTAP_STAND_IN_PLAN names the packets to play, in real time from the first
// Start or from PCMTAP_STAND_IN_ORIGIN, a performance-counter time that
// captures in several processes share (reference.py writes it): per packet a
// uint32 frame count and flags word, then its frames. The device's own flags
// (0x1, 0x2, 0x4) pass through; 0x20000000 is a pause and 0x10000000 a loss:
// their time passes without a packet. 0x08000000 makes the next device the
// default (with a notification for its flow and every role), 0x04000000 makes
// the present one unusable and leaves none the default until the next
// change; each device plays only the packets between its markers. 0x00800000
// notifies changes that concern no default followed (another flow, the
// multimedia role); 0x02000000 and 0x01000000 turn the endpoint mute on and
// off. The default devices of both flows are the same devices. Like the real devices, whatever buffer was
// asked for, a device keeps a packet only briefly: while the reader leaves a
// packet unread for more than 100 ms of the device's own running, what it
// captures is lost (a "lost" line in the log), and the next packet queued
// carries the discontinuity flag; and its first packet is flagged
// discontinuous and silent over stale samples. Positions come from the
// performance counter at the first Start and the plan.
// PCMTAP_STAND_IN_FAIL names a call to fail (<name> or <name>:<n>, and
// =<status in hexadecimal> for another status than a device gone; Stop hangs
// instead), PCMTAP_STAND_IN_LOG a file that gets a line per call, one with the
// first Start's time, and one as each process that loads the stand-in ends,
// with its own "ignore Ctrl+C" attribute. Interface ids come from the SDK,
// not from pcmtap, so that a wrong id in pcmtap shows as a refused call.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pcmtap/com_ptr.h"
#include "pcmtap/platform.h"
#include "tests/pcmtap/console_flags.h"

namespace {

constexpr UINT32 kPause = 0x20000000, kLoss = 0x10000000, kChange = 0x08000000, kGone = 0x04000000;
constexpr UINT32 kMute = 0x02000000, kUnmute = 0x01000000, kDecoy = 0x00800000;
constexpr UINT32 kMarkers = kPause | kChange | kGone | kMute | kUnmute | kDecoy;  // time without a packet
constexpr UINT32 kDiscontinuity = 0x1, kSilent = 0x2;
// How long a device keeps a packet unread, on its own clock: the time it ran
// on schedule. A real device runs on time; this one is a timer callback,
// which a loaded machine may hold up for hundreds of milliseconds, the
// reader with it. Each round counts for at most two periods, so that a
// device that was itself late never charges its lateness to the reader,
// while a reader that stalls on its own is still caught within 100 ms.
constexpr UINT64 kKeptTime = 1000000, kLongestRound = 200000;  // 100 ns units
constexpr CLSID kEnumeratorClass = {0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};

std::string Variable(const char* name) { return std::getenv(name) != nullptr ? std::getenv(name) : ""; }

// Logs the call (unless told not to) and tells whether it is the one to fail;
// a call's name is its first word.
bool Fails(const std::string& call, bool logged = true) {
  static std::map<std::string, int> calls;
  static std::mutex mutex;
  // Opened once and never closed, so that the last line, written as the
  // process ends, still finds it. Opened to append only, so that each line,
  // written whole by one call, lands after every other, from this process
  // or another that logs to the same file.
  static const HANDLE log = Variable("PCMTAP_STAND_IN_LOG").empty()
                                ? INVALID_HANDLE_VALUE
                                : CreateFileA(Variable("PCMTAP_STAND_IN_LOG").c_str(), FILE_APPEND_DATA,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
  const std::lock_guard<std::mutex> lock(mutex);
  const std::string line = call + '\n';
  DWORD written = 0;
  if (logged && log != INVALID_HANDLE_VALUE) WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  const std::string name = call.substr(0, call.find(' '));
  std::string fail = Variable("PCMTAP_STAND_IN_FAIL");
  fail.resize(std::min(fail.size(), fail.find('=')));
  return fail == name + ":" + std::to_string(++calls[name]) || (fail == name && calls[name] == 1);
}

// The status of the failed call: PCMTAP_STAND_IN_FAIL's after "=", in
// hexadecimal, or that of a device that went away.
HRESULT Injected() {
  const std::string fail = Variable("PCMTAP_STAND_IN_FAIL");
  const std::size_t status = fail.find('=');
  return status == std::string::npos ? AUDCLNT_E_DEVICE_INVALIDATED
                                     : static_cast<HRESULT>(std::stoul(fail.substr(status + 1), nullptr, 16));
}

UINT64 Now() {  // the performance counter in 100 ns units, as positions are
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return static_cast<UINT64>(static_cast<double>(count.QuadPart) * 1e7 / static_cast<double>(frequency.QuadPart));
}

// A packet, with where it starts and ends in ticks from the first Start, the
// number of the render device that plays it (the changes of default before
// it) and, once queued, the device's own clock then.
struct Packet { BYTE* data; UINT32 frames, flags; UINT64 position, end; int device; UINT64 queuedAt; };

// A format marker (frame count 0xFFFFFFFD) holds the WAVEFORMATEX bytes, as
// many as its flags word says, of the packets after it; the first device's
// come first. Without one, packets are 44.1 kHz stereo 16-bit. A device's mix
// format is that of its first packet.
constexpr UINT32 kFormatMarker = 0xFFFFFFFD;
const std::string kLinearFormat("\x01\x00\x02\x00\x44\xAC\x00\x00\x10\xB1\x02\x00\x04\x00\x10\x00\x00\x00", 18);
// Time in ticks of 1/28,224,000 s: a whole number of them for a frame at
// every rate from 8 to 192 kHz that devices use.
constexpr UINT64 kTicksPerSecond = 28224000;

template <class Field>
Field FieldOf(const std::string& format, std::size_t offset) {
  Field field;
  std::memcpy(&field, format.data() + offset, sizeof field);
  return field;
}

struct Plan {
  Plan() : bytes(std::istreambuf_iterator<char>(file), {}) {
    std::string format = kLinearFormat;
    for (std::size_t at = 0; at + 8 <= bytes.size();) {
      UINT32 head[2];
      std::memcpy(head, &bytes[at], sizeof head);
      at += 8;
      if (head[0] == kFormatMarker) {
        format.assign(&bytes[at], head[1]);
        at += head[1];
        continue;
      }
      const Packet last = packets.empty() ? Packet{} : packets.back();
      const UINT64 end = last.end + head[0] * (kTicksPerSecond / FieldOf<DWORD>(format, 4));
      packets.push_back({reinterpret_cast<BYTE*>(&bytes[at]), head[0], head[1], last.end, end,
                         last.device + ((last.flags & kChange) != 0), 0});
      mixFormats.emplace(packets.back().device, format);
      at += head[0] * std::size_t{FieldOf<WORD>(format, 12)};
    }
  }
  UINT64 TimeOf(UINT64 ticks) const { return origin + (ticks * 10000000 + kTicksPerSecond / 2) / kTicksPerSecond; }
  // What the markers played so far make of the devices: the default one
  // (-1: none) and whether its endpoint mute is on.
  struct State { int device; bool muted; };
  State Now() const {
    const UINT64 now = origin == 0 ? 0 : ::Now();  // before the first Start, time stands at 0
    State state{0, false};
    for (const Packet& marker : packets) {
      if (TimeOf(marker.position) > now) break;
      if (marker.flags & (kChange | kGone)) state.device = marker.flags & kChange ? marker.device + 1 : -1;
      if (marker.flags & (kMute | kUnmute)) state.muted = (marker.flags & kMute) != 0;
    }
    return state;
  }

  std::ifstream file{Variable("PCMTAP_STAND_IN_PLAN"), std::ios::binary};
  std::vector<char> bytes;
  std::vector<Packet> packets;
  const std::string& MixFormat(int device) const {
    const auto found = mixFormats.find(device);
    return found != mixFormats.end() ? found->second : kLinearFormat;
  }

  std::map<int, std::string> mixFormats;  // by device
  std::atomic<UINT64> origin{Variable("PCMTAP_STAND_IN_ORIGIN").empty()
                                 ? 0
                                 : std::stoull(Variable("PCMTAP_STAND_IN_ORIGIN"))};  // the first Start's time
};

Plan& ThePlan() { static Plan plan; return plan; }

std::atomic<IMMNotificationClient*> g_listener{nullptr};

// What pcmtap never calls.
#define NOT_CALLED(method, ...) STDMETHODIMP method(__VA_ARGS__) override { return E_NOTIMPL; }

// The activation's operation, the audio client it yields and that client's
// capture client in one object with one count: one device of one run.
struct Device final : IActivateAudioInterfaceAsyncOperation, IAudioClient, IAudioCaptureClient {
  enum Kind { kProcessLoopback, kRenderLoopback, kCapture };
  Device(int number, Kind kind) : number(number), kind(kind) {}
  ~Device() { Halt(); Fails("released device"); }

  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    const bool operation =
        IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(IActivateAudioInterfaceAsyncOperation));
    const bool client = IsEqualIID(riid, __uuidof(IAudioClient)) && !Fails("QueryInterface", false);
    *object = operation ? static_cast<IActivateAudioInterfaceAsyncOperation*>(this)
              : client  ? static_cast<void*>(static_cast<IAudioClient*>(this)) : nullptr;
    if (*object != nullptr) AddRef();
    return *object != nullptr ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++count; }
  // A release on any thread but the completion's waits for that thread to
  // end, so that none of its work races the process's exit.
  STDMETHODIMP_(ULONG) Release() override {
    if (GetCurrentThreadId() != completionId && completion.joinable()) completion.join();
    const ULONG left = --count;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP GetActivateResult(HRESULT* status, IUnknown** activated) override {
    if (Fails("GetActivateResult", false)) return Injected();
    *status = Fails("ActivationStatus", false) ? Injected() : S_OK;
    *activated = *status < 0 ? nullptr : static_cast<IActivateAudioInterfaceAsyncOperation*>(this);
    if (*activated != nullptr) AddRef();
    return S_OK;
  }

  // The buffer asked for is checked, though this device, like the real one,
  // keeps what it keeps. The process-loopback device takes 44.1 kHz stereo
  // 16-bit, what its plan holds; a render device's loopback its mix format,
  // or with the engine's conversion the same 44.1 kHz format where that is
  // its mix format (this one converts nothing); a capture device its mix
  // format, event-driven and nothing else. The flags and the format asked
  // for, its mix format or not, go to the log.
  STDMETHODIMP Initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME buffer, REFERENCE_TIME period,
                          const WAVEFORMATEX* format, LPCGUID session) override {
    constexpr DWORD kEvents = 0x00040000, kLoopback = 0x00060000, kConverting = 0x88060000;
    if (Fails("Initialize")) return Injected();
    // The 18 bytes up to and with cbSize, then the extension it counts; padding is no part of a format.
    const std::string asked(reinterpret_cast<const char*>(format), 18 + format->cbSize);
    const std::string& mix = kind == kProcessLoopback ? kLinearFormat : ThePlan().MixFormat(number);
    char flagsText[16];
    std::snprintf(flagsText, sizeof flagsText, "0x%08lx", flags);
    Fails(std::string("format ") + flagsText + (asked == kLinearFormat ? " linear" : asked == mix ? " mix" : " other"));
    const bool flagsTaken = kind == kCapture ? flags == kEvents
                                             : flags == kLoopback || (flags == kConverting && kind == kRenderLoopback);
    if (mode != AUDCLNT_SHAREMODE_SHARED || !flagsTaken || buffer != 50000000 || period != 0 || session)
      return E_INVALIDARG;
    return asked == mix ? S_OK : AUDCLNT_E_UNSUPPORTED_FORMAT;
  }
  // The process-loopback device has no mix format (E_NOTIMPL, as reported).
  STDMETHODIMP GetMixFormat(WAVEFORMATEX** format) override {
    *format = nullptr;
    if (kind == kProcessLoopback) return E_NOTIMPL;
    if (Fails("GetMixFormat")) return Injected();
    const std::string& mix = ThePlan().MixFormat(number);
    *format = static_cast<WAVEFORMATEX*>(CoTaskMemAlloc(mix.size()));
    std::memcpy(*format, mix.data(), mix.size());
    return S_OK;
  }
  NOT_CALLED(GetBufferSize, UINT32*) NOT_CALLED(GetStreamLatency, REFERENCE_TIME*) NOT_CALLED(GetCurrentPadding, UINT32*)
  NOT_CALLED(IsFormatSupported, AUDCLNT_SHAREMODE, const WAVEFORMATEX*, WAVEFORMATEX**)
  NOT_CALLED(GetDevicePeriod, REFERENCE_TIME*, REFERENCE_TIME*) NOT_CALLED(Reset)
  STDMETHODIMP SetEventHandle(HANDLE handle) override {
    event = handle;
    return Fails("SetEventHandle") ? Injected() : handle != nullptr ? S_OK : E_INVALIDARG;
  }
  STDMETHODIMP GetService(REFIID riid, void** service) override {
    if (Fails("GetService")) return Injected();
    *service = IsEqualIID(riid, __uuidof(IAudioCaptureClient)) ? static_cast<IAudioCaptureClient*>(this) : nullptr;
    if (*service != nullptr) AddRef();
    return *service != nullptr ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP Start() override {
    if (Fails("Start")) return Injected();
    started = lastRound = Now();
    UINT64 none = 0;
    if (ThePlan().origin.compare_exchange_strong(none, started)) Fails("origin " + std::to_string(started));
    return CreateTimerQueueTimer(&timer, nullptr, &Deliver, this, 10, 10, 0) ? S_OK : E_FAIL;
  }
  STDMETHODIMP Stop() override {
    if (Fails("Stop")) Sleep(12000);  // a device that hangs: the run cannot end in time
    Halt();
    return S_OK;
  }
  // Stops the timer, waiting for a delivery under way to end; the last release halts it too.
  void Halt() { if (timer != nullptr) DeleteTimerQueueTimer(nullptr, std::exchange(timer, nullptr), INVALID_HANDLE_VALUE); }

  // Every 10 ms on the timer's thread: each packet of this device whose last
  // frame's time has come and that was played after its Start, then one
  // signal. At the marker that ends its packets it hands over to the next.
  static void CALLBACK Deliver(void* context, BOOLEAN) {
    Device& d = *static_cast<Device*>(context);
    const Plan& plan = ThePlan();
    const std::lock_guard<std::mutex> lock(d.mutex);
    const UINT64 now = Now();
    d.clock += std::min(now - std::exchange(d.lastRound, now), kLongestRound);
    const std::size_t queued = d.queue.size();
    for (; d.delivered < plan.packets.size() && plan.TimeOf(plan.packets[d.delivered].end) <= now; ++d.delivered) {
      Packet packet = plan.packets[d.delivered];
      if (packet.device != d.number || plan.TimeOf(packet.position) < d.started) continue;
      d.Notify(packet.flags);
      d.gone |= (packet.flags & kGone) != 0;
      if (packet.flags & kMarkers) continue;  // time that passes without a packet
      const bool overrun = !d.queue.empty() && d.clock - d.queue.front().queuedAt > kKeptTime;
      if (overrun) Fails("lost " + std::to_string(d.delivered));
      d.missed |= overrun || packet.flags & kLoss;
      if (overrun || packet.flags & kLoss) continue;
      packet.flags |= std::exchange(d.missed, false) ? kDiscontinuity : 0;
      packet.flags |= std::exchange(d.fresh, false) ? kDiscontinuity | kSilent : 0;
      packet.position = plan.TimeOf(packet.position);
      packet.queuedAt = d.clock;
      d.queue.push_back(packet);
    }
    if (d.queue.size() == queued) return;
    // A failing wait: the event is closed, and forgotten, for wine gives its value out again.
    if (Fails("WaitForSingleObject", false)) CloseHandle(std::exchange(d.event, nullptr));
    else SetEvent(d.event);
  }
  // A change of the default device: for its flow and every role. Decoys:
  // changes of the other flow, and of the multimedia role, which no source
  // follows.
  void Notify(UINT32 flags) const {
    IMMNotificationClient* listener = g_listener;
    if (listener == nullptr || !(flags & (kChange | kDecoy))) return;
    const EDataFlow flow = kind == kCapture ? eCapture : eRender, other = kind == kCapture ? eRender : eCapture;
    for (const ERole role : {eConsole, eMultimedia, eCommunications}) {
      if (flags & kChange) listener->OnDefaultDeviceChanged(flow, role, L"next");
      if (flags & kDecoy) listener->OnDefaultDeviceChanged(role == eMultimedia ? flow : other, role, L"same");
    }
  }
  Packet Front() const { return queue.empty() ? Packet{} : queue.front(); }
  STDMETHODIMP GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*, UINT64* position) override {
    const std::lock_guard<std::mutex> lock(mutex);
    const Packet front = Front();
    *data = front.data, *frames = front.frames, *flags = front.flags;
    if (position != nullptr) *position = front.position;
    return Fails("GetBuffer " + std::to_string(*frames) + " " + std::to_string(*flags) + (position ? " position" : ""))
               ? Injected() : S_OK;
  }
  STDMETHODIMP ReleaseBuffer(UINT32 frames) override {
    const std::lock_guard<std::mutex> lock(mutex);
    if (Fails("ReleaseBuffer " + std::to_string(frames))) return Injected();
    if (frames != Front().frames || queue.empty()) return AUDCLNT_E_INVALID_SIZE;
    queue.pop_front();
    return S_OK;
  }
  STDMETHODIMP GetNextPacketSize(UINT32* frames) override {
    const std::lock_guard<std::mutex> lock(mutex);
    *frames = Front().frames;
    return Fails("GetNextPacketSize " + std::to_string(*frames)) ? Injected()
           : gone && queue.empty() ? AUDCLNT_E_DEVICE_INVALIDATED : S_OK;
  }

  const int number;  // of the default device; 0 for process loopback
  const Kind kind;
  std::atomic<ULONG> count{1};
  std::size_t delivered = 0;  // packets of the plan whose time has come
  std::deque<Packet> queue;  // delivered and not yet read
  UINT64 started = 0;
  UINT64 clock = 0, lastRound = 0;  // the device's own clock, and the time of its last round
  bool missed = false;  // a packet was lost since the last one queued
  bool fresh = true;    // no packet delivered since Start
  bool gone = false;    // unusable once what it delivered is read
  HANDLE event = nullptr, timer = nullptr;
  std::mutex mutex;
  std::thread completion;
  std::atomic<DWORD> completionId{0};
};

std::atomic<DWORD> g_target{0};  // the process-loopback activation's target process
std::vector<HANDLE> g_children;  // started by sessions, ended with this process

// An audio session of PCMTAP_STAND_IN_SESSIONS (one per ';'): its process
// ("target": the activation's target; "child": one that this process starts
// when it is first asked after the session's start, so a descendant that
// comes after the capture began; or an id), whether it is active and muted,
// its volume, and the peak that it shows from one time to another, in seconds
// from the first Start.
struct Session final : IAudioSessionControl2, IAudioMeterInformation, ISimpleAudioVolume {
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    static const IID kMeter = {0xC02216F6, 0x8C67, 0x4B5B, {0x9D, 0x00, 0xD0, 0x08, 0xE7, 0x3E, 0x00, 0x64}};
    *object = IsEqualIID(riid, __uuidof(IAudioSessionControl)) || IsEqualIID(riid, __uuidof(IAudioSessionControl2))
                  ? static_cast<void*>(static_cast<IAudioSessionControl2*>(this))
              : IsEqualIID(riid, kMeter) ? static_cast<void*>(static_cast<IAudioMeterInformation*>(this))
              : IsEqualIID(riid, __uuidof(ISimpleAudioVolume)) ? static_cast<ISimpleAudioVolume*>(this) : nullptr;
    return *object != nullptr ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  static double Seconds() { return ThePlan().origin == 0 ? 0 : static_cast<double>(Now() - ThePlan().origin) / 1e7; }

  STDMETHODIMP GetState(AudioSessionState* state) override { *state = AudioSessionState(active); return S_OK; }
  // A child's session plays only once its process is there.
  STDMETHODIMP GetPeakValue(float* level) override {
    *level = Seconds() >= from && Seconds() < to && (who != "child" || processId != 0) ? peak : 0;
    return S_OK;
  }
  STDMETHODIMP GetMasterVolume(float* level) override { *level = volume; return S_OK; }
  STDMETHODIMP GetMute(BOOL* on) override { *on = muted; return S_OK; }
  STDMETHODIMP IsSystemSoundsSession() override { return S_FALSE; }
  // Called by the watch's thread alone.
  STDMETHODIMP GetProcessId(DWORD* id) override {
    if (who == "child" && processId == 0 && Seconds() >= from) {
      STARTUPINFOW startup{};
      startup.cb = sizeof startup;
      PROCESS_INFORMATION child{};
      wchar_t command[] = L"cmd.exe";
      CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr,
                     &startup, &child);
      g_children.push_back(child.hProcess);
      processId = child.dwProcessId;
    }
    *id = who == "target" ? g_target.load() : who == "child" ? processId : std::stoul(who);
    return S_OK;
  }
  NOT_CALLED(GetDisplayName, LPWSTR*) NOT_CALLED(SetDisplayName, LPCWSTR, LPCGUID) NOT_CALLED(GetIconPath, LPWSTR*)
  NOT_CALLED(SetIconPath, LPCWSTR, LPCGUID) NOT_CALLED(GetGroupingParam, GUID*) NOT_CALLED(SetGroupingParam, LPCGUID, LPCGUID)
  NOT_CALLED(RegisterAudioSessionNotification, IAudioSessionEvents*) NOT_CALLED(GetSessionIdentifier, LPWSTR*)
  NOT_CALLED(UnregisterAudioSessionNotification, IAudioSessionEvents*) NOT_CALLED(SetDuckingPreference, BOOL)
  NOT_CALLED(GetSessionInstanceIdentifier, LPWSTR*) NOT_CALLED(GetMeteringChannelCount, UINT*)
  NOT_CALLED(GetChannelsPeakValues, UINT32, float*)
  NOT_CALLED(QueryHardwareSupport, DWORD*) NOT_CALLED(SetMasterVolume, float, LPCGUID) NOT_CALLED(SetMute, BOOL, LPCGUID)

  std::string who;
  BOOL active = 0, muted = 0;
  float volume = 0, peak = 0;
  double from = 0, to = 0;
  DWORD processId = 0;
};

std::deque<Session> ReadSessions() {
  std::deque<Session> sessions;
  std::istringstream all(Variable("PCMTAP_STAND_IN_SESSIONS"));
  for (std::string text; std::getline(all, text, ';');) {
    Session& s = sessions.emplace_back();
    std::istringstream(text) >> s.who >> s.active >> s.muted >> s.volume >> s.peak >> s.from >> s.to;
  }
  return sessions;
}

IAudioSessionManager2* SessionManager();


// A device as GetDefaultAudioEndpoint gives it: the default device of a flow
// at that moment, its client, its sessions and its endpoint mute, as the plan
// turns it on and off.
struct DefaultDevice final : IMMDevice, IAudioEndpointVolume {
  DefaultDevice(int number, EDataFlow flow) : number(number), flow(flow) {}
  STDMETHODIMP QueryInterface(REFIID, void** object) override { *object = nullptr; return E_NOINTERFACE; }
  STDMETHODIMP_(ULONG) AddRef() override { return ++count; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --count;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP Activate(REFIID riid, DWORD, PROPVARIANT* parameters, void** object) override {
    const bool volume = IsEqualIID(riid, __uuidof(IAudioEndpointVolume)) && AddRef() > 0;
    *object = IsEqualIID(riid, __uuidof(IAudioSessionManager2)) ? static_cast<void*>(SessionManager())
              : volume ? static_cast<IAudioEndpointVolume*>(this) : nullptr;
    if (*object != nullptr || Fails("Activate")) return *object != nullptr ? S_OK : Injected();
    if (!IsEqualIID(riid, __uuidof(IAudioClient)) || parameters != nullptr) return E_NOINTERFACE;
    *object = static_cast<IAudioClient*>(new Device(number, flow == eCapture ? Device::kCapture : Device::kRenderLoopback));
    return S_OK;
  }
  NOT_CALLED(OpenPropertyStore, DWORD, IPropertyStore**) NOT_CALLED(GetId, LPWSTR*) NOT_CALLED(GetState, DWORD*)
  STDMETHODIMP GetMute(BOOL* muted) override {
    *muted = ThePlan().Now().muted;
    return Fails("GetMute", false) ? Injected() : S_OK;
  }
  NOT_CALLED(RegisterControlChangeNotify, IAudioEndpointVolumeCallback*) NOT_CALLED(GetChannelCount, UINT*)
  NOT_CALLED(UnregisterControlChangeNotify, IAudioEndpointVolumeCallback*) NOT_CALLED(SetMute, BOOL, LPCGUID)
  NOT_CALLED(SetMasterVolumeLevel, float, LPCGUID) NOT_CALLED(SetMasterVolumeLevelScalar, float, LPCGUID)
  NOT_CALLED(GetMasterVolumeLevel, float*) NOT_CALLED(GetMasterVolumeLevelScalar, float*) NOT_CALLED(VolumeStepUp, LPCGUID)
  NOT_CALLED(SetChannelVolumeLevel, UINT, float, LPCGUID) NOT_CALLED(SetChannelVolumeLevelScalar, UINT, float, LPCGUID)
  NOT_CALLED(GetChannelVolumeLevel, UINT, float*) NOT_CALLED(GetChannelVolumeLevelScalar, UINT, float*)
  NOT_CALLED(GetVolumeStepInfo, UINT*, UINT*) NOT_CALLED(VolumeStepDown, LPCGUID) NOT_CALLED(QueryHardwareSupport, DWORD*)
  NOT_CALLED(GetVolumeRange, float*, float*, float*)

  const int number;
  const EDataFlow flow;
  std::atomic<ULONG> count{1};
};

// The enumerator's class factory, the enumerator, the collection of active
// render devices (the default one alone), and its sessions' manager and
// enumerator in one object that lives as long as the process.
struct RenderEndpoints final : IClassFactory, IMMDeviceEnumerator, IMMDeviceCollection, IAudioSessionManager2,
                               IAudioSessionEnumerator {
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    *object = IsEqualIID(riid, __uuidof(IClassFactory)) || IsEqualIID(riid, __uuidof(IUnknown))
                  ? static_cast<void*>(static_cast<IClassFactory*>(this))
              : IsEqualIID(riid, __uuidof(IMMDeviceEnumerator)) ? static_cast<IMMDeviceEnumerator*>(this)
                                                                 : nullptr;
    return *object != nullptr ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (Fails("CreateInstance")) return Injected();
    return outer != nullptr ? CLASS_E_NOAGGREGATION : QueryInterface(riid, object);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

  STDMETHODIMP EnumAudioEndpoints(EDataFlow flow, DWORD states, IMMDeviceCollection** devices) override {
    *devices = flow == eRender && states == DEVICE_STATE_ACTIVE ? this : nullptr;
    return *devices != nullptr ? S_OK : E_INVALIDARG;
  }
  STDMETHODIMP GetCount(UINT* count) override { *count = 1; return S_OK; }
  STDMETHODIMP Item(UINT, IMMDevice** device) override { *device = new DefaultDevice(0, eRender); return S_OK; }
  STDMETHODIMP GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** device) override {
    *device = nullptr;
    if (Fails("GetDefaultAudioEndpoint flow=" + std::to_string(flow) + " role=" + std::to_string(role))) return E_NOTFOUND;
    const int number = ThePlan().Now().device;
    *device = number >= 0 ? new DefaultDevice(number, flow) : nullptr;
    return number >= 0 ? S_OK : E_NOTFOUND;
  }
  STDMETHODIMP RegisterEndpointNotificationCallback(IMMNotificationClient* listener) override {
    g_listener = listener;
    return Fails("RegisterEndpointNotificationCallback") ? Injected() : S_OK;
  }
  STDMETHODIMP UnregisterEndpointNotificationCallback(IMMNotificationClient*) override {
    g_listener = nullptr;
    return Fails("UnregisterEndpointNotificationCallback") ? Injected() : S_OK;
  }

  // The sessions in the order given; a failing enumeration answers as wine does.
  STDMETHODIMP GetSessionEnumerator(IAudioSessionEnumerator** sessions) override {
    *sessions = Fails("GetSessionEnumerator", false) ? nullptr : this;
    return *sessions != nullptr ? S_OK : E_NOTIMPL;
  }
  STDMETHODIMP GetCount(int* count) override { *count = static_cast<int>(sessions.size()); return S_OK; }
  STDMETHODIMP GetSession(int index, IAudioSessionControl** session) override {
    *session = index >= 0 && index < static_cast<int>(sessions.size()) ? &sessions[index] : nullptr;
    return *session != nullptr ? S_OK : E_INVALIDARG;
  }

  NOT_CALLED(GetDevice, LPCWSTR, IMMDevice**) NOT_CALLED(GetAudioSessionControl, LPCGUID, DWORD, IAudioSessionControl**)
  NOT_CALLED(GetSimpleAudioVolume, LPCGUID, DWORD, ISimpleAudioVolume**)
  NOT_CALLED(RegisterSessionNotification, IAudioSessionNotification*)
  NOT_CALLED(UnregisterSessionNotification, IAudioSessionNotification*)
  NOT_CALLED(RegisterDuckNotification, LPCWSTR, IAudioVolumeDuckNotification*)
  NOT_CALLED(UnregisterDuckNotification, IAudioVolumeDuckNotification*)

  std::deque<Session> sessions = ReadSessions();
} g_renderEndpoints;

IAudioSessionManager2* SessionManager() { return &g_renderEndpoints; }

}  // namespace

extern "C" HRESULT WINAPI ActivateAudioInterfaceAsync(const WCHAR* path, REFIID riid, PROPVARIANT* params,
                                                      IActivateAudioInterfaceCompletionHandler* handler,
                                                      IActivateAudioInterfaceAsyncOperation** operation) {
  // The record: activation type (1: process loopback), target process, mode.
  const auto* record = reinterpret_cast<const DWORD*>(params->blob.pBlobData);
  if (std::wcscmp(path, L"VAD\\Process_Loopback") != 0 || !IsEqualIID(riid, __uuidof(IAudioClient)) ||
      params->vt != VT_BLOB || params->wReserved1 || params->wReserved2 || params->wReserved3 ||
      params->blob.cbSize != 12 || record[0] != 1)
    return E_INVALIDARG;
  Fails("process " + std::to_string(GetCurrentProcessId()));  // the capture's own id, for a stop
  g_target = record[1];
  if (Fails("ActivateAudioInterfaceAsync pid=" + std::to_string(record[1]) + " mode=" + std::to_string(record[2])))
    return Injected();
  // The completion comes on another thread, so Windows takes agile handlers
  // only; it reaches that thread the way COM passes any interface.
  pcmtap::ComPtr<IUnknown> agile;
  if (handler->QueryInterface(__uuidof(IAgileObject), agile.PutVoid()) < 0)
    return static_cast<HRESULT>(0x8000000E);  // E_ILLEGAL_METHOD_CALL
  IStream* passed = nullptr;
  const HRESULT marshaled =
      CoMarshalInterThreadInterfaceInStream(__uuidof(IActivateAudioInterfaceCompletionHandler), handler, &passed);
  if (marshaled < 0) return marshaled;
  // The caller's reference keeps the device for the completion: it waits for
  // the completion before releasing the operation.
  auto* device = new Device(0, Device::kProcessLoopback);
  *operation = device;
  device->completion = std::thread([device, passed] {
    device->completionId = GetCurrentThreadId();
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IActivateAudioInterfaceCompletionHandler* unmarshaled = nullptr;
    CoGetInterfaceAndReleaseStream(passed, __uuidof(IActivateAudioInterfaceCompletionHandler),
                                   reinterpret_cast<void**>(&unmarshaled));
    unmarshaled->ActivateCompleted(device);
    unmarshaled->Release();
    CoUninitialize();
  });
  return S_OK;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** object) {
  *object = nullptr;
  return IsEqualCLSID(rclsid, kEnumeratorClass) ? g_renderEndpoints.QueryInterface(riid, object)
                                                : CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_DETACH) return TRUE;
  Fails(IgnoresCtrlC() ? "exit ignoring Ctrl+C" : "exit taking Ctrl+C");
  for (HANDLE child : g_children) TerminateProcess(child, 0);
  return TRUE;
}
