// What the service can do wrong, and what every operation makes of it: each
// fails cleanly with its log record within the client's time-out, and the
// next request after the fault succeeds without the host doing anything.
#include <gtest/gtest.h>

#include <memory>

#include "LogCapture.h"
#include "Operations.h"
#include "RecordedCallback.h"
#include "TestAdaptor.h"

using namespace std::chrono_literals;
using FacepadSim::FacepadSimulator;
using FacepadSim::Fault;
using operations::AllOperations;
using operations::Operation;
using ZR_Framework::Face::ResultMap;
using ZR_Framework::Face::TerminalFace_ZR;
using Failure = TerminalFace_ZR::Failure;

namespace {

// The client's time-out, and what a loaded machine may add to it.
const std::chrono::milliseconds kTimeOut = Scaled(400ms);
const std::chrono::milliseconds kSlack = Scaled(4s);
using operations::kConnectedAnswer;

std::chrono::milliseconds TimeOf(const std::function<void()>& action) {
  const auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

}  // namespace

class InjectedFault : public ::testing::Test {
 protected:
  InjectedFault() {
    Restart(0);
    adaptor.SetResultCallbackFace(Consume);
  }
  static int Consume(ResultMap& results) {
    results.clear();
    return 0;
  }

  // A new simulator on `port` (any free port when 0), pointed at.
  void Restart(int port) {
    simulator.reset();
    FacepadSim::SimulatorOptions options;
    options.port = port;
    simulator = std::make_unique<FacepadSimulator>(options);
    simulator->SetTerminalStatusAnswer(kConnectedAnswer);
    PointAt(adaptor, *simulator);
    adaptor.SetHttpTimeouts(kTimeOut, kTimeOut);
  }

  // Calls `operation`, which must fail within the time-out, log `texts` and
  // give `failure` (with `status`) as its reason.
  void ExpectFailure(const Operation& operation, const std::vector<std::string>& texts,
                     const char* fault, Failure failure, int status = 0) {
    log.Clear();
    bool accepted = true;
    const auto took = TimeOf([&] { accepted = operation.call(adaptor); });
    EXPECT_FALSE(accepted) << operation.name << ": " << fault;
    EXPECT_LT(took, kTimeOut + kSlack) << operation.name << ": " << fault;
    EXPECT_EQ(log.Messages(), texts) << operation.name << ": " << fault;
    const TerminalFace_ZR::FailureReason reason = TerminalFace_ZR::LastFailure();
    EXPECT_EQ(reason.failure, failure) << operation.name << ": " << fault;
    EXPECT_EQ(reason.status, status) << operation.name << ": " << fault;
  }

  LogCapture log;  // installed before the poller's thread starts, as hosts must
  std::unique_ptr<FacepadSimulator> simulator;
  // The poller runs through every fault too.
  FastPollingAdaptor adaptor{2ms};
};

struct Injection {
  const char* name;
  Fault fault;      // armed for the operation's path only
  Failure failure;  // the reason the operation gives
  int status;       // the status it was answered with, for Failure::Status
};

void PrintTo(const Injection& injection, std::ostream* out) {
  *out << injection.name;
}

class EveryOperationUnder : public InjectedFault,
                            public ::testing::WithParamInterface<Injection> {};

TEST_P(EveryOperationUnder, AFaultFailsCleanlyAndTheNextRequestSucceeds) {
  const Injection& injection = GetParam();
  for (const Operation& operation : AllOperations()) {
    Fault fault = injection.fault;
    simulator->AddFault(fault.On(operation.path));
    const bool answered = injection.failure == Failure::Status;
    ExpectFailure(operation, {answered ? operation.statusFailed : operation.postFailed},
                  injection.name, injection.failure, injection.status);
    simulator->ClearFaults();
    EXPECT_TRUE(operation.call(adaptor)) << operation.name << " after: " << injection.name;
    EXPECT_EQ(TerminalFace_ZR::LastFailure().failure, Failure::None) << operation.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, EveryOperationUnder,
    ::testing::Values(
        Injection{"NeverAnswering", Fault::Delayed(kTimeOut * 5), Failure::TimedOut, 0},
        Injection{"ClosingWithoutAnswer", Fault::CloseConnection(), Failure::NoAnswer, 0},
        Injection{"ResettingMidAnswer", Fault::ResetMidAnswer(std::string(4096, 'r')),
                  Failure::NoAnswer, 0},
        Injection{"DrippingByteByByte", Fault::Drip(std::string(100, 'd'), kTimeOut / 20),
                  Failure::TimedOut, 0},
        Injection{"AnsweringTooMuch",
                  Fault::OversizedAnswer(ZR_Framework::Terminal_Http_Tool::kMaxResponseBytes + 1),
                  Failure::NoAnswer, 0},
        Injection{"Status100", Fault::Answer(100), Failure::TimedOut, 0},
        Injection{"Status201", Fault::Answer(201), Failure::Status, 201},
        Injection{"Status204", Fault::Answer(204), Failure::Status, 204},
        Injection{"Status302", Fault::Answer(302, "elsewhere"), Failure::Status, 302},
        Injection{"Status404", Fault::Answer(404), Failure::Status, 404},
        Injection{"Status500", Fault::Answer(500, "busy"), Failure::Status, 500}),
    [](const ::testing::TestParamInfo<Injection>& info) { return info.param.name; });

TEST_F(InjectedFault, AnAnswerDrippedWithinTheTimeOutIsTaken) {
  // About a tenth of the time-out in all, whatever the machine's load.
  adaptor.SetHttpTimeouts(kTimeOut, kTimeOut * 10);
  simulator->AddFault(Fault::Drip(kConnectedAnswer, kTimeOut / 40).On("facepad/getterminalstatus"));
  EXPECT_TRUE(adaptor.GetTerminalStatusFace("SN1"));
}

TEST_F(InjectedFault, ServiceDownThenBackOnTheSamePort) {
  const int port = simulator->Port();
  simulator.reset();
  for (const Operation& operation : AllOperations()) {
    std::vector<std::string> texts{operation.postFailed};
    // Binding activates the terminal first, which fails too.
    if (operation.name == std::string("BindTerminalFace")) {
      texts.insert(texts.begin(), operations::kControlPost);
    }
    ExpectFailure(operation, texts, "service down", Failure::NotReached);
  }
  Restart(port);
  for (const Operation& operation : AllOperations()) {
    EXPECT_TRUE(operation.call(adaptor)) << operation.name;
  }
}

TEST_F(InjectedFault, ServiceRestartingBetweenTwoCalls) {
  for (const Operation& operation : AllOperations()) {
    ASSERT_TRUE(operation.call(adaptor)) << operation.name;
    Restart(simulator->Port());  // the client's kept-alive connection is gone
    EXPECT_TRUE(operation.call(adaptor)) << operation.name;
  }
  EXPECT_TRUE(log.Records().empty());
}

// Answers to the two queries whose bodies the adaptor reads.
const std::string kBadAnswers[] = {
    "",
    std::string("\xff\xfe\0garbage", 10),
    "result",
    "result=",
    "result=[",
    "result=[{",
    R"(result=[{"SN":"A","data":"[{\"id\":\"1\",\"return\":\"0\"}]"})",  // no closing bracket
    R"(result=[{"SN":"A","data":"[{\"id\":\"1\",)",
    R"(result=[{"SN":"A","data":"[{\"id\":\"1\",\"return\":\"0\"}"}])",  // inner one truncated
    R"(result=[1,"two",null,[],{}])",
    R"(result=[{"SN":7,"data":{"id":"1"}}])",
    R"(result={"SN":"A"})",
    std::string("result=[\0]", 10),
    "result=" + std::string(100000, '['),
    "Data",
    "Data=",
    "Data=[",
    R"(Data=[{"sn":"SN1","connstatus":)",
    R"(Data={"connstatus":1})",
    "Data=" + std::string(100000, '['),
    "Data=[" + std::string(100000, '{'),
};

TEST_F(InjectedFault, GarbageAndTruncatedAnswersToResultPolls) {
  using Results = RecordedCallback<0>;
  Results::Reset(/*emptyTheMap=*/true);
  adaptor.SetResultCallbackFace(Results::Record);
  for (const std::string& answer : kBadAnswers) simulator->QueueResultAnswer(answer);
  simulator->QueueResult("T1", "after", "0");
  ASSERT_TRUE(Results::WaitForDeliveries(1));
  // An element whose "data" holds no entries leaves its serial number with none.
  ResultMap delivered = Results::Deliveries().at(0);
  EXPECT_EQ(delivered["T1"], (ZR_Framework::Face::ParamMap{{"after", "0"}}));
  delivered.erase("T1");
  for (const auto& [sn, outcomes] : delivered) EXPECT_TRUE(outcomes.empty()) << sn;
}

TEST_F(InjectedFault, GarbageAndTruncatedAnswersToStatusQueries) {
  for (const std::string& answer : kBadAnswers) {
    simulator->SetTerminalStatusAnswer(answer);
    log.Clear();
    EXPECT_FALSE(adaptor.GetTerminalStatusFace("SN1")) << answer.substr(0, 40);
    EXPECT_EQ(log.Records().size(), 1u) << answer.substr(0, 40);
  }
  simulator->SetTerminalStatusAnswer(kConnectedAnswer);
  EXPECT_TRUE(adaptor.GetTerminalStatusFace("SN1"));
}
