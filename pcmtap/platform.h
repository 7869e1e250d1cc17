// The system headers for the Windows-only parts of pcmtap: the capture
// driver, the activations and the watch over the audio sessions.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <propidl.h>
#include <audioclient.h>
#include <mmdeviceapi.h>
#include <audiopolicy.h>
#include <endpointvolume.h>
#include <tlhelp32.h>
#include <avrt.h>

#if __has_include(<audioclientactivationparams.h>)
#include <audioclientactivationparams.h>
#else
#include "pcmtap/activation_params.h"
#endif

#include "pcmtap/audio_meter.h"

static_assert(sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) == 12,
              "the activation record has the platform's 12-byte layout");
