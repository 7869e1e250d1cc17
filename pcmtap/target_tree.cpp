#include "pcmtap/target_tree.h"

#include <algorithm>

#include "pcmtap/cli.h"
#include "pcmtap/platform.h"

namespace pcmtap {
namespace {

// 0 when the process cannot be asked (it ended, or it is protected).
std::uint64_t CreationTime(std::uint32_t processId) {
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (process == nullptr) return 0;
  FILETIME created{};
  FILETIME unused[3]{};
  const bool known = GetProcessTimes(process, &created, &unused[0], &unused[1], &unused[2]) != FALSE;
  CloseHandle(process);
  return known ? (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime : 0;
}

}  // namespace

bool TargetTree::Holds(std::uint32_t processId) {
  const std::uint64_t created = CreationTime(processId);
  auto known = places_.find(processId);
  if (known == places_.end() || known->second.created != created) {
    const ProcessLookup lookup = [this](std::uint32_t id) { return Process(id); };
    known = places_.insert_or_assign(processId, Place{created, InProcessTree(processId, rootId_, lookup)}).first;
  }
  return known->second.inTree;
}

void TargetTree::Refresh(const std::vector<std::uint32_t>& current) {
  snapshot_.reset();
  for (auto place = places_.begin(); place != places_.end();) {
    const bool kept = std::find(current.begin(), current.end(), place->first) != current.end();
    place = kept ? std::next(place) : places_.erase(place);
  }
}

// Its creation time only when first asked for, as few processes ever are.
std::optional<ProcessEntry> TargetTree::Process(std::uint32_t processId) {
  if (!snapshot_) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) ThrowIfFailed(HRESULT_FROM_WIN32(GetLastError()), "CreateToolhelp32Snapshot");
    snapshot_.emplace();
    PROCESSENTRY32W process{};
    process.dwSize = sizeof process;
    for (BOOL more = Process32FirstW(snapshot, &process); more != FALSE; more = Process32NextW(snapshot, &process)) {
      (*snapshot_)[process.th32ProcessID] = {{process.th32ParentProcessID, 0}, false};
    }
    CloseHandle(snapshot);
  }
  const auto found = snapshot_->find(processId);
  if (found == snapshot_->end()) return std::nullopt;
  SnapshotEntry& entry = found->second;
  if (!entry.timed) entry.process.created = CreationTime(processId);
  entry.timed = true;
  return entry.process;
}

}  // namespace pcmtap
