// Stand-ins for the few Windows types, interfaces and calls that pcmtap
// uses, so that the capture code builds and is unit-tested on a system
// without them. Names, layouts of the interfaces (slot order) and calling
// contracts follow the Windows originals; only what the program and its
// tests touch is here.
#pragma once

#include <cstdint>

#define STDMETHODCALLTYPE
#define WINAPI

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT32 = std::uint32_t;
using UINT64 = std::uint64_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using LONGLONG = std::int64_t;
using BOOL = int;
using HRESULT = std::int32_t;
using HANDLE = void*;
using LPVOID = void*;
using WCHAR = wchar_t;
using LPCWSTR = const wchar_t*;
using REFERENCE_TIME = LONGLONG;
using VARTYPE = std::uint16_t;

#define TRUE 1
#define FALSE 0

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using LPCGUID = const GUID*;

bool IsEqualGUID(REFIID a, REFIID b);
inline bool IsEqualIID(REFIID a, REFIID b) { return IsEqualGUID(a, b); }

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
#define SUCCEEDED(hr) ((HRESULT)(hr) >= 0)
#define FAILED(hr) ((HRESULT)(hr) < 0)

// --- COM -------------------------------------------------------------------

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

 protected:
  ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;

struct IStream;

struct IMarshal : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID riid, void* pv, DWORD destContext,
                                                      void* pvDestContext, DWORD mshlflags,
                                                      CLSID* cid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID riid, void* pv, DWORD destContext,
                                                      void* pvDestContext, DWORD mshlflags,
                                                      DWORD* size) = 0;
  virtual HRESULT STDMETHODCALLTYPE MarshalInterface(IStream* stream, REFIID riid, void* pv,
                                                     DWORD destContext, void* pvDestContext,
                                                     DWORD mshlflags) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream* stream, REFIID riid,
                                                       void** object) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream* stream) = 0;
  virtual HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD reserved) = 0;

 protected:
  ~IMarshal() = default;
};

struct IAgileObject : IUnknown {
 protected:
  ~IAgileObject() = default;
};

constexpr DWORD COINIT_MULTITHREADED = 0;
HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
void CoUninitialize();
HRESULT CoCreateFreeThreadedMarshaler(LPUNKNOWN outer, LPUNKNOWN* marshal);

// --- Kernel ----------------------------------------------------------------

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);
BOOL SetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);

constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;
constexpr DWORD CTRL_LOGOFF_EVENT = 5;
constexpr DWORD CTRL_SHUTDOWN_EVENT = 6;
using PHANDLER_ROUTINE = BOOL(WINAPI*)(DWORD ctrlType);
// SIGINT, SIGTERM and SIGHUP arrive as Ctrl+C, Ctrl+Break and close.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add);

// --- Audio -----------------------------------------------------------------

constexpr WORD WAVE_FORMAT_PCM = 1;
struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};

enum AUDCLNT_SHAREMODE { AUDCLNT_SHAREMODE_SHARED, AUDCLNT_SHAREMODE_EXCLUSIVE };
constexpr DWORD AUDCLNT_STREAMFLAGS_LOOPBACK = 0x00020000;
constexpr DWORD AUDCLNT_STREAMFLAGS_EVENTCALLBACK = 0x00040000;
constexpr DWORD AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY = 0x1;
constexpr DWORD AUDCLNT_BUFFERFLAGS_SILENT = 0x2;
constexpr DWORD AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR = 0x4;

struct IAudioClient : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags,
                                               REFERENCE_TIME bufferDuration,
                                               REFERENCE_TIME periodicity,
                                               const WAVEFORMATEX* format,
                                               LPCGUID audioSessionGuid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* bufferFrames) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* paddingFrames) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE shareMode,
                                                      const WAVEFORMATEX* format,
                                                      WAVEFORMATEX** closestMatch) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** deviceFormat) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* defaultPeriod,
                                                    REFERENCE_TIME* minimumPeriod) = 0;
  virtual HRESULT STDMETHODCALLTYPE Start() = 0;
  virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE eventHandle) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** service) = 0;

 protected:
  ~IAudioClient() = default;
};

struct IAudioCaptureClient : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* framesToRead, DWORD* flags,
                                              UINT64* devicePosition, UINT64* qpcPosition) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 framesRead) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* framesInNextPacket) = 0;

 protected:
  ~IAudioCaptureClient() = default;
};

// --- Asynchronous activation -----------------------------------------------

constexpr VARTYPE VT_BLOB = 65;
struct BLOB {
  ULONG cbSize;
  BYTE* pBlobData;
};
struct PROPVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    BLOB blob;
    std::uint64_t uhVal;
  };
};

struct IActivateAudioInterfaceAsyncOperation : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* activateResult,
                                                      IUnknown** activatedInterface) = 0;

 protected:
  ~IActivateAudioInterfaceAsyncOperation() = default;
};

struct IActivateAudioInterfaceCompletionHandler : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE
  ActivateCompleted(IActivateAudioInterfaceAsyncOperation* activateOperation) = 0;

 protected:
  ~IActivateAudioInterfaceCompletionHandler() = default;
};

// Completes on a thread of its own. This system has no process-loopback
// device, so the activation reports "file not found", as Windows does for an
// unknown device.
HRESULT ActivateAudioInterfaceAsync(LPCWSTR deviceInterfacePath, REFIID riid,
                                    PROPVARIANT* activationParams,
                                    IActivateAudioInterfaceCompletionHandler* completionHandler,
                                    IActivateAudioInterfaceAsyncOperation** activationOperation);
