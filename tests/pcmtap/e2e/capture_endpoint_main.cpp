// pcmtap_endpoint_capture: pcmtap with the process-loopback activation
// replaced by the default capture endpoint, for end-to-end runs where no
// process-loopback device exists (wine with a PulseAudio null sink, whose
// monitor is the default capture endpoint). Everything after the activation
// is the real driver, converter and writer. Test-only; Windows build only.
#include <iostream>
#include <utility>

#include "pcmtap/capture_driver.h"
#include "pcmtap/cli.h"
#include "pcmtap/com_ptr.h"
#include "pcmtap/interface_ids.h"
#include "pcmtap/platform.h"
#include "counted_object.h"

namespace {

constexpr CLSID kClsidDeviceEnumerator = {0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
constexpr IID kIidDeviceEnumerator = {0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};

// Passes every call through to a capture endpoint's client, except that
// Initialize drops the loopback flag: a capture endpoint is captured directly.
class EndpointClient final : public pcmtap::testing::CountedObject<IAudioClient> {
 public:
  explicit EndpointClient(pcmtap::ComPtr<IAudioClient> inner)
      : CountedObject(pcmtap::kIidAudioClient), inner_(std::move(inner)) {}

  HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags,
                                       REFERENCE_TIME bufferDuration, REFERENCE_TIME periodicity,
                                       const WAVEFORMATEX* format, LPCGUID sessionGuid) override {
    return inner_->Initialize(shareMode, streamFlags & ~DWORD{AUDCLNT_STREAMFLAGS_LOOPBACK},
                              bufferDuration, periodicity, format, sessionGuid);
  }
  HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
    return inner_->GetBufferSize(frames);
  }
  HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) override {
    return inner_->GetStreamLatency(latency);
  }
  HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) override {
    return inner_->GetCurrentPadding(frames);
  }
  HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE shareMode,
                                              const WAVEFORMATEX* format,
                                              WAVEFORMATEX** closest) override {
    return inner_->IsFormatSupported(shareMode, format, closest);
  }
  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override {
    return inner_->GetMixFormat(format);
  }
  HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* defaultPeriod,
                                            REFERENCE_TIME* minimumPeriod) override {
    return inner_->GetDevicePeriod(defaultPeriod, minimumPeriod);
  }
  HRESULT STDMETHODCALLTYPE Start() override { return inner_->Start(); }
  HRESULT STDMETHODCALLTYPE Stop() override { return inner_->Stop(); }
  HRESULT STDMETHODCALLTYPE Reset() override { return inner_->Reset(); }
  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
    return inner_->SetEventHandle(event);
  }
  HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** service) override {
    return inner_->GetService(riid, service);
  }

 private:
  pcmtap::ComPtr<IAudioClient> inner_;
};

// The driver calls this inside its apartment, where the activation would be.
pcmtap::ComPtr<IAudioClient> ActivateDefaultCaptureEndpoint(const pcmtap::CaptureOptions&) {
  pcmtap::ComPtr<IMMDeviceEnumerator> enumerator;
  pcmtap::ThrowIfFailed(CoCreateInstance(kClsidDeviceEnumerator, nullptr, CLSCTX_ALL,
                                         kIidDeviceEnumerator, enumerator.PutVoid()),
                        "CoCreateInstance");
  pcmtap::ComPtr<IMMDevice> device;
  pcmtap::ThrowIfFailed(enumerator->GetDefaultAudioEndpoint(eCapture, eConsole, device.Put()),
                        "IMMDeviceEnumerator::GetDefaultAudioEndpoint");
  pcmtap::ComPtr<IAudioClient> client;
  pcmtap::ThrowIfFailed(device->Activate(pcmtap::kIidAudioClient, CLSCTX_ALL, nullptr,
                                         client.PutVoid()),
                        "IMMDevice::Activate");
  return pcmtap::ComPtr<IAudioClient>::Attach(new EndpointClient(std::move(client)));
}

}  // namespace

// pcmtap's own main but for the activation.
int main(int argc, char* argv[]) {
  return pcmtap::RunCommandLine(argc, argv, [](const pcmtap::CaptureOptions& options) {
    pcmtap::CapturePlatform platform = pcmtap::SystemCapturePlatform();
    platform.activateClient = &ActivateDefaultCaptureEndpoint;
    pcmtap::RunCapture(options, platform, std::cout);
  });
}
