#include "pcmtap/process_tree.h"

namespace pcmtap {
namespace {

// Deeper than any real tree; it ends a walk round a cycle of parent ids.
constexpr int kDeepest = 1024;

}  // namespace

bool InProcessTree(std::uint32_t processId, std::uint32_t rootId, const ProcessLookup& lookup) {
  std::optional<ProcessEntry> process = lookup(processId);
  for (int depth = 0; depth < kDeepest && processId != rootId; ++depth) {
    if (!process) return false;
    const std::uint32_t parentId = process->parentId;
    const std::optional<ProcessEntry> parent = lookup(parentId);
    // The root may have ended: a parent id that names it still counts.
    if (!parent) return parentId == rootId;
    if (parent->created != 0 && process->created != 0 && parent->created > process->created) return false;
    processId = parentId;
    process = parent;
  }
  return processId == rootId;
}

}  // namespace pcmtap
