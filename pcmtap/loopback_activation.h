// Process-loopback activation: one blocking call that yields an audio client
// capturing everything but one process tree, or that tree alone.
#pragma once

#include <atomic>

#include "pcmtap/cli.h"
#include "pcmtap/com_ptr.h"
#include "pcmtap/platform.h"

namespace pcmtap {

// The platform entry points that the activation uses; tests replace them.
struct ActivationPlatform {
  HRESULT(WINAPI* activateAudioInterfaceAsync)(LPCWSTR, REFIID, PROPVARIANT*,
                                               IActivateAudioInterfaceCompletionHandler*,
                                               IActivateAudioInterfaceAsyncOperation**);
  HRESULT(WINAPI* coCreateFreeThreadedMarshaler)(LPUNKNOWN, LPUNKNOWN*);
  HANDLE(WINAPI* createEventW)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR);
};

ActivationPlatform SystemActivationPlatform();

// Blocks, without a time limit, until the platform has completed the
// activation. Never returns an empty reference; throws std::runtime_error.
ComPtr<IAudioClient> ActivateProcessLoopbackClient(const CaptureOptions& options);
ComPtr<IAudioClient> ActivateProcessLoopbackClient(const CaptureOptions& options,
                                                   const ActivationPlatform& platform);

// The completion object handed to the platform: an agile classic COM object
// with two views (IMarshal/IAgileObject/IUnknown, and the completion handler)
// that share one reference count. It records the outcome of the activation
// and signals `completionEvent`, after which the waiting caller reads it.
class AudioClientActivationHandler final : public IMarshal,
                                           public IActivateAudioInterfaceCompletionHandler {
 public:
  static constexpr ULONG kSaturatedCount = 0x7FFFFFFF;

  // The creation reference, or empty when memory runs out.
  static ComPtr<AudioClientActivationHandler> Create(const ActivationPlatform& platform);

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

}  // namespace pcmtap
