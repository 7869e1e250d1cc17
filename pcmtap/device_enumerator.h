// The platform's device enumerator, where the default-device sources and the
// notice readers start from.
#pragma once

#include "pcmtap/cli.h"
#include "pcmtap/com_ptr.h"
#include "pcmtap/interface_ids.h"
#include "pcmtap/platform.h"

namespace pcmtap {

// Throws PlatformError naming CoCreateInstance.
inline ComPtr<IMMDeviceEnumerator> CreateDeviceEnumerator() {
  ComPtr<IMMDeviceEnumerator> enumerator;
  ThrowIfFailed(CoCreateInstance(kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL, kIidMMDeviceEnumerator,
                                 enumerator.PutVoid()),
                "CoCreateInstance");
  return enumerator;
}

}  // namespace pcmtap
