#include "pcmtap/loopback_activation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "fake_com.h"

namespace pcmtap {
namespace {

using testing::CallLog;
using testing::FakeAudioClient;
using testing::FakeCaptureClient;
using testing::CountedObject;

class FakeOperation final : public CountedObject<IActivateAudioInterfaceAsyncOperation> {
 public:
  FakeOperation(HRESULT callStatus, HRESULT activationStatus, IUnknown* object)
      : CountedObject(kIidActivateAsyncOperation), callStatus_(callStatus),
        activationStatus_(activationStatus), object_(object) {}
  HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* activationStatus, IUnknown** object) override {
    if (*activationStatus != S_OK || *object != nullptr) return E_INVALIDARG;  // must be preset
    if (callStatus_ < 0) return callStatus_;
    *activationStatus = activationStatus_;
    if (object_ != nullptr) object_->AddRef();
    *object = object_;
    return callStatus_;
  }

 private:
  HRESULT callStatus_;
  HRESULT activationStatus_;
  IUnknown* object_;
};

// An activated object that is no audio client.
class FakeOther final : public CountedObject<IAgileObject> {
 public:
  FakeOther() : CountedObject(kIidAgileObject) {}
};

enum class Completion { Never, BeforeReturn, AfterAWhile };

// What the fake platform is told to do, and what it saw.
struct Scenario {
  HRESULT callStatus = S_OK;  // of ActivateAudioInterfaceAsync itself
  Completion completion = Completion::BeforeReturn;
  bool platformReleasesLate = false;  // keeps its handler reference after the routine returns
  HRESULT resultCallStatus = S_OK;
  HRESULT activationStatus = S_OK;
  IUnknown* object = nullptr;
  bool eventFails = false;

  bool called = false;
  std::wstring path;
  bool askedForAudioClient = false;
  VARTYPE vt = 0;
  ULONG blobSize = 0;
  AUDIOCLIENT_ACTIVATION_PARAMS parameters{};
  std::thread platformThread;
};
Scenario* g_scenario = nullptr;

HRESULT WINAPI FakeActivate(LPCWSTR path, REFIID riid, PROPVARIANT* property,
                            IActivateAudioInterfaceCompletionHandler* handler,
                            IActivateAudioInterfaceAsyncOperation** operation) {
  Scenario& s = *g_scenario;
  s.called = true;
  s.path = path;
  s.askedForAudioClient = IsEqualIID(riid, kIidAudioClient);
  s.vt = property->vt;
  s.blobSize = property->blob.cbSize;
  std::memcpy(&s.parameters, property->blob.pBlobData, sizeof s.parameters);
  if (s.callStatus < 0) return s.callStatus;

  auto* op = new FakeOperation(s.resultCallStatus, s.activationStatus, s.object);
  op->AddRef();  // one for the caller, one for the completing side
  *operation = op;
  handler->AddRef();
  auto complete = [handler, op, late = s.platformReleasesLate] {
    handler->ActivateCompleted(op);
    if (late) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    handler->Release();
    op->Release();
  };
  if (s.completion == Completion::BeforeReturn) {
    s.platformThread = std::thread(complete);
    if (!s.platformReleasesLate) s.platformThread.join();
    else std::this_thread::sleep_for(std::chrono::milliseconds(20));  // completed, not released
  } else {
    s.platformThread = std::thread([complete] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      complete();
    });
  }
  return s.callStatus;
}

HANDLE WINAPI FakeCreateEvent(LPSECURITY_ATTRIBUTES a, BOOL manual, BOOL initial, LPCWSTR name) {
  if (g_scenario != nullptr && g_scenario->eventFails) return nullptr;
  return CreateEventW(a, manual, initial, name);
}

const ActivationPlatform kFakePlatform = {&FakeActivate, &CoCreateFreeThreadedMarshaler,
                                          &FakeCreateEvent};

struct Outcome {
  std::string failure;
  ComPtr<IAudioClient> client;
};

Outcome Activate(Scenario& scenario, std::uint32_t pid = 4242,
                 LoopbackMode mode = LoopbackMode::ExcludeTargetProcessTree) {
  g_scenario = &scenario;
  CaptureOptions options;
  options.targetProcessId = pid;
  options.mode = mode;
  Outcome outcome;
  try {
    outcome.client = ActivateProcessLoopbackClient(options, kFakePlatform);
  } catch (const std::runtime_error& e) {
    outcome.failure = e.what();
  }
  if (scenario.platformThread.joinable()) scenario.platformThread.join();
  g_scenario = nullptr;
  return outcome;
}

TEST(ActivateProcessLoopbackClient, PassesTheRequestUnchanged) {
  const std::vector<std::pair<std::uint32_t, LoopbackMode>> requests = {
      {4242, LoopbackMode::ExcludeTargetProcessTree},
      {1, LoopbackMode::IncludeTargetProcessTree},
      {4294967295u, LoopbackMode::IncludeTargetProcessTree}};
  for (const auto& [pid, mode] : requests) {
    Scenario scenario;
    scenario.callStatus = E_FAIL;
    Activate(scenario, pid, mode);
    EXPECT_EQ(scenario.path, L"VAD\\Process_Loopback");
    EXPECT_TRUE(scenario.askedForAudioClient);
    EXPECT_EQ(scenario.vt, VT_BLOB);
    EXPECT_EQ(scenario.blobSize, 12u);
    EXPECT_EQ(scenario.parameters.ActivationType, AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK);
    EXPECT_EQ(scenario.parameters.ProcessLoopbackParams.TargetProcessId, pid);
    EXPECT_EQ(static_cast<std::uint32_t>(scenario.parameters.ProcessLoopbackParams.ProcessLoopbackMode),
              static_cast<std::uint32_t>(mode));
  }
}

TEST(ActivateProcessLoopbackClient, Failures) {
  const HRESULT denied = static_cast<HRESULT>(0x80070005u);
  const HRESULT notFound = static_cast<HRESULT>(0x80070002u);
  const std::string noClient = "ActivateAudioInterfaceAsync returned no IAudioClient";
  struct Case {
    const char* name;
    HRESULT callStatus;        // of ActivateAudioInterfaceAsync
    HRESULT resultCallStatus;  // of GetActivateResult
    HRESULT activationStatus;
    bool activatesOther;       // an object that is no audio client
    Completion completion;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"platform call fails, no wait", denied, S_OK, S_OK, false, Completion::Never,
       "ActivateAudioInterfaceAsync failed: 0x80070005"},
      {"GetActivateResult fails", S_OK, denied, S_OK, false, Completion::BeforeReturn,
       "ActivateAudioInterfaceAsync completion failed: 0x80070005"},
      {"activation fails", S_OK, S_OK, notFound, false, Completion::AfterAWhile,
       "ActivateAudioInterfaceAsync completion failed: 0x80070002"},
      {"object is no audio client", S_OK, S_OK, S_OK, true, Completion::BeforeReturn, noClient},
      {"success without an object", S_OK, S_OK, S_OK, false, Completion::BeforeReturn, noClient},
  };
  FakeOther other;  // on the stack: its count is checked and never reaches 0
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scenario scenario;
    scenario.callStatus = c.callStatus;
    scenario.resultCallStatus = c.resultCallStatus;
    scenario.activationStatus = c.activationStatus;
    scenario.object = c.activatesOther ? &other : nullptr;
    scenario.completion = c.completion;
    const Outcome outcome = Activate(scenario);
    EXPECT_EQ(outcome.failure, c.message);
    EXPECT_FALSE(outcome.client);
    EXPECT_EQ(other.references(), 1u);
  }
}

TEST(ActivateProcessLoopbackClient, AMissingEventFailsBeforeThePlatformCall) {
  Scenario scenario;
  scenario.eventFails = true;
  EXPECT_EQ(Activate(scenario).failure, "CreateEventW failed");
  EXPECT_FALSE(scenario.called);
}

TEST(ActivateProcessLoopbackClient, TheClientOutlivesTheHandlerWhicheverThreadReleasesLast) {
  CallLog log;
  std::map<std::string, HRESULT> faults;
  auto* capture = new FakeCaptureClient(log, faults);
  auto* audio = new FakeAudioClient(log, faults, capture);
  for (const Completion completion : {Completion::BeforeReturn, Completion::AfterAWhile}) {
    for (const bool late : {false, true}) {
      Scenario scenario;
      scenario.completion = completion;
      scenario.platformReleasesLate = late;
      scenario.object = audio;
      Outcome outcome = Activate(scenario);
      ASSERT_EQ(outcome.failure, "");
      ASSERT_EQ(outcome.client.Get(), audio);
      // Every other reference is gone: the handler and operation are destroyed.
      EXPECT_EQ(audio->references(), 2u);
      outcome.client.Reset();
      EXPECT_EQ(audio->references(), 1u);
    }
  }
  audio->Release();
  capture->Release();
}

// --- The handler's COM plumbing ----------------------------------------------

class FakeMarshaler final : public CountedObject<IMarshal> {
 public:
  FakeMarshaler() : CountedObject(kIidMarshal) {}
  static constexpr HRESULT kAnswer = 0x00012345;
  std::string calls;
  HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD, CLSID*) override {
    return Note("u");
  }
  HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID, void*, DWORD d, void*, DWORD, DWORD*) override {
    return Note(d == 3 ? "s" : "s?");
  }
  HRESULT STDMETHODCALLTYPE MarshalInterface(IStream*, REFIID, void*, DWORD, void*, DWORD) override {
    return Note("m");
  }
  HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream*, REFIID, void**) override { return Note("n"); }
  HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream*) override { return Note("r"); }
  HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD reserved) override {
    return Note(reserved == 9 ? "d" : "d?");
  }

 private:
  HRESULT Note(const char* call) {
    calls += call;
    return kAnswer;
  }
};
FakeMarshaler* g_marshaler = nullptr;

HRESULT WINAPI FakeMarshalerFactory(LPUNKNOWN outer, LPUNKNOWN* result) {
  if (outer != nullptr || g_marshaler == nullptr) return E_OUTOFMEMORY;
  g_marshaler->AddRef();
  *result = g_marshaler;
  return S_OK;
}

std::string CallAllMarshalOperations(IMarshal* marshal, std::vector<HRESULT>& results) {
  CLSID clsid{};
  DWORD size = 0;
  void* object = nullptr;
  results = {marshal->GetUnmarshalClass(kIidUnknown, nullptr, 3, nullptr, 0, &clsid),
             marshal->GetMarshalSizeMax(kIidUnknown, nullptr, 3, nullptr, 0, &size),
             marshal->MarshalInterface(nullptr, kIidUnknown, nullptr, 3, nullptr, 0),
             marshal->UnmarshalInterface(nullptr, kIidUnknown, &object),
             marshal->ReleaseMarshalData(nullptr),
             marshal->DisconnectObject(9)};
  return g_marshaler != nullptr ? g_marshaler->calls : "";
}

TEST(AudioClientActivationHandler, BothViewsShareOneIdentityAndOneCount) {
  auto handler = AudioClientActivationHandler::Create(SystemActivationPlatform());
  ASSERT_TRUE(handler);
  IUnknown* primary = static_cast<IMarshal*>(handler.Get());
  IUnknown* completion = handler->CompletionView();
  ASSERT_NE(static_cast<void*>(primary), static_cast<void*>(completion));
  const std::vector<std::pair<IID, void*>> table = {
      {kIidUnknown, primary},
      {kIidAgileObject, primary},
      {kIidMarshal, primary},
      {kIidActivateCompletionHandler, completion}};
  for (IUnknown* view : {primary, completion}) {
    for (const auto& [iid, expected] : table) {
      void* answer = nullptr;
      ASSERT_EQ(view->QueryInterface(iid, &answer), S_OK);
      EXPECT_EQ(answer, expected);
      EXPECT_EQ(completion->Release(), 1u);  // the answer's reference, through the other view
    }
    void* answer = reinterpret_cast<void*>(1);
    EXPECT_EQ(view->QueryInterface(kIidAudioClient, &answer), E_NOINTERFACE);
    EXPECT_EQ(answer, nullptr);
  }
  EXPECT_EQ(primary->AddRef(), 2u);
  EXPECT_EQ(completion->Release(), 1u);
  EXPECT_EQ(completion->AddRef(), 2u);
  EXPECT_EQ(primary->Release(), 1u);
}

TEST(AudioClientActivationHandler, MarshalingIsDelegatedOrRefusedWithoutAMarshaler) {
  ActivationPlatform platform = SystemActivationPlatform();
  platform.coCreateFreeThreadedMarshaler = &FakeMarshalerFactory;
  std::vector<HRESULT> results;

  auto* marshaler = new FakeMarshaler();
  g_marshaler = marshaler;
  {
    auto handler = AudioClientActivationHandler::Create(platform);
    EXPECT_EQ(marshaler->references(), 2u);
    EXPECT_EQ(CallAllMarshalOperations(handler.Get(), results), "usmnrd");
    EXPECT_EQ(results, std::vector<HRESULT>(6, FakeMarshaler::kAnswer));
  }
  EXPECT_EQ(marshaler->references(), 1u);  // released with the handler
  marshaler->Release();

  g_marshaler = nullptr;  // the factory now fails
  auto handler = AudioClientActivationHandler::Create(platform);
  ASSERT_TRUE(handler);
  CallAllMarshalOperations(handler.Get(), results);
  EXPECT_EQ(results, std::vector<HRESULT>(6, E_OUTOFMEMORY));
}

}  // namespace
}  // namespace pcmtap
