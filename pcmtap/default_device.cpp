#include "pcmtap/default_device.h"

#include <atomic>

#include "pcmtap/device_enumerator.h"
#include "pcmtap/interface_ids.h"
#include "pcmtap/microphone_notices.h"
#include "pcmtap/session_watch.h"

namespace pcmtap {
namespace {

// A change of default device comes in bursts (one per role, and a device
// that connects may change several things at once): it is followed once no
// other has come for this long.
constexpr ULONGLONG kSettleMilliseconds = 250;
// While no render device is the default, how often to look for one.
constexpr ULONGLONG kRetryMilliseconds = 1000;

// The device is unusable (unplugged, disabled, reconfigured), or none is the
// default: another may become it. Anything else (access to the microphone
// refused, a device in exclusive use) ends the run with its line.
bool DeviceGone(const PlatformError& failure) {
  return failure.status() == AUDCLNT_E_DEVICE_INVALIDATED || failure.status() == E_NOTFOUND;
}

}  // namespace

// Told of device changes on a thread of the platform's, where it must neither
// wait nor register anew: it only notes when the default device it follows
// last changed, for the loop to act on.
class DefaultDeviceSource::DefaultDeviceListener final : public IMMNotificationClient {
 public:
  DefaultDeviceListener(EDataFlow flow, ERole role) : flow_(flow), role_(role) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = IsEqualIID(riid, kIidUnknown) || IsEqualIID(riid, kIidMMNotificationClient) ? this : nullptr;
    if (*object == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++referenceCount_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --referenceCount_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR) override {
    if (flow == flow_ && role == role_) changedAt.store(GetTickCount64());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override { return S_OK; }

  std::atomic<ULONGLONG> changedAt{0};  // GetTickCount64 time of the last change not yet followed; 0: none

 private:
  ~DefaultDeviceListener() = default;

  const EDataFlow flow_;
  const ERole role_;
  std::atomic<ULONG> referenceCount_{1};
};

DefaultDeviceSource::DefaultDeviceSource(EDataFlow flow, EndpointRole role, Resampler resampler)
    : flow_(flow), role_(static_cast<ERole>(role)), resampler_(resampler),
      listener_(ComPtr<DefaultDeviceListener>::Attach(new DefaultDeviceListener(flow_, role_))),
      enumerator_(CreateDeviceEnumerator()) {
  ThrowIfFailed(enumerator_->RegisterEndpointNotificationCallback(listener_.Get()),
                "IMMDeviceEnumerator::RegisterEndpointNotificationCallback");
}

// Runs only after a whole construction, so the listener is registered.
DefaultDeviceSource::~DefaultDeviceSource() { enumerator_->UnregisterEndpointNotificationCallback(listener_.Get()); }

ComPtr<IAudioClient> DefaultDeviceSource::Activate() {
  retryAt_ = 0;  // any retry due is this one; OpenFailed sets the next
  ComPtr<IMMDevice> device;
  ThrowIfFailed(enumerator_->GetDefaultAudioEndpoint(flow_, role_, device.Put()),
                "IMMDeviceEnumerator::GetDefaultAudioEndpoint");
  ComPtr<IAudioClient> client;
  ThrowIfFailed(device->Activate(kIidAudioClient, CLSCTX_ALL, nullptr, client.PutVoid()), "IMMDevice::Activate");
  return client;
}

bool DefaultDeviceSource::ReopenDue() {
  const ULONGLONG now = GetTickCount64();
  ULONGLONG changedAt = listener_->changedAt.load();
  // A change that comes meanwhile replaces the time, and so waits its own settling.
  if (changedAt != 0 && now - changedAt >= kSettleMilliseconds &&
      listener_->changedAt.compare_exchange_strong(changedAt, 0)) {
    return true;
  }
  return retryAt_ != 0 && now >= retryAt_;
}

NoticeReaderFactory DefaultDeviceSource::Notices() const {
  if (flow_ == eCapture) return MicrophoneNoticesOf(static_cast<EndpointRole>(role_));
  SessionScope scope;
  scope.defaultDeviceOnly = true;
  scope.role = static_cast<EndpointRole>(role_);
  return SessionNoticesOf(scope);
}

// A microphone is captured as it is, shared and event-driven; a render
// device through its loopback. The engine converts only for the linear
// converter, whose records stay what hosts compared them with; the
// band-limited one takes the device's own samples, so that nothing but its
// own filter stands between them and the records. On capture streams
// AUTOCONVERTPCM is also reported to give nothing but zeros (RustAudio/cpal#1200).
DWORD DefaultDeviceSource::StreamFlags() const {
  if (flow_ == eCapture) return 0;
  return AUDCLNT_STREAMFLAGS_LOOPBACK |
         (AtMixFormat() ? 0 : AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY);
}

bool DefaultDeviceSource::StreamLost(const PlatformError& failure) {
  if (!DeviceGone(failure)) return false;
  listener_->changedAt.store(GetTickCount64());
  return true;
}

bool DefaultDeviceSource::OpenFailed(const PlatformError& failure) {
  if (!DeviceGone(failure)) return false;
  retryAt_ = GetTickCount64() + kRetryMilliseconds;
  return true;
}

}  // namespace pcmtap
