// Owning reference to a COM interface: releases it when emptied, replaced or
// destroyed. Copies add a reference; moves hand the one they hold over.
#pragma once

#include <cstddef>
#include <utility>

namespace pcmtap {

template <class Interface>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}  // NOLINT(google-explicit-constructor)
  ComPtr(const ComPtr& other) : pointer_(other.pointer_) {
    if (pointer_ != nullptr) pointer_->AddRef();
  }
  ComPtr(ComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(pointer_, other.pointer_);
    return *this;
  }
  ~ComPtr() { Reset(); }

  // Takes over a reference that the caller already owns.
  static ComPtr Attach(Interface* owned) {
    ComPtr result;
    result.pointer_ = owned;
    return result;
  }

  void Reset() {
    if (Interface* old = std::exchange(pointer_, nullptr)) old->Release();
  }

  // Empties the holder and gives the address for an out-parameter.
  Interface** Put() {
    Reset();
    return &pointer_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }

  Interface* Get() const { return pointer_; }
  Interface* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }

 private:
  Interface* pointer_ = nullptr;
};

}  // namespace pcmtap
