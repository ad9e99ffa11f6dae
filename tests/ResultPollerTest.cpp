// The result poller over real HTTP: delivery, lifecycle and cadence.
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>

#include "TestAdaptor.h"

using namespace std::chrono_literals;
using FacepadSim::FacepadSimulator;
using FacepadSim::Fault;
using ZR_Framework::Face::ResultMap;
using ZR_Framework::Face::TerminalFace_ZR;
using Clock = std::chrono::steady_clock;
using First = RecordedCallback<0>;
using Second = RecordedCallback<1>;

namespace {
constexpr auto kTick = 10ms;  // polls 800 ms after start, then every 100 or 800 ms

// The gaps between the result polls the simulator has seen.
std::vector<Clock::duration> PollGaps(const FacepadSimulator& simulator) {
  const auto polls = simulator.Requests("facepad/getresult");
  std::vector<Clock::duration> gaps;
  for (std::size_t i = 1; i < polls.size(); ++i) {
    gaps.push_back(polls[i].received - polls[i - 1].received);
  }
  return gaps;
}

// A result answer of one element, whose entries are `data`.
std::string ResultAnswer(const std::string& sn, const std::string& data) {
  return R"(result=[{"SN":")" + sn + R"(","data":)" + data + "}]";
}
}  // namespace

class ResultDelivery : public AdaptorTest {};

TEST_F(ResultDelivery, TheMapAccumulatesUnlessTheHostEmptiesIt) {
  ASSERT_TRUE(adaptor.SetResultCallbackFace(First::Record));
  simulator.QueueResult("A1", "7", "0");
  simulator.QueueResult("A1", "8", "102");
  ASSERT_TRUE(First::WaitForDeliveries(1));
  EXPECT_EQ(First::Deliveries()[0], (ResultMap{{"A1", {{"7", "0"}, {"8", "102"}}}}));
  simulator.QueueResult("B2", "9", "0");
  ASSERT_TRUE(First::WaitForDeliveries(2));
  EXPECT_EQ(First::Deliveries()[1],
            (ResultMap{{"A1", {{"7", "0"}, {"8", "102"}}}, {"B2", {{"9", "0"}}}}));

  First::Reset(/*emptyTheMap=*/true);
  simulator.QueueResult("C3", "1", "0");
  ASSERT_TRUE(First::WaitForDeliveries(1));
  simulator.QueueResult("D4", "2", "0");
  ASSERT_TRUE(First::WaitForDeliveries(2));
  EXPECT_EQ(First::Deliveries()[1], (ResultMap{{"D4", {{"2", "0"}}}}));
}

// What the service reported waits, merged, until the host is handed it:
// polls before a callback add up, an id reported again keeps its latest
// outcome, and an empty or unreadable list takes nothing away.
TEST(ResultsWaiting, NothingIsLostBeforeTheHostIsHandedIt) {
  const std::string one = ResultAnswer("A", R"([{"id":"1","return":"0"}])");
  struct Scenario {
    const char* name;
    std::vector<std::string> answers;  // all polled before a callback is registered
    ResultMap delivered;
  };
  const Scenario scenarios[] = {
      {"polls add up",
       {one, ResultAnswer("A", R"([{"id":"2","return":"101"}])")},
       {{"A", {{"1", "0"}, {"2", "101"}}}}},
      {"an id again keeps its latest outcome",
       {one, ResultAnswer("A", R"([{"id":"1","return":"102"}])")},
       {{"A", {{"1", "102"}}}}},
      {"an empty list takes nothing", {one, ResultAnswer("A", "[]")}, {{"A", {{"1", "0"}}}}},
      {"an unreadable list takes nothing",
       {one, ResultAnswer("A", R"("x")")},
       {{"A", {{"1", "0"}}}}},
      {"an empty list names its serial number",
       {ResultAnswer("B", "[]"), one},
       {{"A", {{"1", "0"}}}, {"B", {}}}},
  };
  for (const Scenario& scenario : scenarios) {
    First::Reset();
    LogCapture log;
    FacepadSimulator simulator;
    for (const std::string& text : scenario.answers) simulator.QueueResultAnswer(text);
    FastPollingAdaptor adaptor(5ms);
    PointAt(adaptor, simulator);
    // One poll more than there are answers: the last answer has been parsed.
    ASSERT_TRUE(WaitFor([&] {
      return simulator.Requests("facepad/getresult").size() > scenario.answers.size();
    })) << scenario.name;
    ASSERT_FALSE(log.Messages().empty()) << scenario.name;
    EXPECT_EQ(log.Messages()[0], "SlotTimerTimeout pResultCallback == nullptr");
    adaptor.SetResultCallbackFace(First::Record);
    ASSERT_TRUE(First::WaitForDeliveries(1)) << scenario.name;
    EXPECT_EQ(First::Deliveries()[0], scenario.delivered) << scenario.name;
  }
}

namespace {
int ThrowingLogger(int /*level*/, const char* /*source*/, int /*line*/, const char* /*text*/, ...) {
  throw std::runtime_error("the host's logger is broken");
}

int RecordThenThrow(ResultMap& results) {
  First::Record(results);
  throw std::runtime_error("a fault in the host's callback");
}
}  // namespace

// The logger and the callback are the host's: whatever they throw, operations
// return what they would have returned, and the poller goes on delivering.
TEST(ThrowingHostCode, HurtsNothing) {
  First::Reset();
  const ScopedLogger throwing(ThrowingLogger);  // before the poller starts, as hosts must
  FacepadSimulator simulator;
  simulator.QueueResult("A1", "7", "0");
  FastPollingAdaptor adaptor(kTick);
  PointAt(adaptor, simulator);
  // No callback yet: the poller logs that, and the logger throws.
  ASSERT_TRUE(WaitFor([&] { return simulator.Requests("facepad/getresult").size() >= 2; }));
  EXPECT_FALSE(adaptor.SetResultCallbackFace(nullptr));
  simulator.AddFault(Fault::Answer(500).On("facepad/unbinding"));
  EXPECT_FALSE(adaptor.UnBindTerminalFace("SN1"));
  ASSERT_TRUE(adaptor.SetResultCallbackFace(RecordThenThrow));
  ASSERT_TRUE(First::WaitForDeliveries(1));
  simulator.QueueResult("A1", "8", "0");
  ASSERT_TRUE(First::WaitForDeliveries(2));
  EXPECT_EQ(First::Deliveries()[1].at("A1").count("8"), 1u);
}

TEST_F(ResultDelivery, NullCallbackIsRefusedAndTheEarlierOneKept) {
  ASSERT_TRUE(adaptor.SetResultCallbackFace(First::Record));
  ASSERT_TRUE(adaptor.SetResultCallbackFace(Second::Record));  // replaces the first
  log.Clear();
  EXPECT_FALSE(adaptor.SetResultCallbackFace(nullptr));
  EXPECT_EQ(log.Messages(),
            std::vector<std::string>{
                "TerminalFace_ZR::SetResultCallbackFaceZorvan _pResultCallback == nullptr"});
  simulator.QueueResult("A1", "7", "0");
  ASSERT_TRUE(Second::WaitForDeliveries(1));
  EXPECT_TRUE(First::Deliveries().empty());
}

TEST(PollerLifecycle, DestructionWhileWaitingIsPromptAndSendsNothing) {
  FacepadSimulator simulator;
  auto adaptor = std::make_unique<FastPollingAdaptor>(kTick * 10);  // first poll in 8 s
  PointAt(*adaptor, simulator);
  std::this_thread::sleep_for(50ms);
  const auto start = Clock::now();
  adaptor.reset();
  EXPECT_LT(Clock::now() - start, 500ms);
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(simulator.Requests("facepad/getresult").empty());
}

// Destruction interrupts a poll that the service never answers: it does not
// wait for the client's time-out (30 s here), and the poll delivers nothing.
TEST(PollerLifecycle, DestructionDuringAHungPollIsPromptAndDeliversNothing) {
  First::Reset();
  FacepadSimulator simulator;
  simulator.QueueResult("A1", "7", "0");
  simulator.AddFault(Fault::Delayed(60s).On("facepad/getresult"));
  auto adaptor = std::make_unique<FastPollingAdaptor>(kTick);
  PointAt(*adaptor, simulator);
  adaptor->SetResultCallbackFace(First::Record);
  ASSERT_TRUE(WaitFor([&] { return !simulator.Requests("facepad/getresult").empty(); }));
  const auto start = Clock::now();
  adaptor.reset();
  EXPECT_LT(Clock::now() - start, Scaled(2s));
  EXPECT_TRUE(First::Deliveries().empty());
}

namespace {
std::atomic<bool> g_callbackEntered{false};
std::atomic<bool> g_callbackReturned{false};

int SlowCallback(ResultMap& results) {
  First::Record(results);
  g_callbackEntered = true;
  std::this_thread::sleep_for(300ms);
  g_callbackReturned = true;
  return 0;
}
}  // namespace

// A running callback is waited for, and none starts afterwards.
TEST(PollerLifecycle, DestructionWaitsForARunningCallbackAndNoneFollows) {
  First::Reset();
  g_callbackEntered = false;
  g_callbackReturned = false;
  FacepadSimulator simulator;
  auto adaptor = std::make_unique<FastPollingAdaptor>(kTick);
  PointAt(*adaptor, simulator);
  adaptor->SetResultCallbackFace(SlowCallback);
  simulator.QueueResult("A1", "7", "0");
  ASSERT_TRUE(WaitFor([] { return g_callbackEntered.load(); }));
  simulator.QueueResult("A1", "8", "0");  // ready for a poll the destructor must prevent
  adaptor.reset();
  EXPECT_TRUE(g_callbackReturned);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(First::Deliveries().size(), 1u);
}

namespace {
TerminalFace_ZR* g_doomed = nullptr;
std::mutex g_seenMutex;
ResultMap g_seenAfterDestruction;  // guarded by g_seenMutex
pid_t g_pollerThread = 0;          // guarded by g_seenMutex

int DestroyTheAdaptor(ResultMap& results) {
  delete g_doomed;
  std::lock_guard<std::mutex> lock(g_seenMutex);
  g_seenAfterDestruction = results;  // the map stays valid until the callback returns
  g_pollerThread = gettid();
  return 0;
}
}  // namespace

// A host may end the adaptor from inside its callback: the destruction
// completes, the callback returns, and the poller thread ends without
// another poll. (FactoryTest does the same through the module.)
TEST(PollerLifecycle, DestructionInsideTheCallbackCompletesAndEndsThePoller) {
  FacepadSimulator simulator;
  g_doomed = new FastPollingAdaptor(kTick);
  PointAt(*g_doomed, simulator);
  g_doomed->SetResultCallbackFace(DestroyTheAdaptor);
  simulator.QueueResult("A1", "7", "0");
  pid_t poller = 0;
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(g_seenMutex);
    poller = g_pollerThread;
    return poller != 0;
  }));
  ASSERT_TRUE(WaitFor(
      [&] { return !std::filesystem::exists("/proc/self/task/" + std::to_string(poller)); }));
  {
    std::lock_guard<std::mutex> lock(g_seenMutex);
    EXPECT_EQ(g_seenAfterDestruction, (ResultMap{{"A1", {{"7", "0"}}}}));
  }
  const std::size_t polls = simulator.Requests("facepad/getresult").size();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(simulator.Requests("facepad/getresult").size(), polls);
}

TEST_F(ResultDelivery, TwoAdaptorsEachGetTheirOwnResults) {
  FacepadSimulator secondService;
  auto second = std::make_unique<FastPollingAdaptor>(kTick);
  PointAt(*second, secondService);
  adaptor.SetResultCallbackFace(First::Record);
  second->SetResultCallbackFace(Second::Record);
  simulator.QueueResult("A1", "1", "0");
  secondService.QueueResult("B1", "2", "0");
  ASSERT_TRUE(First::WaitForDeliveries(1));
  ASSERT_TRUE(Second::WaitForDeliveries(1));
  EXPECT_EQ(First::Deliveries()[0], (ResultMap{{"A1", {{"1", "0"}}}}));
  EXPECT_EQ(Second::Deliveries()[0], (ResultMap{{"B1", {{"2", "0"}}}}));

  second.reset();  // the other goes on
  simulator.QueueResult("A1", "3", "0");
  ASSERT_TRUE(First::WaitForDeliveries(2));
}

// The real tick: the first poll about 8 s after construction; after a failed
// poll the next follows about 1 s later.
TEST(PollerCadence, FirstPollAfterEightSecondsThenOneSecond) {
  FacepadSimulator simulator;
  simulator.AddFault(Fault::Answer(500).On("facepad/getresult").Times(1));
  const auto start = Clock::now();
  TerminalFace_ZR adaptor;
  PointAt(adaptor, simulator);
  ASSERT_TRUE(WaitFor([&] { return simulator.Requests("facepad/getresult").size() >= 2; }, 20s));
  const auto polls = simulator.Requests("facepad/getresult");
  EXPECT_GT(polls[0].received - start, 7500ms);
  EXPECT_LT(polls[0].received - start, 10s);
  EXPECT_GT(polls[1].received - polls[0].received, 800ms);
  EXPECT_LT(polls[1].received - polls[0].received, 2500ms);
}

// A host's own timing applies at once: a first wait longer than the host
// runs keeps it from polling; a shorter one than has passed since
// construction makes it poll now.
TEST(PollerCadence, TimingSetByTheHostAppliesAtOnce) {
  FacepadSimulator simulator;
  TerminalFace_ZR adaptor;  // 8 s before the first poll
  PointAt(adaptor, simulator);
  adaptor.SetPollerTiming({std::chrono::hours(1), 50ms, 50ms});
  std::this_thread::sleep_for(600ms);
  EXPECT_TRUE(simulator.Requests("facepad/getresult").empty());
  const auto set = Clock::now();
  adaptor.SetPollerTiming({500ms, 50ms, 50ms});
  // Answers with an empty list keep the first interval.
  ASSERT_TRUE(WaitFor([&] { return simulator.Requests("facepad/getresult").size() >= 3; }, 4s));
  EXPECT_LT(simulator.Requests("facepad/getresult")[0].received - set, 300ms);
  for (const auto gap : PollGaps(simulator)) EXPECT_GT(gap, 400ms);
}

// In ticks: 10 between polls while results keep coming, 80 once ten polls in
// a row left the map empty, and unchanged by a list written "[]".
TEST(PollerCadence, IntervalFollowsTheIdleCount) {
  struct Scenario {
    const char* name;
    bool hostEmptiesTheMap;
    std::vector<std::string> answers;  // then "result=[]" for ever
    std::string gaps;                  // after each poll: 10 ticks (s) or 80 (L)
  };
  std::vector<std::string> results;
  for (int id = 1; id <= 11; ++id) {
    results.push_back(
        ResultAnswer("A1", R"([{"id":")" + std::to_string(id) + R"(","return":"0"}])"));
  }
  std::vector<std::string> kept(13, "result=[ ]");  // past the ten idle polls
  kept[0] = results[0];
  const Scenario scenarios[] = {
      {"host empties the map", true, results, "sssssssssLL"},
      {"host keeps the map", false, kept, "ssssssssssss"},
      {"nothing but []", false, {}, "LL"},
  };
  for (const Scenario& scenario : scenarios) {
    First::Reset(scenario.hostEmptiesTheMap);
    FacepadSimulator simulator;
    for (const std::string& answer : scenario.answers) simulator.QueueResultAnswer(answer);
    FastPollingAdaptor adaptor(kTick);
    PointAt(adaptor, simulator);
    adaptor.SetResultCallbackFace(First::Record);
    ASSERT_TRUE(WaitFor(
        [&] { return simulator.Requests("facepad/getresult").size() > scenario.gaps.size(); },
        30s));
    const auto gaps = PollGaps(simulator);
    for (std::size_t i = 0; i < scenario.gaps.size(); ++i) {
      const bool longGap = scenario.gaps[i] == 'L';
      EXPECT_EQ(gaps[i] > (longGap ? 60 : 40) * kTick, longGap) << scenario.name << ", gap " << i;
    }
  }
}
