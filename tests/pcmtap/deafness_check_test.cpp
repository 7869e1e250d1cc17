// The rules of a deaf capture in time series, and the process tree that
// decides which sessions count, against hand-made snapshots.
#include "pcmtap/deafness_check.h"
#include "pcmtap/process_tree.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace pcmtap {
namespace {

using Ids = std::vector<std::uint32_t>;

// A read every 250 ms, a character each: '.' nothing plays, 'a' process 7's
// session plays, 'b' those of 9 and 7, 'h' the capture heard a non-zero
// sample, 'H' it did while 'a' plays, ' ' no read (the machine slept). The
// notices, a character a read: '-' none, 'D' deaf (naming `named`), 'R' hearing.
TEST(DeafnessCheck, NoticesFollowWindowsEpisodesAndThresholds) {
  const struct { const char* name; std::string reads, notices; Ids named; } runs[] = {
      {"unheard playback: deaf once 3 s of reads are in, and once only", "aaaabaaaaaaaaaaaa", "------------D----", {7, 9}},
      {"playback of 1.75 s never makes two thirds of the window; nothing plays", ".aaaaaaa..........", "------------------", {}},
      {"two reads in three are enough", "aa.aa.aa.aa.aa.", "------------D--", {7}},
      {"a sample heard holds the notice back until it leaves the window", "aaaaaaaaaaaaHaaaaaaaaaaaa",
       "------------------------D", {7}},
      {"hearing at the first sample heard; the next deaf takes a whole new window",
       "aaaaaaaaaaaaa" "h" "aaaaaaaaaaaaa", "------------D" "R" "------------D", {7}},
      {"after a sleep, fewer than six reads in the window tell nothing", "a" "                    " "aaaaaa",
       "-" "                    " "-----D", {7}}};
  for (const auto& run : runs) {
    DeafnessCheck check;
    std::string notices;
    Ids named;
    for (std::size_t k = 0; k < run.reads.size(); ++k) {
      const char read = run.reads[k];
      const Ids audible = read == 'b' ? Ids{9, 7, 9} : read == 'a' || read == 'H' ? Ids{7} : Ids{};
      const Notice notice = read == ' ' ? Notice{} : check.Read({1000 + 250 * k, read == 'h' || read == 'H', audible});
      notices += read == ' ' ? ' ' : "-DR"[static_cast<int>(notice.code)];
      if (notice.code == Notice::Code::Deaf) named = notice.processIds;
    }
    EXPECT_EQ(notices, run.notices) << run.name;
    EXPECT_EQ(named, run.named) << run.name;
  }
}

TEST(ProcessTree, HoldsTheRootAndItsDescendantsAsTheyAre) {
  // Process id: parent id, creation time (0: unknown).
  const std::map<std::uint32_t, ProcessEntry> processes = {
      {100, {1, 10}}, {101, {100, 20}}, {102, {101, 30}}, {200, {1, 5}}, {103, {150, 40}}, {104, {100, 5}},
      {105, {100, 0}}, {106, {42, 60}}, {300, {301, 10}}, {301, {300, 10}}};
  const ProcessLookup lookup = [&processes](std::uint32_t id) -> std::optional<ProcessEntry> {
    const auto found = processes.find(id);
    return found == processes.end() ? std::nullopt : std::optional<ProcessEntry>(found->second);
  };
  const struct { const char* name; std::uint32_t process, root; bool inside; } rows[] = {
      {"the root itself", 100, 100, true}, {"a child", 101, 100, true}, {"a grandchild", 102, 100, true},
      {"an unrelated process", 200, 100, false}, {"a process whose parent ended", 103, 100, false},
      {"a process older than the holder of its parent id", 104, 100, false},
      {"a creation time unknown", 105, 100, true}, {"a child of a root that ended", 106, 42, true},
      {"a process that is gone", 999, 100, false}, {"a parent, from its child", 100, 101, false},
      {"a cycle of parent ids", 300, 100, false}};
  for (const auto& row : rows) EXPECT_EQ(InProcessTree(row.process, row.root, lookup), row.inside) << row.name;
}

}  // namespace
}  // namespace pcmtap
