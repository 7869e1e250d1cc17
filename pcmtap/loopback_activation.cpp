#include "pcmtap/loopback_activation.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "pcmtap/interface_ids.h"

namespace pcmtap {
namespace {

constexpr wchar_t kProcessLoopbackDevice[] = L"VAD\\Process_Loopback";

}  // namespace

ActivationPlatform SystemActivationPlatform() {
  return {&ActivateAudioInterfaceAsync, &CoCreateFreeThreadedMarshaler, &CreateEventW};
}

// --- AudioClientActivationHandler ------------------------------------------

ComPtr<AudioClientActivationHandler> AudioClientActivationHandler::Create(
    const ActivationPlatform& platform) {
  auto* handler = new (std::nothrow) AudioClientActivationHandler();
  if (handler == nullptr) return nullptr;
  auto reference = ComPtr<AudioClientActivationHandler>::Attach(handler);

  ComPtr<IUnknown> marshaler;
  if (platform.coCreateFreeThreadedMarshaler(nullptr, marshaler.Put()) >= 0 && marshaler) {
    marshaler->QueryInterface(kIidMarshal, handler->marshaler_.PutVoid());
  }
  handler->completionEvent_ = platform.createEventW(nullptr, TRUE, FALSE, nullptr);
  return reference;
}

AudioClientActivationHandler::~AudioClientActivationHandler() {
  if (completionEvent_ != nullptr) CloseHandle(completionEvent_);
  audioClient_.Reset();
  marshaler_.Reset();
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
  return ActivateProcessLoopbackClient(options, SystemActivationPlatform());
}

ComPtr<IAudioClient> ActivateProcessLoopbackClient(const CaptureOptions& options,
                                                   const ActivationPlatform& platform) {
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
  const ComPtr<AudioClientActivationHandler> handler = AudioClientActivationHandler::Create(platform);
  // Neither a missing handler nor a missing event may reach the platform or
  // the wait: without them the outcome could never be read safely.
  if (!handler) ThrowIfFailed(E_OUTOFMEMORY, "ActivateAudioInterfaceAsync");
  if (handler->completionEvent() == nullptr) throw std::runtime_error("CreateEventW failed");

  ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
  ThrowIfFailed(platform.activateAudioInterfaceAsync(kProcessLoopbackDevice, kIidAudioClient,
                                                     &property, handler->CompletionView(),
                                                     operation.Put()),
                "ActivateAudioInterfaceAsync");

  WaitForSingleObject(handler->completionEvent(), INFINITE);
  ThrowIfFailed(handler->activationResult(), "ActivateAudioInterfaceAsync completion");
  if (!handler->audioClient()) {
    throw std::runtime_error("ActivateAudioInterfaceAsync returned no IAudioClient");
  }
  return handler->audioClient();
}

}  // namespace pcmtap
