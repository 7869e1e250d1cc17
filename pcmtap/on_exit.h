// Undoes something on every way out of the scope it is declared in; guards
// declared one after another undo in reverse order.
#pragma once

namespace pcmtap {

template <class Undo>
class OnExit {
 public:
  explicit OnExit(Undo undo) : undo_(undo) {}
  OnExit(const OnExit&) = delete;
  OnExit& operator=(const OnExit&) = delete;
  ~OnExit() { undo_(); }

 private:
  Undo undo_;
};

}  // namespace pcmtap
