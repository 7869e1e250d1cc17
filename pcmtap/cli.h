// pcmtap's command line, and the conversion of failed platform statuses into
// the exceptions that end a run with one error line.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// A platform status: the system's HRESULT on Windows (a 32-bit long there;
// repeating its alias is allowed), the same signed 32-bit integer elsewhere,
// so that this part of the program builds without any platform header.
#ifdef _WIN32
using HRESULT = long;
#else
using HRESULT = std::int32_t;
#endif

namespace pcmtap {

// The values are those of the platform's process-loopback activation
// parameters; the activation passes them on unchanged.
enum class LoopbackMode : std::uint32_t {
  IncludeTargetProcessTree = 0,
  ExcludeTargetProcessTree = 1,
};

// What becomes of the time that no captured packet covers: nothing (the
// records hold only the audio that was played), or silence, so that every
// sample stands for its own moment since the start.
enum class GapPolicy : std::uint32_t { Skip, Fill };

// Where the audio comes from: process loopback (all but one process tree, or
// that tree alone); the loopback of the default render device, which hears
// whatever that device plays; or the default capture device, a microphone.
// The last two follow their default as it changes.
enum class CaptureSource : std::uint32_t { Process, Endpoint, Microphone };

// Whose default device the endpoint and microphone sources follow; the values
// are the platform's ERole.
enum class EndpointRole : std::uint32_t { Console = 0, Communications = 2 };

// How the captured audio becomes 16 kHz: by linear interpolation of a 44.1 kHz
// stereo 16-bit stream (no low-pass, so what lies above 8 kHz folds into the
// speech band), or through a windowed-sinc low-pass from the device's own
// format.
enum class Resampler : std::uint32_t { Linear, BandLimited };

struct CaptureOptions {
  std::uint32_t targetProcessId = 0;  // 0: not given; required for the process source
  LoopbackMode mode = LoopbackMode::ExcludeTargetProcessTree;
  std::uint64_t chunkFrames = 1024;  // 16 kHz frames per pcm record, 1 to 8192
  GapPolicy gaps = GapPolicy::Skip;
  CaptureSource source = CaptureSource::Process;
  EndpointRole role = EndpointRole::Console;  // endpoint and microphone sources only
  bool notices = false;  // notice records when the capture seems deaf to what plays
  // Linear unless asked otherwise, but band-limited for the microphone, which
  // refuses linear.
  Resampler resampler = Resampler::Linear;
};

struct StopOptions {
  std::uint32_t processId = 0;  // of the capture to stop; 0: not given
};

// Throws std::runtime_error with the usage or the first problem found, or
// std::invalid_argument / std::out_of_range from a numeric value.
CaptureOptions ParseArguments(int argc, char* argv[]);

// The "stop" command's options; throws like ParseArguments.
StopOptions ParseStopArguments(int argc, char* argv[]);

// "0x" and the status as unsigned 32-bit lower-case hexadecimal, unpadded.
std::string FormatHresult(HRESULT status);

// A platform call's failure. Its message names the call and the status; the
// status itself is kept for a caller that can recover from some.
class PlatformError : public std::runtime_error {
 public:
  PlatformError(const std::string& message, HRESULT status) : std::runtime_error(message), status_(status) {}
  HRESULT status() const { return status_; }

 private:
  HRESULT status_;
};

// Throws PlatformError("<call> failed: 0x...") for a negative status.
void ThrowIfFailed(HRESULT status, const char* call);
// Only a status can be tested: a BOOL or a count would convert, and FALSE
// (0) would pass as success.
template <class NotAStatus>
void ThrowIfFailed(NotAStatus status, const char* call) = delete;

// The body of main: parses the command line, hands the options to
// `runCapture`, and turns any failure into the one error line on standard
// error. Returns the exit status, 0 after an orderly stop, else 1. Preparing
// the standard streams is main's own job.
int RunCommandLine(int argc, char* argv[], void (*runCapture)(const CaptureOptions&));
// The same, and "stop" runs `runStop`, which throws when the capture did not
// end in order.
int RunCommandLine(int argc, char* argv[], void (*runCapture)(const CaptureOptions&),
                   void (*runStop)(const StopOptions&));

}  // namespace pcmtap
