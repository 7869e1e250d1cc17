// The session peak meter, declared here for SDK headers that only name it
// (mingw-w64 among them), with the methods and identifier of the platform's
// IAudioMeterInformation. Declared at namespace scope, where the program's
// calls through it are not mistaken for calls that nothing could reach.
#pragma once

// An SDK that defines it says so with the guard of its own header.
#ifndef __IAudioMeterInformation_INTERFACE_DEFINED__
struct IAudioMeterInformation : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetPeakValue(float* peak) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMeteringChannelCount(UINT* channelCount) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetChannelsPeakValues(UINT32 channelCount, float* peaks) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryHardwareSupport(DWORD* hardwareSupport) = 0;
};
#endif
