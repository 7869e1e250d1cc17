// Whether a process belongs to a process tree: the root and its descendants
// as they are now, by the parent ids of a snapshot of the processes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace pcmtap {

struct ProcessEntry {
  std::uint32_t parentId;
  std::uint64_t created;  // creation time, any unit; 0: unknown
};

// What the snapshot holds of a process; nothing when it has none (any more).
using ProcessLookup = std::function<std::optional<ProcessEntry>(std::uint32_t processId)>;

// Follows the parents from `processId` up to `rootId`. A parent id outlives
// the parent: when the process that holds it now was created after the
// child, it is not the child's parent, and the chain ends there.
bool InProcessTree(std::uint32_t processId, std::uint32_t rootId, const ProcessLookup& lookup);

}  // namespace pcmtap
