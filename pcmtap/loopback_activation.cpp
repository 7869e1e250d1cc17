#include "pcmtap/loopback_activation.h"

#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>

#include "pcmtap/interface_ids.h"

namespace pcmtap {
namespace {

constexpr wchar_t kProcessLoopbackDevice[] = L"VAD\\Process_Loopback";

// The completion object handed to the platform: an agile classic COM object
// with two views (IMarshal/IAgileObject/IUnknown, and the completion handler)
// that share one reference count. It records the outcome of the activation
// and signals `completionEvent`, after which the waiting caller reads it.
class AudioClientActivationHandler final : public IMarshal,
                                           public IActivateAudioInterfaceCompletionHandler {
 public:
  static constexpr ULONG kSaturatedCount = 0x7FFFFFFF;

  // The creation reference, or empty when memory runs out.
  static ComPtr<AudioClientActivationHandler> Create();

  // IUnknown, shared by both views.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IMarshal, delegated to the free-threaded marshaler.
  HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID riid, void* pv, DWORD destContext,
                                              void* pvDestContext, DWORD mshlflags,
                                              CLSID* cid) override;
  HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID riid, void* pv, DWORD destContext,
                                              void* pvDestContext, DWORD mshlflags,
                                              DWORD* size) override;
  HRESULT STDMETHODCALLTYPE MarshalInterface(IStream* stream, REFIID riid, void* pv,
                                             DWORD destContext, void* pvDestContext,
                                             DWORD mshlflags) override;
  HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream* stream, REFIID riid,
                                               void** object) override;
  HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream* stream) override;
  HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD reserved) override;

  // IActivateAudioInterfaceCompletionHandler. Always returns S_OK.
  HRESULT STDMETHODCALLTYPE
  ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override;

  IActivateAudioInterfaceCompletionHandler* CompletionView() { return this; }
  HANDLE completionEvent() const { return completionEvent_; }
  // Valid only once `completionEvent` has been signalled.
  HRESULT activationResult() const { return activationResult_; }
  const ComPtr<IAudioClient>& audioClient() const { return audioClient_; }

 private:
  AudioClientActivationHandler() = default;
  ~AudioClientActivationHandler();

  ComPtr<IMarshal> marshaler_;
  std::atomic<ULONG> referenceCount_{1};
  HANDLE completionEvent_ = nullptr;
  HRESULT activationResult_ = E_FAIL;
  ComPtr<IAudioClient> audioClient_;
};

}  // namespace

// --- AudioClientActivationHandler ------------------------------------------

ComPtr<AudioClientActivationHandler> AudioClientActivationHandler::Create() {
  auto* handler = new (std::nothrow) AudioClientActivationHandler();
  if (handler == nullptr) return nullptr;
  auto reference = ComPtr<AudioClientActivationHandler>::Attach(handler);

  ComPtr<IUnknown> marshaler;
  if (CoCreateFreeThreadedMarshaler(nullptr, marshaler.Put()) >= 0 && marshaler) {
    marshaler->QueryInterface(kIidMarshal, handler->marshaler_.PutVoid());
  }
  handler->completionEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return reference;
}

// The event first; the members then release the client, and the marshaler
// last, in reverse order of declaration.
AudioClientActivationHandler::~AudioClientActivationHandler() {
  if (completionEvent_ != nullptr) CloseHandle(completionEvent_);
}

HRESULT AudioClientActivationHandler::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(riid, kIidUnknown) || IsEqualIID(riid, kIidAgileObject) ||
      IsEqualIID(riid, kIidMarshal)) {
    *object = static_cast<IMarshal*>(this);
  } else if (IsEqualIID(riid, kIidActivateCompletionHandler)) {
    *object = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

// A count that reached the saturation value is pinned there: the object is
// then never destroyed, which is safer than wrapping round to zero.
ULONG AudioClientActivationHandler::AddRef() {
  ULONG count = referenceCount_.load();
  do {
    if (count == kSaturatedCount) return kSaturatedCount;
  } while (!referenceCount_.compare_exchange_weak(count, count + 1));
  return count + 1;
}

ULONG AudioClientActivationHandler::Release() {
  ULONG count = referenceCount_.load();
  do {
    if (count == kSaturatedCount) return kSaturatedCount - 1;
  } while (!referenceCount_.compare_exchange_weak(count, count - 1));
  if (count == 1) delete this;
  return count - 1;
}

HRESULT AudioClientActivationHandler::GetUnmarshalClass(REFIID riid, void* pv, DWORD destContext,
                                                        void* pvDestContext, DWORD mshlflags,
                                                        CLSID* cid) {
  if (!marshaler_) return E_OUTOFMEMORY;
  return marshaler_->GetUnmarshalClass(riid, pv, destContext, pvDestContext, mshlflags, cid);
}

HRESULT AudioClientActivationHandler::GetMarshalSizeMax(REFIID riid, void* pv, DWORD destContext,
                                                        void* pvDestContext, DWORD mshlflags,
                                                        DWORD* size) {
  if (!marshaler_) return E_OUTOFMEMORY;
  return marshaler_->GetMarshalSizeMax(riid, pv, destContext, pvDestContext, mshlflags, size);
}

HRESULT AudioClientActivationHandler::MarshalInterface(IStream* stream, REFIID riid, void* pv,
                                                       DWORD destContext, void* pvDestContext,
                                                       DWORD mshlflags) {
  if (!marshaler_) return E_OUTOFMEMORY;
  return marshaler_->MarshalInterface(stream, riid, pv, destContext, pvDestContext, mshlflags);
}

HRESULT AudioClientActivationHandler::UnmarshalInterface(IStream* stream, REFIID riid,
                                                         void** object) {
  if (!marshaler_) return E_OUTOFMEMORY;
  return marshaler_->UnmarshalInterface(stream, riid, object);
}

HRESULT AudioClientActivationHandler::ReleaseMarshalData(IStream* stream) {
  if (!marshaler_) return E_OUTOFMEMORY;
  return marshaler_->ReleaseMarshalData(stream);
}

HRESULT AudioClientActivationHandler::DisconnectObject(DWORD reserved) {
  if (!marshaler_) return E_OUTOFMEMORY;
  return marshaler_->DisconnectObject(reserved);
}

HRESULT AudioClientActivationHandler::ActivateCompleted(
    IActivateAudioInterfaceAsyncOperation* operation) {
  HRESULT status = S_OK;
  ComPtr<IUnknown> activated;
  const HRESULT call =
      operation != nullptr ? operation->GetActivateResult(&status, activated.Put()) : E_POINTER;
  if (call < 0) {
    activationResult_ = call;
  } else {
    activationResult_ = status;
    if (status >= 0 && activated) activated->QueryInterface(kIidAudioClient, audioClient_.PutVoid());
  }
  // Everything the caller reads is written before this signal.
  SetEvent(completionEvent_);
  return S_OK;
}

// --- ActivateProcessLoopbackClient -------------------------------------------

ComPtr<IAudioClient> ActivateProcessLoopbackClient(const CaptureOptions& options) {
  AUDIOCLIENT_ACTIVATION_PARAMS parameters;
  std::memset(&parameters, 0, sizeof parameters);
  parameters.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
  parameters.ProcessLoopbackParams.TargetProcessId = options.targetProcessId;
  parameters.ProcessLoopbackParams.ProcessLoopbackMode =
      static_cast<PROCESS_LOOPBACK_MODE>(options.mode);

  PROPVARIANT property;
  std::memset(&property, 0, sizeof property);
  property.vt = VT_BLOB;
  property.blob.cbSize = sizeof parameters;
  property.blob.pBlobData = reinterpret_cast<BYTE*>(&parameters);

  // Declared before the operation so that the operation is released first.
  const ComPtr<AudioClientActivationHandler> handler = AudioClientActivationHandler::Create();
  // Neither a missing handler nor a missing event may reach the platform or
  // the wait: without them the outcome could never be read safely.
  if (!handler) ThrowIfFailed(E_OUTOFMEMORY, "ActivateAudioInterfaceAsync");
  if (handler->completionEvent() == nullptr) throw std::runtime_error("CreateEventW failed");

  ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
  ThrowIfFailed(ActivateAudioInterfaceAsync(kProcessLoopbackDevice, kIidAudioClient, &property,
                                            handler->CompletionView(), operation.Put()),
                "ActivateAudioInterfaceAsync");

  WaitForSingleObject(handler->completionEvent(), INFINITE);
  ThrowIfFailed(handler->activationResult(), "ActivateAudioInterfaceAsync completion");
  if (!handler->audioClient()) {
    throw std::runtime_error("ActivateAudioInterfaceAsync returned no IAudioClient");
  }
  return handler->audioClient();
}

}  // namespace pcmtap
