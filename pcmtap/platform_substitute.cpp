// Substitute for the Windows services that pcmtap calls, for builds on
// systems without them. Events are a mutex and a condition variable; console
// control events come from POSIX signals; the asynchronous activation
// completes on a thread of its own.
#include "pcmtap/platform.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "pcmtap/interface_ids.h"

bool IsEqualGUID(REFIID a, REFIID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// --- Kernel events ---------------------------------------------------------

namespace {

struct Event {
  std::mutex mutex;
  std::condition_variable signalled;
  bool manualReset;
  bool state;
};

}  // namespace

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR) {
  return new (std::nothrow) Event{{}, {}, manualReset != FALSE, initialState != FALSE};
}

BOOL SetEvent(HANDLE handle) {
  if (handle == nullptr) return FALSE;
  auto* event = static_cast<Event*>(handle);
  {
    std::lock_guard<std::mutex> lock(event->mutex);
    event->state = true;
  }
  event->signalled.notify_all();
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (handle == nullptr) return WAIT_FAILED;
  auto* event = static_cast<Event*>(handle);
  std::unique_lock<std::mutex> lock(event->mutex);
  const auto isSet = [event] { return event->state; };
  if (milliseconds == INFINITE) {
    event->signalled.wait(lock, isSet);
  } else if (!event->signalled.wait_for(lock, std::chrono::milliseconds(milliseconds), isSet)) {
    return WAIT_TIMEOUT;
  }
  if (!event->manualReset) event->state = false;
  return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE handle) {
  if (handle == nullptr) return FALSE;
  delete static_cast<Event*>(handle);
  return TRUE;
}

// --- Console control events ------------------------------------------------

namespace {

std::atomic<PHANDLER_ROUTINE> g_consoleHandler{nullptr};

DWORD ControlEventOf(int signalNumber) {
  switch (signalNumber) {
    case SIGINT: return CTRL_C_EVENT;
    case SIGTERM: return CTRL_BREAK_EVENT;
    default: return CTRL_CLOSE_EVENT;
  }
}

extern "C" void OnStopSignal(int signalNumber) {
  const PHANDLER_ROUTINE routine = g_consoleHandler.load();
  if (routine != nullptr && routine(ControlEventOf(signalNumber)) != FALSE) return;
  // Not handled: the default action ends the process, as on Windows.
  std::signal(signalNumber, SIG_DFL);
  std::raise(signalNumber);
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add) {
  if (add == FALSE || routine == nullptr) return FALSE;
  g_consoleHandler.store(routine);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaction(signalNumber, &action, nullptr);
  return TRUE;
}

// --- COM ---------------------------------------------------------------------

HRESULT CoInitializeEx(LPVOID, DWORD) { return S_OK; }
void CoUninitialize() {}

namespace {

// Reference-counted object base for the substitute's own COM objects.
template <class Interface>
class SubstituteObject : public Interface {
 public:
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG remaining = --count_;
    if (remaining == 0) delete this;
    return remaining;
  }

 protected:
  HRESULT Answer(REFIID riid, REFIID own, void** object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, pcmtap::kIidUnknown) || IsEqualIID(riid, own)) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  virtual ~SubstituteObject() = default;

 private:
  std::atomic<ULONG> count_{1};
};

// Marshaling between processes does not exist here; the object only has to
// answer IMarshal so that agile objects can hold one.
class FreeThreadedMarshaler final : public SubstituteObject<IMarshal> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, pcmtap::kIidMarshal, object);
  }
  HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD, CLSID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD, DWORD*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE MarshalInterface(IStream*, REFIID, void*, DWORD, void*, DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream*, REFIID, void**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD) override { return S_OK; }
};

// No process-loopback device exists on this system.
constexpr HRESULT kDeviceNotFound = static_cast<HRESULT>(0x80070002u);

class ActivationOperation final : public SubstituteObject<IActivateAudioInterfaceAsyncOperation> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, pcmtap::kIidActivateAsyncOperation, object);
  }
  HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* activateResult,
                                              IUnknown** activatedInterface) override {
    if (activateResult == nullptr || activatedInterface == nullptr) return E_POINTER;
    *activateResult = kDeviceNotFound;
    *activatedInterface = nullptr;
    return S_OK;
  }
};

}  // namespace

HRESULT CoCreateFreeThreadedMarshaler(LPUNKNOWN, LPUNKNOWN* marshal) {
  if (marshal == nullptr) return E_POINTER;
  *marshal = new (std::nothrow) FreeThreadedMarshaler();
  return *marshal != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT ActivateAudioInterfaceAsync(LPCWSTR deviceInterfacePath, REFIID,
                                    PROPVARIANT* activationParams,
                                    IActivateAudioInterfaceCompletionHandler* completionHandler,
                                    IActivateAudioInterfaceAsyncOperation** activationOperation) {
  if (deviceInterfacePath == nullptr || activationParams == nullptr ||
      completionHandler == nullptr || activationOperation == nullptr) {
    return E_INVALIDARG;
  }
  auto* operation = new (std::nothrow) ActivationOperation();
  if (operation == nullptr) return E_OUTOFMEMORY;
  // The completing thread holds references of its own until it is done.
  operation->AddRef();
  completionHandler->AddRef();
  std::thread([operation, completionHandler] {
    completionHandler->ActivateCompleted(operation);
    completionHandler->Release();
    operation->Release();
  }).detach();
  *activationOperation = operation;
  return S_OK;
}

// --- Standard streams --------------------------------------------------------

namespace pcmtap {

void PrepareStandardStreams() {
  // A reader that has gone away must show up as a failed write, not kill us.
  std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace pcmtap
