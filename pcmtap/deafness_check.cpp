#include "pcmtap/deafness_check.h"

#include <algorithm>
#include <utility>

namespace pcmtap {

Notice DeafnessCheck::Read(SessionRead read) {
  if (deaf_) {
    if (!read.heard) return {};
    deaf_ = false;
    window_.clear();
    return {Notice::Code::Hearing, {}};
  }
  if (window_.empty()) episodeStart_ = read.time;
  window_.push_back(std::move(read));
  const std::uint64_t now = window_.back().time;
  while (now - window_.front().time >= kWindowMilliseconds) window_.pop_front();
  if (now - episodeStart_ < kWindowMilliseconds || window_.size() < kFewestReads) return {};

  std::size_t audibleReads = 0;
  std::vector<std::uint32_t> processIds;
  for (const SessionRead& earlier : window_) {
    if (earlier.heard) return {};
    audibleReads += earlier.audible.empty() ? 0 : 1;
    processIds.insert(processIds.end(), earlier.audible.begin(), earlier.audible.end());
  }
  if (3 * audibleReads < 2 * window_.size()) return {};
  std::sort(processIds.begin(), processIds.end());
  processIds.erase(std::unique(processIds.begin(), processIds.end()), processIds.end());
  deaf_ = true;
  return {Notice::Code::Deaf, std::move(processIds)};
}

}  // namespace pcmtap
