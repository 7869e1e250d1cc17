// A COM object with one interface: an atomic reference count that deletes
// the object at zero, and QueryInterface for IUnknown and that interface.
// The count is visible so that tests can prove every reference came back.
#pragma once

#include <atomic>

#include "pcmtap/interface_ids.h"
#include "pcmtap/platform.h"

namespace pcmtap::testing {

template <class Interface>
class CountedObject : public Interface {
 public:
  explicit CountedObject(const IID& ownId) : ownId_(ownId) {}
  virtual ~CountedObject() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, kIidUnknown) || IsEqualIID(riid, ownId_)) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG remaining = --references_;
    if (remaining == 0) delete this;
    return remaining;
  }
  ULONG references() const { return references_; }

 private:
  IID ownId_;
  std::atomic<ULONG> references_{1};
};

}  // namespace pcmtap::testing
