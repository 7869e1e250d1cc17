// Test-only mmdevapi.dll standing in for the process-loopback device, which
// wine lacks, so that the unchanged pcmtap.exe runs end to end under wine.
// PCMTAP_STAND_IN_PLAN names the packets to play, in real time from Start
// (reference.py writes it): per packet a uint32 frame count and flags word,
// then its 16-bit stereo samples. The device's own flags (0x1, 0x2, 0x4) pass
// through; 0x20000000 is a pause and 0x10000000 a loss: their time passes
// without a packet. Like the real device, whatever buffer was asked for, it
// keeps a packet only briefly (PCMTAP_STAND_IN_BUFFER_MS, 100 by default): a
// packet that would overflow that is lost, and the next one carries the
// discontinuity flag; and its first packet is flagged discontinuous and silent
// over stale samples. Positions come from the performance counter at Start
// and the plan, advancing PCMTAP_STAND_IN_DRIFT (default 1) times as fast as
// the frames. PCMTAP_STAND_IN_FAIL names a call to fail (<name> or
// <name>:<n>; Stop hangs instead), PCMTAP_STAND_IN_LOG a file that gets a line
// per call, and one as each process that loads the stand-in ends, with its
// own "ignore Ctrl+C" attribute. Interface ids come from the SDK, not from
// pcmtap, so that a wrong id in pcmtap shows as a refused call.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pcmtap/com_ptr.h"
#include "pcmtap/platform.h"
#include "tests/pcmtap/console_flags.h"

namespace {

constexpr HRESULT kInjected = AUDCLNT_E_DEVICE_INVALIDATED;
constexpr UINT32 kPause = 0x20000000, kLoss = 0x10000000, kDiscontinuity = 0x1, kSilent = 0x2;

std::string Variable(const char* name) { return std::getenv(name) != nullptr ? std::getenv(name) : ""; }

// Logs the call (unless told not to) and tells whether it is the one to fail;
// a call's name is its first word.
bool Fails(const std::string& call, bool logged = true) {
  static std::map<std::string, int> calls;
  static std::mutex mutex;
  const std::lock_guard<std::mutex> lock(mutex);
  if (logged) std::ofstream(Variable("PCMTAP_STAND_IN_LOG"), std::ios::app | std::ios::binary) << call << '\n';
  const std::string name = call.substr(0, call.find(' '));
  const std::string fail = Variable("PCMTAP_STAND_IN_FAIL");
  return fail == name + ":" + std::to_string(++calls[name]) || (fail == name && calls[name] == 1);
}

struct Packet { BYTE* data; UINT32 frames, flags; UINT64 position; };

UINT64 Now() {  // the performance counter in 100 ns units, as positions are
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return static_cast<UINT64>(static_cast<double>(count.QuadPart) * 1e7 / static_cast<double>(frequency.QuadPart));
}

// The activation's operation, the audio client it yields and that client's
// capture client in one object with one count: the device of one run.
struct Device final : IActivateAudioInterfaceAsyncOperation, IAudioClient, IAudioCaptureClient {
  Device() {
    std::ifstream file(Variable("PCMTAP_STAND_IN_PLAN"), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(file), {});
    UINT64 planFrames = 0;  // a packet's position, in frames from the start until delivery
    for (std::size_t at = 0; at + 8 <= bytes.size(); at += 8 + 4 * plan.back().frames) {
      UINT32 head[2];
      std::memcpy(head, &bytes[at], sizeof head);
      plan.push_back({reinterpret_cast<BYTE*>(&bytes[at + 8]), head[0], head[1], planFrames});
      planFrames += head[0];
    }
    const std::string drift = Variable("PCMTAP_STAND_IN_DRIFT");
    ticksPerFrame = 1e7 / 44100 * (drift.empty() ? 1.0 : std::stod(drift));
    const std::string kept = Variable("PCMTAP_STAND_IN_BUFFER_MS");
    capacity = (kept.empty() ? 100 : std::stod(kept)) * 44.1;
  }
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
    if (Fails("GetActivateResult", false)) return kInjected;
    *status = Fails("ActivationStatus", false) ? kInjected : S_OK;
    *activated = *status < 0 ? nullptr : static_cast<IActivateAudioInterfaceAsyncOperation*>(this);
    if (*activated != nullptr) AddRef();
    return S_OK;
  }

  STDMETHODIMP Initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME, REFERENCE_TIME period,
                          const WAVEFORMATEX* format, LPCGUID session) override {
    static const WAVEFORMATEX kFormat{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    if (Fails("Initialize")) return kInjected;
    if (mode != AUDCLNT_SHAREMODE_SHARED || flags != 0x00060000 || period != 0 || session) return E_INVALIDARG;
    // The 18 bytes up to and with cbSize; padding after them is no part of the format.
    return std::memcmp(format, &kFormat, 18) == 0 ? S_OK : AUDCLNT_E_UNSUPPORTED_FORMAT;
  }
  STDMETHODIMP GetBufferSize(UINT32*) override { return E_NOTIMPL; }
  STDMETHODIMP GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
  STDMETHODIMP GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
  STDMETHODIMP IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*, WAVEFORMATEX**) override { return E_NOTIMPL; }
  STDMETHODIMP GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
  STDMETHODIMP GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
  STDMETHODIMP Reset() override { return E_NOTIMPL; }
  STDMETHODIMP SetEventHandle(HANDLE handle) override {
    event = handle;
    return Fails("SetEventHandle") ? kInjected : handle != nullptr ? S_OK : E_INVALIDARG;
  }
  STDMETHODIMP GetService(REFIID riid, void** service) override {
    if (Fails("GetService")) return kInjected;
    *service = IsEqualIID(riid, __uuidof(IAudioCaptureClient)) ? static_cast<IAudioCaptureClient*>(this) : nullptr;
    if (*service != nullptr) AddRef();
    return *service != nullptr ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP Start() override {
    if (Fails("Start")) return kInjected;
    started = Now();
    return CreateTimerQueueTimer(&timer, nullptr, &Deliver, this, 10, 10, 0) ? S_OK : E_FAIL;
  }
  STDMETHODIMP Stop() override {
    if (Fails("Stop")) Sleep(12000);  // a device that hangs: the run cannot end in time
    Halt();
    return S_OK;
  }
  // Stops the timer, waiting for a delivery under way to end; the last release halts it too.
  void Halt() {
    if (timer != nullptr) DeleteTimerQueueTimer(nullptr, std::exchange(timer, nullptr), INVALID_HANDLE_VALUE);
  }

  // Every 10 ms on the timer's thread: each packet whose last frame's time
  // has come, then one signal.
  UINT64 TimeOf(UINT64 frames) const { return started + static_cast<UINT64>(frames * ticksPerFrame + 0.5); }
  static void CALLBACK Deliver(void* context, BOOLEAN) {
    Device& d = *static_cast<Device*>(context);
    const std::lock_guard<std::mutex> lock(d.mutex);
    const std::size_t queued = d.queue.size();
    for (; d.delivered < d.plan.size() && d.TimeOf(d.plan[d.delivered].position + d.plan[d.delivered].frames) <= Now();
         ++d.delivered) {
      Packet packet = d.plan[d.delivered];
      const bool lost = packet.flags & kLoss || (!(packet.flags & kPause) && d.queuedFrames + packet.frames > d.capacity);
      d.missed |= lost;
      if (lost || packet.flags & kPause) continue;
      packet.flags |= std::exchange(d.missed, false) ? kDiscontinuity : 0;
      packet.flags |= std::exchange(d.fresh, false) ? kDiscontinuity | kSilent : 0;
      packet.position = d.TimeOf(packet.position);
      d.queue.push_back(packet);
      d.queuedFrames += packet.frames;
    }
    if (d.queue.size() == queued) return;
    // A failing wait: the event is closed, and forgotten, for wine gives its value out again.
    if (Fails("WaitForSingleObject", false)) CloseHandle(std::exchange(d.event, nullptr));
    else SetEvent(d.event);
  }
  Packet Front() const { return queue.empty() ? Packet{} : queue.front(); }
  STDMETHODIMP GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*, UINT64* position) override {
    const std::lock_guard<std::mutex> lock(mutex);
    const Packet front = Front();
    *data = front.data, *frames = front.frames, *flags = front.flags;
    if (position != nullptr) *position = front.position;
    return Fails("GetBuffer " + std::to_string(*frames) + " " + std::to_string(*flags) + (position ? " position" : ""))
               ? kInjected : S_OK;
  }
  STDMETHODIMP ReleaseBuffer(UINT32 frames) override {
    const std::lock_guard<std::mutex> lock(mutex);
    if (Fails("ReleaseBuffer " + std::to_string(frames))) return kInjected;
    if (frames != Front().frames || queue.empty()) return AUDCLNT_E_INVALID_SIZE;
    queuedFrames -= frames;
    queue.pop_front();
    return S_OK;
  }
  STDMETHODIMP GetNextPacketSize(UINT32* frames) override {
    const std::lock_guard<std::mutex> lock(mutex);
    *frames = Front().frames;
    return Fails("GetNextPacketSize " + std::to_string(*frames)) ? kInjected : S_OK;
  }

  std::atomic<ULONG> count{1};
  std::vector<char> bytes;
  std::vector<Packet> plan;
  std::size_t delivered = 0;  // packets of the plan whose time has come
  std::deque<Packet> queue;  // delivered and not yet read
  UINT64 started = 0;
  double queuedFrames = 0, capacity = 0, ticksPerFrame = 0;
  bool missed = false;  // a packet was lost since the last one queued
  bool fresh = true;    // no packet delivered since Start
  HANDLE event = nullptr, timer = nullptr;
  std::mutex mutex;
  std::thread completion;
  std::atomic<DWORD> completionId{0};
};

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
  if (Fails("ActivateAudioInterfaceAsync pid=" + std::to_string(record[1]) + " mode=" + std::to_string(record[2])))
    return kInjected;
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
  auto* device = new Device;
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

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_DETACH) Fails(IgnoresCtrlC() ? "exit ignoring Ctrl+C" : "exit taking Ctrl+C");
  return TRUE;
}
