// The one header through which pcmtap reaches the operating system. On
// Windows it pulls in the real system headers; elsewhere it provides a small
// substitute with the same names, so that the same sources build and their
// unit tests run natively.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#include <propidl.h>
#include <audioclient.h>
#include <mmdeviceapi.h>
#else
#include "pcmtap/platform_substitute.h"
#endif

#if defined(_WIN32) && __has_include(<audioclientactivationparams.h>)
#include <audioclientactivationparams.h>
#else
#include "pcmtap/activation_params.h"
#endif

static_assert(sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) == 12,
              "the activation record has the platform's 12-byte layout");

namespace pcmtap {

// Makes the standard streams carry exactly the bytes the program writes (no
// newline translation) and turns a write to a closed pipe into a failed write
// instead of a fatal signal.
void PrepareStandardStreams();

}  // namespace pcmtap
