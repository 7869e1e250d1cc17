// The target's process tree on a running system, for the watch over the
// audio sessions: which processes it holds as it grows, judged from process
// snapshots. Windows only; the walk itself is process_tree's.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "pcmtap/process_tree.h"

namespace pcmtap {

class TargetTree {
 public:
  explicit TargetTree(std::uint32_t rootId) : rootId_(rootId) {}

  // Whether the process is the root or one of its descendants. A process
  // takes its place in the tree when it is created: each is judged once,
  // from a snapshot taken then (a snapshot is dear), and again only when its
  // id names a process created since. Throws when no snapshot can be taken.
  bool Holds(std::uint32_t processId);
  // The next snapshot is taken afresh, and only the processes in `current`
  // are remembered.
  void Refresh(const std::vector<std::uint32_t>& current);

 private:
  struct Place {
    std::uint64_t created;
    bool inTree;
  };
  struct SnapshotEntry {
    ProcessEntry process;
    bool timed;  // its creation time was asked for
  };

  std::optional<ProcessEntry> Process(std::uint32_t processId);

  const std::uint32_t rootId_;
  std::map<std::uint32_t, Place> places_;
  std::optional<std::map<std::uint32_t, SnapshotEntry>> snapshot_;  // taken at the first need after a refresh
};

}  // namespace pcmtap
