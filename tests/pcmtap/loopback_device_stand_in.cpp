// Test-only mmdevapi.dll standing in for the process-loopback device, which
// wine lacks, so that the unchanged pcmtap.exe runs end to end under wine.
// PCMTAP_STAND_IN_PLAN names the packets to deliver (per packet a uint32
// frame count and flags word, then its 16-bit stereo samples; flag 0x80000000
// queues the next packet in the same tick), PCMTAP_STAND_IN_FAIL a call to
// fail (<name> or <name>:<n>), PCMTAP_STAND_IN_LOG a file that gets a line per
// call. Interface ids come from the SDK, not from pcmtap, so that a wrong id
// in pcmtap shows as a refused call.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pcmtap/platform.h"

namespace {

constexpr HRESULT kInjected = AUDCLNT_E_DEVICE_INVALIDATED;
constexpr UINT32 kTogether = 0x80000000;

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

// The device: one per process, as one activation is. Packets from `taken`
// to `delivered` are queued.
struct Packet {
  BYTE* data;
  UINT32 frames, flags;
};
struct {
  std::vector<char> bytes;
  std::vector<Packet> plan;
  std::size_t taken = 0, delivered = 0;
  HANDLE event = nullptr, timer = nullptr;
  std::mutex mutex;
  Packet Front() const { return taken < delivered ? plan[taken] : Packet{}; }
} g_device;

// Every 10 ms on the timer's thread: the next packet, and those queued
// together with it, then one signal.
void CALLBACK Deliver(void*, BOOLEAN) {
  const std::lock_guard<std::mutex> lock(g_device.mutex);
  if (g_device.delivered == g_device.plan.size()) return;  // the plan has ended: silence
  while (g_device.delivered < g_device.plan.size() && (g_device.plan[g_device.delivered++].flags & kTogether)) {
  }
  // A failing wait: the event is closed, and forgotten, for wine gives its value out again.
  if (Fails("WaitForSingleObject", false)) CloseHandle(std::exchange(g_device.event, nullptr));
  else SetEvent(g_device.event);
}

template <class Interface>
struct Counted : Interface {
  explicit Counted(const char* released = nullptr) : released_(released) {}
  virtual ~Counted() {
    if (released_ != nullptr) Fails(released_);
  }
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    const bool known = IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(Interface));
    *object = known ? this : nullptr;
    if (known) AddRef();
    return known ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++count_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --count_;
    if (left == 0) delete this;
    return left;
  }
  const char* released_;
  std::atomic<ULONG> count_{1};
};

struct CaptureClient final : Counted<IAudioCaptureClient> {
  CaptureClient() : Counted("released capture client") {}
  STDMETHODIMP GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*, UINT64*) override {
    const std::lock_guard<std::mutex> lock(g_device.mutex);
    const Packet front = g_device.Front();
    *data = front.data;
    *frames = front.frames;
    *flags = front.flags & ~kTogether;
    return Fails("GetBuffer " + std::to_string(*frames) + " " + std::to_string(*flags)) ? kInjected : S_OK;
  }
  STDMETHODIMP ReleaseBuffer(UINT32 frames) override {
    const std::lock_guard<std::mutex> lock(g_device.mutex);
    if (Fails("ReleaseBuffer " + std::to_string(frames))) return kInjected;
    if (frames != g_device.Front().frames || g_device.taken == g_device.delivered) return AUDCLNT_E_INVALID_SIZE;
    ++g_device.taken;
    return S_OK;
  }
  STDMETHODIMP GetNextPacketSize(UINT32* frames) override {
    const std::lock_guard<std::mutex> lock(g_device.mutex);
    *frames = g_device.Front().frames;
    return Fails("GetNextPacketSize " + std::to_string(*frames)) ? kInjected : S_OK;
  }
};

struct AudioClient final : Counted<IAudioClient> {
  AudioClient() : Counted("released audio client") {}
  ~AudioClient() override { Halt(); }
  STDMETHODIMP Initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME buffer, REFERENCE_TIME period,
                          const WAVEFORMATEX* format, LPCGUID session) override {
    static const WAVEFORMATEX kFormat{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    if (Fails("Initialize")) return kInjected;
    if (mode != AUDCLNT_SHAREMODE_SHARED || flags != 0x00060000 || buffer != 1000000 || period != 0 || session)
      return E_INVALIDARG;
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
  STDMETHODIMP Start() override {
    if (Fails("Start")) return kInjected;
    return CreateTimerQueueTimer(&g_device.timer, nullptr, &Deliver, nullptr, 10, 10, 0) ? S_OK : E_FAIL;
  }
  STDMETHODIMP Stop() override { return Fails("Stop") ? kInjected : (Halt(), S_OK); }
  // Waits for a delivery under way to end.
  void Halt() {
    if (g_device.timer != nullptr) DeleteTimerQueueTimer(nullptr, std::exchange(g_device.timer, nullptr), INVALID_HANDLE_VALUE);
  }
  STDMETHODIMP SetEventHandle(HANDLE event) override {
    if (Fails("SetEventHandle")) return kInjected;
    g_device.event = event;
    return event != nullptr ? S_OK : E_INVALIDARG;
  }
  STDMETHODIMP GetService(REFIID riid, void** service) override {
    if (Fails("GetService")) return kInjected;
    const bool capture = IsEqualIID(riid, __uuidof(IAudioCaptureClient));
    *service = capture ? static_cast<IAudioCaptureClient*>(new CaptureClient) : nullptr;
    return capture ? S_OK : E_NOINTERFACE;
  }
};

// The audio client is made when asked for, so that only its receiver releases it.
struct Operation final : Counted<IActivateAudioInterfaceAsyncOperation> {
  Operation() : Counted("released operation") {}
  STDMETHODIMP GetActivateResult(HRESULT* status, IUnknown** activated) override {
    if (Fails("GetActivateResult", false)) return kInjected;
    *status = Fails("ActivationStatus", false) ? kInjected : S_OK;
    *activated = *status < 0 ? nullptr
                 : Fails("QueryInterface", false) ? new Counted<IUnknown>  // no audio client
                                                  : static_cast<IUnknown*>(new AudioClient);
    return S_OK;
  }
};

}  // namespace

extern "C" HRESULT WINAPI ActivateAudioInterfaceAsync(const WCHAR* path, REFIID riid, PROPVARIANT* params,
                                                      IActivateAudioInterfaceCompletionHandler* handler,
                                                      IActivateAudioInterfaceAsyncOperation** operation) {
  // The record: activation type (1: process loopback), target process, mode.
  const auto* record = reinterpret_cast<const DWORD*>(params->blob.pBlobData);
  if (std::wcscmp(path, L"VAD\\Process_Loopback") != 0 || !IsEqualIID(riid, __uuidof(IAudioClient)) ||
      params->vt != VT_BLOB || params->blob.cbSize != 12 || record[0] != 1)
    return E_INVALIDARG;
  if (Fails("ActivateAudioInterfaceAsync pid=" + std::to_string(record[1]) + " mode=" + std::to_string(record[2])))
    return kInjected;
  std::ifstream file(Variable("PCMTAP_STAND_IN_PLAN"), std::ios::binary);
  g_device.bytes.assign(std::istreambuf_iterator<char>(file), {});
  for (std::size_t at = 0; at + 8 <= g_device.bytes.size(); at += 8 + 4 * g_device.plan.back().frames) {
    UINT32 head[2];
    std::memcpy(head, &g_device.bytes[at], sizeof head);
    g_device.plan.push_back({reinterpret_cast<BYTE*>(&g_device.bytes[at + 8]), head[0], head[1]});
  }
  // The completion comes on another thread, so Windows takes agile handlers
  // only; it reaches that thread the way COM passes any interface.
  IUnknown* agile = nullptr;
  if (handler->QueryInterface(__uuidof(IAgileObject), reinterpret_cast<void**>(&agile)) < 0)
    return static_cast<HRESULT>(0x8000000E);  // E_ILLEGAL_METHOD_CALL
  agile->Release();
  IStream* passed = nullptr;
  const HRESULT marshaled =
      CoMarshalInterThreadInterfaceInStream(__uuidof(IActivateAudioInterfaceCompletionHandler), handler, &passed);
  if (marshaled < 0) return marshaled;
  auto* completion = new Operation;
  completion->AddRef();
  *operation = completion;
  std::thread([completion, passed] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IActivateAudioInterfaceCompletionHandler* unmarshaled = nullptr;
    CoGetInterfaceAndReleaseStream(passed, __uuidof(IActivateAudioInterfaceCompletionHandler),
                                   reinterpret_cast<void**>(&unmarshaled));
    unmarshaled->ActivateCompleted(completion);
    unmarshaled->Release();
    completion->Release();
    CoUninitialize();
  }).detach();
  return S_OK;
}
