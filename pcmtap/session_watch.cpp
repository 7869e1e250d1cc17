#include "pcmtap/session_watch.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pcmtap/cli.h"
#include "pcmtap/com_ptr.h"
#include "pcmtap/deafness_check.h"
#include "pcmtap/device_enumerator.h"
#include "pcmtap/interface_ids.h"
#include "pcmtap/protocol.h"
#include "pcmtap/target_tree.h"

namespace pcmtap {
namespace {

// Sessions come and go, so they are enumerated anew once a second.
constexpr unsigned kReadsPerEnumeration = 4;

// IAudioSessionControl2::GetProcessId's success for a session of several
// processes; the id it gives is only the first of them.
constexpr HRESULT kNoSingleProcess = 0x0889000D;  // AUDCLNT_S_NO_SINGLE_PROCESS

struct WatchedSession {
  std::uint32_t processId;
  bool singleProcess;
  bool systemSounds;
  ComPtr<IAudioSessionControl2> control;
  ComPtr<IAudioMeterInformation> meter;
  ComPtr<ISimpleAudioVolume> volume;
  std::optional<bool> inTree;  // of the target's tree, once asked
};

// The render devices' sessions in scope, and which of them play audibly.
class SessionReader {
 public:
  explicit SessionReader(const SessionScope& scope)
      : scope_(scope), enumerator_(CreateDeviceEnumerator()), tree_(scope.treeRoot) {}

  void Enumerate() {
    sessions_.clear();
    for (const ComPtr<IMMDevice>& device : Devices()) AddSessionsOf(*device.Get());
    std::vector<std::uint32_t> processIds(sessions_.size());
    std::transform(sessions_.begin(), sessions_.end(), processIds.begin(),
                   [](const WatchedSession& session) { return session.processId; });
    tree_.Refresh(processIds);
  }

  // The processes of the sessions that the capture should hear and that play
  // audibly now.
  std::vector<std::uint32_t> Audible() {
    std::vector<std::uint32_t> processIds;
    for (WatchedSession& session : sessions_) {
      if (PlaysAudibly(session) && ShouldHear(session)) processIds.push_back(session.processId);
    }
    return processIds;
  }

 private:
  // Active, not muted, and loud enough with its volume applied. A session
  // that fails a call has ended meanwhile. The meter comes first: most
  // sessions are quiet most of the time.
  static bool PlaysAudibly(const WatchedSession& session) {
    float peak = 0;
    AudioSessionState state = AudioSessionStateInactive;
    BOOL muted = TRUE;
    float volume = 0;
    return session.meter->GetPeakValue(&peak) >= 0 && peak >= DeafnessCheck::kAudiblePeak &&
           session.control->GetState(&state) >= 0 && state == AudioSessionStateActive &&
           session.volume->GetMute(&muted) >= 0 && muted == FALSE && session.volume->GetMasterVolume(&volume) >= 0 &&
           peak * volume >= DeafnessCheck::kAudiblePeak;
  }

  std::vector<ComPtr<IMMDevice>> Devices() {
    std::vector<ComPtr<IMMDevice>> devices;
    if (scope_.defaultDeviceOnly) {
      ComPtr<IMMDevice> device;
      const HRESULT status =
          enumerator_->GetDefaultAudioEndpoint(eRender, static_cast<ERole>(scope_.role), device.Put());
      if (status != E_NOTFOUND) ThrowIfFailed(status, "IMMDeviceEnumerator::GetDefaultAudioEndpoint");
      if (device) devices.push_back(std::move(device));
      return devices;
    }
    ComPtr<IMMDeviceCollection> collection;
    ThrowIfFailed(enumerator_->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, collection.Put()),
                  "IMMDeviceEnumerator::EnumAudioEndpoints");
    UINT count = 0;
    ThrowIfFailed(collection->GetCount(&count), "IMMDeviceCollection::GetCount");
    for (UINT i = 0; i < count; ++i) {
      devices.emplace_back();
      ThrowIfFailed(collection->Item(i, devices.back().Put()), "IMMDeviceCollection::Item");
    }
    return devices;
  }

  void AddSessionsOf(IMMDevice& device) {
    ComPtr<IAudioSessionManager2> manager;
    ComPtr<IAudioSessionEnumerator> sessions;
    int count = 0;
    if (!DeviceAnswered(device.Activate(kIidAudioSessionManager2, CLSCTX_ALL, nullptr, manager.PutVoid()),
                "IMMDevice::Activate") ||
        !DeviceAnswered(manager->GetSessionEnumerator(sessions.Put()), "IAudioSessionManager2::GetSessionEnumerator") ||
        !DeviceAnswered(sessions->GetCount(&count), "IAudioSessionEnumerator::GetCount")) {
      return;
    }
    for (int i = 0; i < count; ++i) {
      ComPtr<IAudioSessionControl> control;
      if (!DeviceAnswered(sessions->GetSession(i, control.Put()), "IAudioSessionEnumerator::GetSession")) return;
      WatchedSession session{0, false, false, nullptr, nullptr, nullptr, std::nullopt};
      DWORD processId = 0;
      if (control->QueryInterface(kIidAudioSessionControl2, session.control.PutVoid()) < 0 ||
          control->QueryInterface(kIidAudioMeterInformation, session.meter.PutVoid()) < 0 ||
          control->QueryInterface(kIidSimpleAudioVolume, session.volume.PutVoid()) < 0) {
        continue;
      }
      const HRESULT identified = session.control->GetProcessId(&processId);
      if (identified < 0) continue;
      session.processId = processId;
      session.singleProcess = identified != kNoSingleProcess;
      session.systemSounds = session.control->IsSystemSoundsSession() == S_OK;
      sessions_.push_back(std::move(session));
    }
  }

  // Process loopback hears a session by its process's place in the target's
  // tree. A session of several processes may lie on either side: not
  // counted. In include mode the system-sounds session is not the tree's,
  // whatever process id it gives.
  bool ShouldHear(WatchedSession& session) {
    if (scope_.treeRoot == 0) return true;
    const bool include = scope_.mode == LoopbackMode::IncludeTargetProcessTree;
    if (!session.singleProcess || (include && session.systemSounds)) return false;
    if (!session.inTree) session.inTree = tree_.Holds(session.processId);
    return *session.inTree == include;
  }

  const SessionScope scope_;
  ComPtr<IMMDeviceEnumerator> enumerator_;
  std::vector<WatchedSession> sessions_;
  TargetTree tree_;  // of scope_.treeRoot, when there is one
};

// The sessions' reads, an enumeration every fourth, through the rules of a
// deaf capture.
class SessionNotices final : public NoticeReader {
 public:
  explicit SessionNotices(const SessionScope& scope) : reader_(scope) {}

  std::vector<std::string> Read(bool heard) override {
    if (reads_++ % kReadsPerEnumeration == 0) reader_.Enumerate();
    const Notice notice = check_.Read({GetTickCount64(), heard, reader_.Audible()});
    if (notice.code == Notice::Code::Deaf) return {DeafNotice(notice.processIds)};
    if (notice.code == Notice::Code::Hearing) return {HearingNotice()};
    return {};
  }

 private:
  SessionReader reader_;
  DeafnessCheck check_;
  unsigned reads_ = 0;
};

}  // namespace

NoticeReaderFactory SessionNoticesOf(const SessionScope& scope) {
  return [scope] { return std::make_unique<SessionNotices>(scope); };
}

}  // namespace pcmtap
