// A window system in memory: a Z-order list, rectangles, monitors, window
// states, queries that fail, and an owner process that ends after a number
// of polls. Every query is logged so that tests can check which were made.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "topguard/guard.h"
#include "topguard/window_system.h"

namespace topguard {

struct SimWindow {
  WindowHandle handle;
  Rect rect;
  std::size_t monitor = 0;  // index into SimulatedWindowSystem::monitors
  bool visible = true;
  bool minimised = false;
  std::uint32_t cloaked = 0;
  bool cloakQueryFails = false;
  bool rectQueryFails = false;
  bool monitorQueryFails = false;
};

class SimulatedWindowSystem : public WindowSystem {
 public:
  static constexpr std::int32_t kNotImplemented = -2147467263;  // E_NOTIMPL
  static constexpr ProcessHandle kOwnerHandle = 0x44;

  std::vector<SimWindow> zOrder;  // topmost first
  std::vector<Rect> monitors{{0, 0, 1920, 1080}};
  std::uint32_t ownerProcessId = 1234;  // the only id that opens
  int pollsBeforeOwnerEnds = 1000000;
  std::uint32_t endedWaitResult = 0;  // WAIT_OBJECT_0; 0xFFFFFFFF is WAIT_FAILED
  bool raiseTakesEffect = true;
  std::function<void(int poll)> beforePoll;  // runs after each timed-out wait

  std::vector<std::string> log;
  std::vector<std::uint32_t> openedIds;
  int waits = 0;
  int closes = 0;

  int Count(const std::string& prefix) const {
    return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const std::string& s) { return s.rfind(prefix, 0) == 0; }));
  }

  SimWindow* Find(WindowHandle h) {
    auto it = std::find_if(zOrder.begin(), zOrder.end(), [h](const SimWindow& w) { return w.handle == h; });
    return it == zOrder.end() ? nullptr : &*it;
  }
  void Destroy(WindowHandle h) {
    zOrder.erase(std::remove_if(zOrder.begin(), zOrder.end(), [h](const SimWindow& w) { return w.handle == h; }), zOrder.end());
  }
  void MoveToTop(WindowHandle h) {
    auto it = std::find_if(zOrder.begin(), zOrder.end(), [h](const SimWindow& w) { return w.handle == h; });
    std::rotate(zOrder.begin(), it, it + 1);
  }

  ProcessHandle OpenProcessForWait(std::uint32_t processId) override {
    openedIds.push_back(processId);
    return processId == ownerProcessId ? kOwnerHandle : 0;
  }
  std::uint32_t WaitForProcess(ProcessHandle process, std::uint32_t milliseconds) override {
    log.push_back("wait");
    if (process != kOwnerHandle || milliseconds != kPollIntervalMs || closes != 0) return 0xFFFFFFFF;
    if (++waits > pollsBeforeOwnerEnds) return endedWaitResult;
    if (beforePoll) beforePoll(waits);
    return kWaitTimeout;
  }
  void CloseProcess(ProcessHandle process) override {
    if (process == kOwnerHandle) ++closes;
  }
  bool WindowExists(WindowHandle h) override {
    log.push_back("exists " + std::to_string(h));
    return Find(h) != nullptr;
  }
  bool IsVisible(WindowHandle h) override {
    log.push_back("visible " + std::to_string(h));
    return Find(h) && Find(h)->visible;
  }
  bool IsMinimised(WindowHandle h) override {
    log.push_back("iconic " + std::to_string(h));
    return Find(h) && Find(h)->minimised;
  }
  bool GetRect(WindowHandle h, Rect& rect) override {
    log.push_back("rect " + std::to_string(h));
    if (!Find(h) || Find(h)->rectQueryFails) return false;
    rect = Find(h)->rect;
    return true;
  }
  WindowHandle WindowAbove(WindowHandle h) override {
    log.push_back("above " + std::to_string(h));
    const SimWindow* w = Find(h);
    return w && w != zOrder.data() ? (w - 1)->handle : 0;
  }
  std::int32_t QueryCloaked(WindowHandle h, std::uint32_t& cloaked) override {
    log.push_back("cloaked " + std::to_string(h));
    if (cloaked != 0) return kNotImplemented;  // the caller must clear the value first
    if (!Find(h) || Find(h)->cloakQueryFails) {
      cloaked = 0xDEAD;  // a failed query leaves no meaningful value
      return kNotImplemented;
    }
    cloaked = Find(h)->cloaked;
    return 0;
  }
  bool Intersect(const Rect& window, const Rect& target) override {
    log.push_back("intersect");
    return Overlaps(window, target);
  }
  MonitorHandle NearestMonitor(WindowHandle h) override {
    log.push_back("monitor " + std::to_string(h));
    if (!Find(h)) return 0;
    return Find(h)->monitorQueryFails ? 0xBAD : Find(h)->monitor + 1;
  }
  bool GetMonitorRect(MonitorHandle m, Rect& rect) override {
    log.push_back("monitorinfo " + std::to_string(m));
    if (m == 0 || m > monitors.size()) return false;
    rect = monitors[m - 1];
    return true;
  }
  void RaiseToTopmost(WindowHandle h) override {
    log.push_back("raise " + std::to_string(h));
    if (raiseTakesEffect && Find(h)) MoveToTop(h);
  }
};

}  // namespace topguard
