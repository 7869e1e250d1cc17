// Soak test of the capture driver: a fake capture client delivers a long
// stretch of audio (24 hours unless told otherwise) in random packet sizes,
// as fast as the driver takes it. Every record is checked as it is flushed:
// the ready record's text, contiguous sequence numbers, the frame count, and
// the payload sample for sample against the reference converter fed the same
// packets. At the end the samples written must be exactly the reference's
// whole chunks. Resident memory is sampled throughout: its peak may exceed
// the figure at the ready record by no more than kResidentGrowthAllowed
// (a leak of 4 bytes a record over 24 hours would be 5 MB).
//
//   pcmtap_soak [hours] [chunk-frames] [seed]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <map>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "pcmtap/capture_driver.h"
#include "tests/pcmtap/base64_decoder.h"
#include "tests/pcmtap/counted_object.h"
#include "tests/pcmtap/fake_com.h"
#include "tests/pcmtap/reference_converter.h"

namespace {

using pcmtap::testing::CountedObject;

constexpr std::uint64_t kResidentGrowthAllowed = 4 * 1024 * 1024;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "soak: FAILED: %s\n", what.c_str());
  std::exit(1);
}

std::uint64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

double Megabytes(std::uint64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15u | 1) {}
  std::uint64_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  std::uint32_t Below(std::uint32_t bound) { return static_cast<std::uint32_t>(Next() % bound); }

 private:
  std::uint64_t state_;
};

// Hands out packets until `totalFrames` have gone; each is also fed to the
// reference converter, which the record checker then takes chunks from.
class StreamingCaptureClient final : public CountedObject<IAudioCaptureClient> {
 public:
  StreamingCaptureClient(std::uint64_t totalFrames, std::uint64_t seed,
                         pcmtap::testing::ReferenceConverter& reference)
      : CountedObject(pcmtap::kIidAudioCaptureClient),
        remaining_(totalFrames),
        random_(seed),
        reference_(reference) {}

  bool exhausted() const { return remaining_ == 0; }
  std::uint64_t delivered() const { return delivered_; }

  // A signal of the audio event: one to four packets become pending.
  void Signal() {
    pendingPackets_ = 1 + random_.Below(4);
    next_ = NextSize();
  }

  HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
    *frames = pendingPackets_ > 0 ? next_ : 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*,
                                      UINT64*) override {
    if (pendingPackets_ == 0) Fail("GetBuffer without a pending packet");
    samples_.resize(2 * std::size_t{next_});
    for (auto& sample : samples_) sample = static_cast<std::int16_t>(random_.Next() >> 48);
    const std::uint32_t choice = random_.Below(1000);
    *flags = choice < 20 ? 0x2 : choice < 40 ? 0x1 : choice < 45 ? 0x4 : 0;
    const bool null = choice >= 995;
    *data = null ? nullptr : reinterpret_cast<BYTE*>(samples_.data());
    *frames = next_;
    reference_.AddPacket(null ? nullptr : samples_.data(), next_, *flags);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
    if (frames != next_) Fail("ReleaseBuffer with another frame count");
    remaining_ -= frames;
    delivered_ += frames;
    --pendingPackets_;
    next_ = pendingPackets_ > 0 ? NextSize() : 0;
    return S_OK;
  }

 private:
  // Mostly what shared-mode capture delivers (10 ms periods of 441 to 480
  // frames), otherwise anything up to the 100 ms buffer, or a few frames.
  UINT32 NextSize() {
    std::uint32_t size = 0;
    switch (random_.Below(4)) {
      case 0: size = 441 + random_.Below(40); break;
      case 1: size = 1 + random_.Below(16); break;
      default: size = 1 + random_.Below(4410); break;
    }
    if (size > remaining_) size = static_cast<std::uint32_t>(remaining_);
    return size;
  }

  std::uint64_t remaining_;
  std::uint64_t delivered_ = 0;
  Random random_;
  pcmtap::testing::ReferenceConverter& reference_;
  std::vector<std::int16_t> samples_;
  std::uint32_t pendingPackets_ = 0;
  UINT32 next_ = 0;
};

// Checks each record when the driver flushes it.
class RecordChecker final : public std::streambuf {
 public:
  RecordChecker(std::uint64_t chunkFrames, pcmtap::testing::ReferenceConverter& reference)
      : chunkFrames_(chunkFrames), reference_(reference) {}

  std::uint64_t records() const { return records_; }
  std::uint64_t peakResident() const { return peakResident_; }
  std::uint64_t residentAtReady() const { return residentAtReady_; }

 protected:
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) pending_ += traits_type::to_char_type(c);
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    pending_.append(text, static_cast<std::size_t>(count));
    return count;
  }
  int sync() override {
    std::size_t begin = 0;
    for (std::size_t end; (end = pending_.find("\r\n", begin)) != std::string::npos;
         begin = end + 2) {
      Check(pending_.substr(begin, end - begin));
    }
    pending_.erase(0, begin);
    return 0;
  }

 private:
  void Check(const std::string& line) {
    if (!ready_) {
      if (line != "{\"type\":\"ready\",\"sampleRate\":16000,\"channels\":1,\"targetProcessId\":4242,"
                  "\"mode\":\"exclude-target-process-tree\"}") {
        Fail("first line is not the ready record: " + line.substr(0, 120));
      }
      ready_ = true;
      residentAtReady_ = ResidentBytes();
      return;
    }
    const std::string head = "{\"type\":\"pcm\",\"sampleRate\":16000,\"channels\":1,\"frames\":" +
                             std::to_string(chunkFrames_) +
                             ",\"sequence\":" + std::to_string(records_) + ",\"pcmBase64\":\"";
    if (line.compare(0, head.size(), head) != 0 || line.size() < head.size() + 2 ||
        line.compare(line.size() - 2, 2, "\"}") != 0) {
      Fail("record " + std::to_string(records_) + " malformed: " + line.substr(0, 120));
    }
    const auto samples =
        pcmtap::testing::DecodePcmPayload(line.substr(head.size(), line.size() - head.size() - 2));
    if (!reference_.TakeChunk(expected_)) {
      Fail("record " + std::to_string(records_) + " before the reference has a chunk");
    }
    if (!samples || *samples != expected_) {
      Fail("record " + std::to_string(records_) + " differs from the reference");
    }
    ++records_;
    if (records_ % 1024 == 0) {
      const std::uint64_t resident = ResidentBytes();
      if (resident > peakResident_) peakResident_ = resident;
    }
  }

  std::uint64_t chunkFrames_;
  pcmtap::testing::ReferenceConverter& reference_;
  std::string pending_;
  std::vector<std::int16_t> expected_;
  bool ready_ = false;
  std::uint64_t records_ = 0;
  std::uint64_t residentAtReady_ = 0;
  std::uint64_t peakResident_ = 0;
};

struct Soak {
  StreamingCaptureClient* capture;
  pcmtap::testing::FakeAudioClient* audio;
  RecordChecker* checker;
  std::uint64_t framesPerHour;
  std::uint64_t nextReport;
  std::chrono::steady_clock::time_point started;
  std::uint64_t residentAtEnd;
};
Soak* g_soak = nullptr;

DWORD WINAPI Wait(HANDLE, DWORD) {
  Soak& soak = *g_soak;
  if (soak.capture->delivered() >= soak.nextReport) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - soak.started).count();
    std::printf("  %5.1f h of audio  %9llu records  resident %7.2f MB  %6.1f s\n",
                static_cast<double>(soak.capture->delivered()) / static_cast<double>(soak.framesPerHour),
                static_cast<unsigned long long>(soak.checker->records()),
                Megabytes(ResidentBytes()), seconds);
    std::fflush(stdout);
    soak.nextReport += soak.framesPerHour;
  }
  if (soak.capture->exhausted()) {
    soak.residentAtEnd = ResidentBytes();
    pcmtap::ConsoleCtrlHandler(CTRL_C_EVENT);
    return WAIT_TIMEOUT;
  }
  soak.capture->Signal();
  return WAIT_OBJECT_0;
}

}  // namespace

int main(int argc, char* argv[]) {
  const double hours = argc > 1 ? std::atof(argv[1]) : 24.0;
  const std::uint64_t chunkFrames = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024;
  const std::uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
  if (!(hours > 0) || chunkFrames < 1 || chunkFrames > 8192) {
    std::fprintf(stderr, "usage: pcmtap_soak [hours] [chunk-frames 1..8192] [seed]\n");
    return 2;
  }
  const std::uint64_t framesPerHour = 44100ull * 3600;
  const auto totalFrames = static_cast<std::uint64_t>(hours * static_cast<double>(framesPerHour));

  pcmtap::testing::ReferenceConverter reference(chunkFrames);
  pcmtap::testing::CallLog log;  // the audio client's few calls
  std::map<std::string, HRESULT> noFaults;
  auto* capture = new StreamingCaptureClient(totalFrames, seed, reference);
  auto* audio = new pcmtap::testing::FakeAudioClient(log, noFaults, capture);
  RecordChecker checker(chunkFrames, reference);
  std::ostream out(&checker);
  Soak soak{capture, audio, &checker, framesPerHour, 0, std::chrono::steady_clock::now(), 0};
  g_soak = &soak;

  const pcmtap::CapturePlatform platform = {
      [](PHANDLER_ROUTINE, BOOL) -> BOOL { return TRUE; },
      [](LPVOID, DWORD) -> HRESULT { return S_OK; },
      []() {},
      [](LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) -> HANDLE {
        return reinterpret_cast<HANDLE>(std::uintptr_t{0xE7E7});
      },
      &Wait,
      [](HANDLE) -> BOOL { return TRUE; },
      [](const pcmtap::CaptureOptions&) -> pcmtap::ComPtr<IAudioClient> {
        g_soak->audio->AddRef();
        return pcmtap::ComPtr<IAudioClient>::Attach(g_soak->audio);
      },
  };
  pcmtap::CaptureOptions options;
  options.targetProcessId = 4242;
  options.chunkFrames = chunkFrames;

  std::printf("soak: %.2f h of audio (%llu frames), chunks of %llu, seed %llu\n", hours,
              static_cast<unsigned long long>(totalFrames),
              static_cast<unsigned long long>(chunkFrames), static_cast<unsigned long long>(seed));
  try {
    pcmtap::RunCapture(options, platform, out);
  } catch (const std::exception& failure) {
    Fail(std::string("the driver failed: ") + failure.what());
  }

  // Every whole chunk of the reference was written, and nothing else.
  std::vector<std::int16_t> leftover;
  if (reference.TakeChunk(leftover)) Fail("a whole chunk was never written");
  const std::uint64_t samples = checker.records() * chunkFrames + reference.output.size();
  // Independent of the reference: 16000 samples for every 44100 frames.
  const double expectedSamples = static_cast<double>(totalFrames) * 16000.0 / 44100.0;
  if (capture->delivered() != totalFrames || static_cast<double>(samples) < expectedSamples - 2 ||
      static_cast<double>(samples) > expectedSamples + 2) {
    Fail("sample count " + std::to_string(samples) + " for " + std::to_string(totalFrames) +
         " frames");
  }
  if (audio->references() != 1 || capture->references() != 1) Fail("a reference was not released");
  const std::uint64_t peak = std::max(checker.peakResident(), soak.residentAtEnd);
  if (peak > checker.residentAtReady() + kResidentGrowthAllowed) Fail("resident memory grew");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - soak.started).count();
  std::printf(
      "soak: passed in %.1f s: %llu records (sequence 0 to %llu contiguous), %llu samples checked"
      " against the reference, %llu held at the stop (less than a chunk)\n",
      seconds, static_cast<unsigned long long>(checker.records()),
      static_cast<unsigned long long>(checker.records() - 1),
      static_cast<unsigned long long>(checker.records() * chunkFrames),
      static_cast<unsigned long long>(reference.output.size()));
  std::printf("soak: resident memory at the ready record %.2f MB, peak %.2f MB, at the stop %.2f MB\n",
              Megabytes(checker.residentAtReady()), Megabytes(peak), Megabytes(soak.residentAtEnd));
  audio->Release();
  capture->Release();
  return 0;
}
