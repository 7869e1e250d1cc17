#include "pcmtap/session_watch.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "pcmtap/cli.h"
#include "pcmtap/com_ptr.h"
#include "pcmtap/deafness_check.h"
#include "pcmtap/interface_ids.h"
#include "pcmtap/process_tree.h"
#include "pcmtap/protocol.h"

namespace pcmtap {
namespace {

// Meters are read four times a second: each read sees the peak of one device
// period, and speech needs several to show. Sessions come and go, so they
// are enumerated anew once a second.
constexpr std::chrono::milliseconds kReadEvery{250};
constexpr int kReadsPerEnumeration = 4;

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

// A device can go away between two calls: its sessions are simply not there
// this time. Any other failure leaves nothing to watch.
bool Usable(HRESULT status, const char* call) {
  if (status == AUDCLNT_E_DEVICE_INVALIDATED) return false;
  ThrowIfFailed(status, call);
  return true;
}

// The render devices' sessions in scope, and which of them play audibly.
class SessionReader {
 public:
  explicit SessionReader(const SessionScope& scope) : scope_(scope) {
    ThrowIfFailed(CoCreateInstance(kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL, kIidMMDeviceEnumerator,
                                   enumerator_.PutVoid()),
                  "CoCreateInstance");
  }

  void Enumerate() {
    sessions_.clear();
    processes_.reset();
    for (const ComPtr<IMMDevice>& device : Devices()) AddSessionsOf(*device.Get());
    for (auto place = places_.begin(); place != places_.end();) {
      const bool playing = std::any_of(sessions_.begin(), sessions_.end(), [&place](const WatchedSession& session) {
        return session.processId == place->first;
      });
      place = playing ? std::next(place) : places_.erase(place);
    }
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
    if (!Usable(device.Activate(kIidAudioSessionManager2, CLSCTX_ALL, nullptr, manager.PutVoid()),
                "IMMDevice::Activate") ||
        !Usable(manager->GetSessionEnumerator(sessions.Put()), "IAudioSessionManager2::GetSessionEnumerator") ||
        !Usable(sessions->GetCount(&count), "IAudioSessionEnumerator::GetCount")) {
      return;
    }
    for (int i = 0; i < count; ++i) {
      ComPtr<IAudioSessionControl> control;
      if (!Usable(sessions->GetSession(i, control.Put()), "IAudioSessionEnumerator::GetSession")) return;
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
    if (!session.inTree) session.inTree = InTree(session.processId);
    return *session.inTree == include;
  }

  // The tree grows while the capture runs, but a process takes its place in
  // it when it is created: each process is judged once, from a snapshot taken
  // then (a snapshot is dear), and again only when its id names a process
  // created since.
  bool InTree(std::uint32_t processId) {
    const std::uint64_t created = CreationTime(processId);
    auto known = places_.find(processId);
    if (known == places_.end() || known->second.created != created) {
      const ProcessLookup lookup = [this](std::uint32_t id) { return Process(id); };
      known = places_.insert_or_assign(processId, Place{created, InProcessTree(processId, scope_.treeRoot, lookup)})
                  .first;
    }
    return known->second.inTree;
  }

  // A process of this enumeration's snapshot, taken at its first need; its
  // creation time only when first asked for, as few processes ever are.
  std::optional<ProcessEntry> Process(std::uint32_t processId) {
    if (!processes_) processes_ = Snapshot();
    const auto found = processes_->find(processId);
    if (found == processes_->end()) return std::nullopt;
    SnapshotEntry& entry = found->second;
    if (!entry.timed) entry.process.created = CreationTime(processId);
    entry.timed = true;
    return entry.process;
  }

  struct SnapshotEntry {
    ProcessEntry process;
    bool timed;  // its creation time was asked for
  };

  static std::map<std::uint32_t, SnapshotEntry> Snapshot() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
      ThrowIfFailed(HRESULT_FROM_WIN32(GetLastError()), "CreateToolhelp32Snapshot");
    }
    std::map<std::uint32_t, SnapshotEntry> processes;
    PROCESSENTRY32W process{};
    process.dwSize = sizeof process;
    for (BOOL more = Process32FirstW(snapshot, &process); more != FALSE; more = Process32NextW(snapshot, &process)) {
      processes[process.th32ProcessID] = {{process.th32ParentProcessID, 0}, false};
    }
    CloseHandle(snapshot);
    return processes;
  }

  // 0 when the process cannot be asked (it ended, or it is protected).
  static std::uint64_t CreationTime(std::uint32_t processId) {
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) return 0;
    FILETIME created{};
    FILETIME unused[3]{};
    const bool known = GetProcessTimes(process, &created, &unused[0], &unused[1], &unused[2]) != FALSE;
    CloseHandle(process);
    return known ? (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime : 0;
  }

  const SessionScope scope_;
  ComPtr<IMMDeviceEnumerator> enumerator_;
  std::vector<WatchedSession> sessions_;
  struct Place {
    std::uint64_t created;
    bool inTree;
  };
  std::map<std::uint32_t, Place> places_;  // of the processes whose sessions there are
  std::optional<std::map<std::uint32_t, SnapshotEntry>> processes_;  // of this enumeration, once needed
};

}  // namespace

SessionWatch::SessionWatch(const SessionScope& scope, RecordWriter& writer)
    : scope_(scope), writer_(writer), thread_([this] { Run(); }) {}

SessionWatch::~SessionWatch() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    end_ = true;
  }
  ending_.notify_one();
  thread_.join();
}

void SessionWatch::Captured(const std::int16_t* samples, std::uint32_t frames, std::uint32_t flags) {
  if (samples == nullptr || (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 || heard_.load()) return;
  if (std::any_of(samples, samples + 2 * std::size_t{frames}, [](std::int16_t sample) { return sample != 0; })) {
    heard_.store(true);
  }
}

void SessionWatch::RethrowFailure() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (failure_) std::rethrow_exception(failure_);
}

void SessionWatch::Run() {
  // The session interfaces are used from the multithreaded apartment.
  const HRESULT apartment = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  try {
    try {
      ThrowIfFailed(apartment, "CoInitializeEx");
      WatchSessions();
    } catch (const PlatformError& failure) {
      // The sessions cannot be read at all: the capture goes on, unwatched.
      Queue(UncheckedNotice(failure.what()));
    }
  } catch (...) {
    const std::lock_guard<std::mutex> lock(mutex_);
    failure_ = std::current_exception();
  }
  if (apartment >= 0) CoUninitialize();
}

void SessionWatch::WatchSessions() {
  SessionReader reader(scope_);
  DeafnessCheck check;
  for (int read = 0; AwaitRead(); ++read) {
    if (read % kReadsPerEnumeration == 0) reader.Enumerate();
    const Notice notice = check.Read({GetTickCount64(), heard_.exchange(false), reader.Audible()});
    if (notice.code == Notice::Code::Deaf) Queue(DeafNotice(notice.processIds));
    if (notice.code == Notice::Code::Hearing) Queue(HearingNotice());
  }
}

bool SessionWatch::AwaitRead() {
  std::unique_lock<std::mutex> lock(mutex_);
  return !ending_.wait_for(lock, kReadEvery, [this] { return end_; });
}

// While the record queue is full this waits for room, in slices, until the
// watch is to end; the notice then goes in over the bound.
void SessionWatch::Queue(std::string notice) {
  writer_.Queue(std::move(notice), [this] {
    const std::lock_guard<std::mutex> lock(mutex_);
    return !end_;
  });
}

}  // namespace pcmtap
