// Windows side of the platform layer.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "pcmtap/platform.h"

namespace pcmtap {

void PrepareStandardStreams() {
  // The writers put "\r\n" themselves; a text-mode stream would double the CR.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

}  // namespace pcmtap
