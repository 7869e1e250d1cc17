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

#include "pcmtap/com_ptr.h"
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

struct Packet { BYTE* data; UINT32 frames, flags; };

// The activation's operation, the audio client it yields and that client's
// capture client in one object with one count: the device of one run.
struct Device final : IActivateAudioInterfaceAsyncOperation, IAudioClient, IAudioCaptureClient {
  Device() {
    std::ifstream file(Variable("PCMTAP_STAND_IN_PLAN"), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(file), {});
    for (std::size_t at = 0; at + 8 <= bytes.size(); at += 8 + 4 * plan.back().frames) {
      UINT32 head[2];
      std::memcpy(head, &bytes[at], sizeof head);
      plan.push_back({reinterpret_cast<BYTE*>(&bytes[at + 8]), head[0], head[1]});
    }
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
    return CreateTimerQueueTimer(&timer, nullptr, &Deliver, this, 10, 10, 0) ? S_OK : E_FAIL;
  }
  STDMETHODIMP Stop() override { return Fails("Stop") ? kInjected : (Halt(), S_OK); }
  // Stops the timer, waiting for a delivery under way to end; the last release halts it too.
  void Halt() {
    if (timer != nullptr) DeleteTimerQueueTimer(nullptr, std::exchange(timer, nullptr), INVALID_HANDLE_VALUE);
  }

  // Every 10 ms on the timer's thread: the next packet, and those queued
  // together with it, then one signal; after the last, silence.
  static void CALLBACK Deliver(void* context, BOOLEAN) {
    Device& d = *static_cast<Device*>(context);
    const std::lock_guard<std::mutex> lock(d.mutex);
    if (d.delivered == d.plan.size()) return;
    while ((d.plan[d.delivered++].flags & kTogether) && d.delivered < d.plan.size()) continue;
    // A failing wait: the event is closed, and forgotten, for wine gives its value out again.
    if (Fails("WaitForSingleObject", false)) CloseHandle(std::exchange(d.event, nullptr));
    else SetEvent(d.event);
  }
  Packet Front() const { return taken < delivered ? plan[taken] : Packet{}; }
  STDMETHODIMP GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*, UINT64*) override {
    const std::lock_guard<std::mutex> lock(mutex);
    const Packet front = Front();
    *data = front.data;
    *frames = front.frames;
    *flags = front.flags & ~kTogether;
    return Fails("GetBuffer " + std::to_string(*frames) + " " + std::to_string(*flags)) ? kInjected : S_OK;
  }
  STDMETHODIMP ReleaseBuffer(UINT32 frames) override {
    const std::lock_guard<std::mutex> lock(mutex);
    if (Fails("ReleaseBuffer " + std::to_string(frames))) return kInjected;
    if (frames != Front().frames || taken == delivered) return AUDCLNT_E_INVALID_SIZE;
    ++taken;
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
  std::size_t taken = 0, delivered = 0;  // the packets queued lie between
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
