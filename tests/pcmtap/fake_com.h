// Reference-counted fakes of the audio interfaces, for the driver and
// activation tests. Every call is appended to a shared log, any status-
// returning call can be told to fail, and the count of live references is
// visible so that tests prove nothing leaks on any path.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "counted_object.h"
#include "pcmtap/interface_ids.h"
#include "pcmtap/platform.h"

namespace pcmtap::testing {

using CallLog = std::vector<std::string>;

struct Packet {
  std::vector<std::int16_t> samples;  // interleaved; empty with a frame count: null pointer
  UINT32 frames;
  DWORD flags = 0;
};

class FakeCaptureClient final : public CountedObject<IAudioCaptureClient> {
 public:
  FakeCaptureClient(CallLog& log, std::map<std::string, HRESULT>& faults)
      : CountedObject(kIidAudioCaptureClient), log_(log), faults_(faults) {}

  // Packets pending at the next signal; a drain ends when they are used up.
  std::deque<Packet> pending;

  HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
    log_.push_back("GetNextPacketSize");
    // A packet of 0 frames is still announced as pending.
    *frames = pending.empty() ? 0 : std::max<UINT32>(pending.front().frames, 1);
    return Fault("GetNextPacketSize");
  }
  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags,
                                      UINT64* devicePosition, UINT64* qpcPosition) override {
    log_.push_back(std::string("GetBuffer") + (devicePosition || qpcPosition ? "(positions)" : ""));
    const HRESULT status = Fault("GetBuffer");
    if (status < 0) return status;
    current_ = pending.front();
    pending.pop_front();
    *data = current_.samples.empty() ? nullptr : reinterpret_cast<BYTE*>(current_.samples.data());
    *frames = current_.frames;
    *flags = current_.flags;
    return status;
  }
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
    log_.push_back("ReleaseBuffer(" + std::to_string(frames) + ")");
    current_.samples.assign(current_.samples.size(), 0x5A5A);  // the packet is gone
    return Fault("ReleaseBuffer");
  }

 private:
  HRESULT Fault(const std::string& call) {
    const auto found = faults_.find(call);
    return found == faults_.end() ? S_OK : found->second;
  }
  CallLog& log_;
  std::map<std::string, HRESULT>& faults_;
  Packet current_;
};

class FakeAudioClient final : public CountedObject<IAudioClient> {
 public:
  // `capture` is what GetService hands out.
  FakeAudioClient(CallLog& log, std::map<std::string, HRESULT>& faults,
                  IAudioCaptureClient* capture)
      : CountedObject(kIidAudioClient), log_(log), faults_(faults), capture_(capture) {}

  HANDLE eventHandle = nullptr;

  HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags,
                                       REFERENCE_TIME bufferDuration, REFERENCE_TIME periodicity,
                                       const WAVEFORMATEX* f, LPCGUID sessionGuid) override {
    log_.push_back("Initialize(" + std::to_string(shareMode) + ",0x" + Hex(streamFlags) + "," +
                   std::to_string(bufferDuration) + "," + std::to_string(periodicity) + ",{" +
                   std::to_string(f->wFormatTag) + "," + std::to_string(f->nChannels) + "," +
                   std::to_string(f->nSamplesPerSec) + "," + std::to_string(f->nAvgBytesPerSec) +
                   "," + std::to_string(f->nBlockAlign) + "," + std::to_string(f->wBitsPerSample) +
                   "," + std::to_string(f->cbSize) + "}," + (sessionGuid ? "guid" : "null") + ")");
    return Fault("Initialize");
  }
  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE handle) override {
    log_.push_back("SetEventHandle");
    eventHandle = handle;
    return Fault("SetEventHandle");
  }
  HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** service) override {
    log_.push_back(IsEqualIID(riid, kIidAudioCaptureClient) ? "GetService(IAudioCaptureClient)"
                                                            : "GetService(other)");
    const HRESULT status = Fault("GetService");
    if (status < 0) return status;
    return capture_->QueryInterface(riid, service);
  }
  HRESULT STDMETHODCALLTYPE Start() override {
    log_.push_back("Start");
    return Fault("Start");
  }
  HRESULT STDMETHODCALLTYPE Stop() override {
    log_.push_back("Stop");
    return Fault("Stop");
  }
  HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                              WAVEFORMATEX**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }

 private:
  static std::string Hex(DWORD value) {
    static const char digits[] = "0123456789abcdef";
    std::string text(8, '0');
    for (int i = 7; i >= 0; --i, value >>= 4) text[i] = digits[value & 0xF];
    return text;
  }
  HRESULT Fault(const std::string& call) {
    const auto found = faults_.find(call);
    return found == faults_.end() ? S_OK : found->second;
  }
  CallLog& log_;
  std::map<std::string, HRESULT>& faults_;
  IAudioCaptureClient* capture_;
};

}  // namespace pcmtap::testing
