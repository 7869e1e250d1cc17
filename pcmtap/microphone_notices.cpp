#include "pcmtap/microphone_notices.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pcmtap/com_ptr.h"
#include "pcmtap/deafness_check.h"
#include "pcmtap/device_enumerator.h"
#include "pcmtap/interface_ids.h"
#include "pcmtap/platform.h"
#include "pcmtap/protocol.h"

namespace pcmtap {
namespace {

// The rules of a deaf capture count the reads at which something should be
// heard by the processes named then: the microphone stands as the one.
constexpr std::uint32_t kMicrophone = 0;

class MicrophoneNotices final : public NoticeReader {
 public:
  explicit MicrophoneNotices(EndpointRole role)
      : role_(static_cast<ERole>(role)), enumerator_(CreateDeviceEnumerator()) {}

  // A muted microphone delivers silence by design: digital silence counts
  // only while it is unmuted, over a window that starts when it is.
  std::vector<std::string> Read(bool heard) override {
    std::vector<std::string> notices;
    const std::optional<bool> muted = Muted(notices);
    if (muted && *muted != muted_) {
      muted_ = *muted;
      notices.push_back(muted_ ? MutedNotice() : UnmutedNotice());
      check_ = DeafnessCheck();
    }
    if (muted_) return notices;
    const Notice notice = check_.Read({GetTickCount64(), heard, {kMicrophone}});
    if (notice.code == Notice::Code::Deaf) notices.push_back(DeafNotice({}));
    if (notice.code == Notice::Code::Hearing) notices.push_back(HearingNotice());
    return notices;
  }

 private:
  // The present default device's endpoint mute, asked afresh each time, so
  // that it follows the default as the capture does. None while no device is
  // there to ask, and none ever again once it cannot be read, which one
  // notice says: digital silence is still told then.
  std::optional<bool> Muted(std::vector<std::string>& notices) {
    if (unreadable_) return std::nullopt;
    ComPtr<IMMDevice> device;
    ComPtr<IAudioEndpointVolume> volume;
    BOOL muted = FALSE;
    try {
      const HRESULT found = enumerator_->GetDefaultAudioEndpoint(eCapture, role_, device.Put());
      if (found == E_NOTFOUND) return std::nullopt;
      ThrowIfFailed(found, "IMMDeviceEnumerator::GetDefaultAudioEndpoint");
      if (!DeviceAnswered(device->Activate(kIidAudioEndpointVolume, CLSCTX_ALL, nullptr, volume.PutVoid()),
                          "IMMDevice::Activate") ||
          !DeviceAnswered(volume->GetMute(&muted), "IAudioEndpointVolume::GetMute")) {
        return std::nullopt;
      }
    } catch (const PlatformError& failure) {
      unreadable_ = true;
      notices.push_back(UncheckedNotice(failure.what()));
      return std::nullopt;
    }
    return muted != FALSE;
  }

  const ERole role_;
  ComPtr<IMMDeviceEnumerator> enumerator_;
  bool muted_ = false;
  bool unreadable_ = false;
  DeafnessCheck check_;
};

}  // namespace

NoticeReaderFactory MicrophoneNoticesOf(EndpointRole role) {
  return [role] { return std::make_unique<MicrophoneNotices>(role); };
}

}  // namespace pcmtap
