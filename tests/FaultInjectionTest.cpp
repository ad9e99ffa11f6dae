// What the service can do wrong: every fault fails an operation cleanly, with
// its reason and its own text, within the client's time-out, and the next
// request succeeds without the host doing anything. Operations differ only in
// how they use the answer, so where a fault takes the whole time-out three
// stand for all: one plain post, one of two posts, and one that reads the body.
#include <optional>
#include <set>

#include "Operations.h"
#include "RawListener.h"
#include "TestAdaptor.h"

using namespace std::chrono_literals;
using namespace operations;  // TerminalFace_ZR too
using FacepadSim::Fault;
using Failure = TerminalFace_ZR::Failure;

namespace {

// The client's time-out, and what a loaded machine may add to it.
const std::chrono::milliseconds kTimeOut = Scaled(400ms);
const std::chrono::milliseconds kSlack = Scaled(4s);

const double kTimeOutSeconds = std::chrono::duration<double>(kTimeOut).count();

const std::set<std::string> kStandIns = {"UnBindTerminalFace", "BindTerminalFace",
                                         "GetTerminalStatusFace"};

}  // namespace

class InjectedFault : public AdaptorTest {
 protected:
  InjectedFault() { adaptor.SetHttpTimeouts(kTimeOut, kTimeOut); }

  // Calls `operation`, which must fail within the time-out with `failure`
  // (and `status`) as its reason.
  void ExpectFailure(const Operation& operation, const char* fault, Failure failure,
                     int status = 0) {
    SCOPED_TRACE(std::string(operation.name) + ": " + fault);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(operation.Call(adaptor));
    EXPECT_LT(std::chrono::steady_clock::now() - start, kTimeOut + kSlack);
    EXPECT_EQ(TerminalFace_ZR::LastFailure().failure, failure);
    EXPECT_EQ(TerminalFace_ZR::LastFailure().status, status);
  }
};

// Each fault, the failure it is reported as, and the status for Failure::Status.
TEST_F(InjectedFault, EachFaultFailsCleanlyAndTheNextRequestSucceeds) {
  const RawListener notHttp("220 welcome, this is no web server\r\n");
  const std::tuple<const char*, std::optional<Fault>, Failure, int> faults[] = {
      {"never answering", Fault::Delayed(kTimeOut * 5), Failure::TimedOut, 0},
      {"closing without an answer", Fault::CloseConnection(), Failure::NoAnswer, 0},
      {"resetting mid-answer", Fault::ResetMidAnswer(std::string(4096, 'r')), Failure::NoAnswer, 0},
      {"dripping byte by byte", Fault::Drip(std::string(100, 'd'), 20 / kTimeOutSeconds),
       Failure::TimedOut, 0},
      {"answering too much",
       Fault::OversizedAnswer(ZR_Framework::Terminal_Http_Tool::kMaxResponseBytes + 1),
       Failure::NoAnswer, 0},
      {"status 100", Fault::Answer(100), Failure::TimedOut, 0},
      {"status 201", Fault::Answer(201, kConnectedAnswer), Failure::Status, 201},
      {"status 204", Fault::Answer(204), Failure::Status, 204},
      {"status 302", Fault::Answer(302, "elsewhere"), Failure::Status, 302},
      {"status 404", Fault::Answer(404), Failure::Status, 404},
      {"status 500", Fault::Answer(500, "busy"), Failure::Status, 500},
      // Bytes that are not HTTP come from a service that is there: they are
      // not reported as a service that could not be reached.
      {"an answer that is not HTTP", std::nullopt, Failure::NotHttp, 0},
  };
  for (const auto& [name, fault, failure, status] : faults) {
    for (const Operation& operation : AllOperations()) {
      if (failure == Failure::TimedOut && kStandIns.count(operation.name) == 0) continue;
      if (fault) {
        simulator.AddFault(Fault(*fault).On(operation.path));
      } else {
        adaptor.SetRequestPort(notHttp.Port());
      }
      log.Clear();
      ExpectFailure(operation, name, failure, status);
      // Operators tell them apart: one text when no answer came, one when the
      // answer's status was not 200 (some operations share one text). A bind
      // that cannot reach the service fails its activation first.
      std::vector<std::string> texts{operation.Failed(failure == Failure::Status)};
      if (!fault && operation.name == std::string("BindTerminalFace")) {
        texts.insert(texts.begin(), Text("ControlDeviceFace", "HttpPostRequest"));
      }
      EXPECT_EQ(log.Messages(), texts) << operation.name << ": " << name;
      simulator.ClearFaults();
      adaptor.SetRequestPort(simulator.Port());
      EXPECT_TRUE(operation.Call(adaptor)) << operation.name << " after: " << name;
      EXPECT_EQ(TerminalFace_ZR::LastFailure().failure, Failure::None) << operation.name;
    }
  }
}

// An answer dripped within the time-out is taken, and so is any answer with
// 200, whatever its body.
TEST_F(InjectedFault, AnAnswerDrippedWithinTheTimeOutOrOddWith200IsTaken) {
  // About a tenth of the time-out in all, whatever the machine's load.
  adaptor.SetHttpTimeouts(kTimeOut, kTimeOut * 10);
  simulator.AddFault(
      Fault::Drip(kConnectedAnswer, 40 / kTimeOutSeconds).On("facepad/getterminalstatus"));
  EXPECT_TRUE(adaptor.GetTerminalStatusFace("SN1"));
  simulator.AddFault(Fault::Answer(200, R"({"error": "busy"})").On("facepad/active"));
  ZR_Framework::Face::ParamMap params{{"keep", "me"}};
  EXPECT_TRUE(adaptor.GetAvailableFace(params));
  EXPECT_EQ(params, (ZR_Framework::Face::ParamMap{{"keep", "me"}}));
}

// Time-outs are kept within 1 ms – 24 h: no value turns into no limit at
// all, nor wraps into a short one on its way to libcurl. The shortest one
// ends the post before its request leaves (not reached) or after (timed out),
// as the machine's pace has it.
TEST_F(InjectedFault, TimeOutsAreKeptWithinTheirRange) {
  simulator.AddFault(Fault::Delayed(Scaled(300ms)).On("facepad/unbinding"));
  for (const auto timeOut : {0ms, std::chrono::milliseconds::min()}) {
    adaptor.SetHttpTimeouts(timeOut, timeOut);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(adaptor.UnBindTerminalFace("SN1"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, kTimeOut + kSlack);
    const Failure failure = TerminalFace_ZR::LastFailure().failure;
    EXPECT_TRUE(failure == Failure::TimedOut || failure == Failure::NotReached)
        << static_cast<int>(failure);
  }
  for (const auto timeOut :
       {std::chrono::milliseconds::max(), std::chrono::milliseconds((1LL << 32) + 100)}) {
    adaptor.SetHttpTimeouts(timeOut, timeOut);
    EXPECT_TRUE(adaptor.UnBindTerminalFace("SN1")) << timeOut.count();
  }
}

// A service restarting between two calls (the client's kept-alive connections
// gone), or down, needs nothing from the host.
TEST_F(InjectedFault, ServiceRestartingOrDownNeedsNothingFromTheHost) {
  const auto& all = AllOperations();
  for (const Operation& operation : all) ASSERT_TRUE(operation.Call(adaptor)) << operation.name;
  FacepadSim::SimulatorOptions options;
  options.port = simulator.Port();
  simulator.Stop();
  {
    FacepadSim::FacepadSimulator restarted(options);
    restarted.Model().SetTerminalStatusAnswer(kConnectedAnswer);
    for (const Operation& operation : all) EXPECT_TRUE(operation.Call(adaptor)) << operation.name;
  }
  for (const Operation& operation : all) {
    log.Clear();
    ExpectFailure(operation, "service down", Failure::NotReached);
    // Binding activates the terminal first, which fails too.
    EXPECT_EQ(log.Messages().size(), operation.name == std::string("BindTerminalFace") ? 2u : 1u);
  }
}
