// The result poller over real HTTP: delivery, lifecycle and cadence.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <tuple>

#include "TestAdaptor.h"

using namespace std::chrono_literals;
using FacepadSim::FacepadSimulator;
using FacepadSim::Fault;
using ZR_Framework::Face::ResultMap;
using ZR_Framework::Face::TerminalFace_ZR;
using Clock = std::chrono::steady_clock;

namespace {
constexpr auto kTick = 10ms;  // polls 800 ms after start, then every 100 or 800 ms

// A result answer of one element, whose entries are `data`.
std::string ResultAnswer(const std::string& sn, const std::string& data) {
  return R"(result=[{"SN":")" + sn + R"(","data":)" + data + "}]";
}
// The same with one entry: `id`, whose outcome is `code`.
std::string ResultAnswer(const std::string& sn, const std::string& id, const std::string& code) {
  return ResultAnswer(sn, R"([{"id":")" + id + R"(","return":")" + code + "\"}]");
}

// A host logger that throws.
int ThrowingLogger(int /*level*/, const char* /*source*/, int /*line*/, const char* /*text*/, ...) {
  throw std::runtime_error("the host's logger is broken");
}

// A plain callback, and a handler as the module's C entry point takes it,
// each recording into a RecordedResults of its own.
const RecordedResults g_plain;
int PlainCallback(ResultMap& results) {
  return g_plain.Handler()(results);
}
int ViaModule(ResultMap& results, void* context) {
  return static_cast<const RecordedResults*>(context)->Handler()(results);
}
}  // namespace

class ResultDelivery : public AdaptorTest {};

// What the service reported waits, merged, until the host is handed it:
// polls before a callback add up, an id reported again keeps its latest
// outcome, and an empty or unreadable list takes nothing away.
TEST(ResultsWaiting, NothingIsLostBeforeTheHostIsHandedIt) {
  const std::string one = ResultAnswer("A", "1", "0");
  // What is delivered once every answer has been polled without a callback.
  const std::tuple<const char*, std::vector<std::string>, ResultMap> scenarios[] = {
      {"polls add up", {one, ResultAnswer("A", "2", "101")}, {{"A", {{"1", "0"}, {"2", "101"}}}}},
      {"an id again: last outcome", {one, ResultAnswer("A", "1", "102")}, {{"A", {{"1", "102"}}}}},
      {"an empty list takes nothing", {one, ResultAnswer("A", "[]")}, {{"A", {{"1", "0"}}}}},
      {"nor an unreadable one", {one, ResultAnswer("A", R"("x")")}, {{"A", {{"1", "0"}}}}},
      {"[] names its SN", {ResultAnswer("B", "[]"), one}, {{"A", {{"1", "0"}}}, {"B", {}}}},
  };
  for (const auto& [name, answers, delivered] : scenarios) {
    SCOPED_TRACE(name);
    const RecordedResults recorded;
    LogCapture log;
    FacepadSimulator simulator;
    for (const std::string& text : answers) simulator.Model().QueueResultAnswer(text);
    const auto adaptor = Pointed(simulator, 5ms);
    // One poll more than there are answers: the last answer has been parsed.
    const std::size_t polls = answers.size() + 1;
    ASSERT_TRUE(WaitFor([&] { return Polls(simulator) >= polls; }));
    ASSERT_FALSE(log.Messages().empty());
    EXPECT_EQ(log.Messages()[0], "SlotTimerTimeout pResultCallback == nullptr");
    adaptor->SetResultHandler(recorded.Handler());
    ASSERT_TRUE(recorded.WaitForDeliveries(1));
    EXPECT_EQ(recorded.Deliveries()[0], delivered);
  }
}

// The logger is the host's: whatever it throws, operations return what they
// would have returned, and the poller goes on delivering. (A callback that
// throws: TwoAdaptorsEachGetTheirOwnResults.)
TEST(ThrowingHostCode, HurtsNothing) {
  const RecordedResults recorded;
  const ScopedLogger throwing(ThrowingLogger);  // before the poller starts, as hosts must
  FacepadSimulator simulator;
  simulator.Model().QueueResult("A1", "7", "0");
  const auto adaptor = Pointed(simulator, kTick);
  // No callback yet: the poller logs that, and the logger throws.
  ASSERT_TRUE(WaitFor([&] { return Polls(simulator) >= 2; }));
  EXPECT_FALSE(adaptor->SetResultCallbackFace(nullptr));
  simulator.AddFault(Fault::Answer(500).On("facepad/unbinding"));
  EXPECT_FALSE(adaptor->UnBindTerminalFace("SN1"));
  ASSERT_TRUE(adaptor->SetResultHandler(recorded.Handler()));
  ASSERT_TRUE(recorded.WaitForDeliveries(1));
  EXPECT_EQ(recorded.Deliveries()[0].at("A1").count("7"), 1u);
}

// A callback, a handler, or a handler through the module's C entry point:
// each replaces the one before. An empty one is refused with its record, and
// the one before kept.
TEST_F(ResultDelivery, EachRegistrationReplacesTheOtherAndAnEmptyOneIsRefused) {
  const RecordedResults handled;
  RecordedResults viaModule;
  const std::string empty = "TerminalFace_ZR::SetResultHandler refused: the handler is empty";
  const std::pair<std::function<bool()>, std::vector<std::string>> refusals[] = {
      {[&] { return adaptor.SetResultCallbackFace(nullptr); },
       {"TerminalFace_ZR::SetResultCallbackFaceZorvan _pResultCallback == nullptr"}},
      {[&] { return adaptor.SetResultHandler(nullptr); }, {empty}},
      {[&] { return SetResultHandlerTerminalFace_ZR(&adaptor, nullptr, nullptr); }, {empty}},
      {[&] { return SetResultHandlerTerminalFace_ZR(nullptr, ViaModule, nullptr); }, {}},
  };
  ASSERT_TRUE(adaptor.SetResultCallbackFace(PlainCallback));
  ASSERT_TRUE(adaptor.SetResultHandler(handled.Handler(0)));
  for (const auto& [refused, records] : refusals) {
    log.Clear();
    EXPECT_FALSE(refused());
    EXPECT_EQ(TerminalFace_ZR::LastFailure().failure, TerminalFace_ZR::Failure::RefusedValue);
    EXPECT_EQ(log.Messages(), records);
  }
  simulator.Model().QueueResult("A1", "7", "0");
  ASSERT_TRUE(handled.WaitForDeliveries(1));
  ASSERT_TRUE(SetResultHandlerTerminalFace_ZR(&adaptor, ViaModule, &viaModule));
  simulator.Model().QueueResult("B2", "8", "0");
  ASSERT_TRUE(viaModule.WaitForDeliveries(1));
  ASSERT_TRUE(adaptor.SetResultCallbackFace(PlainCallback));
  simulator.Model().QueueResult("C3", "9", "0");
  ASSERT_TRUE(g_plain.WaitForDeliveries(1));
  EXPECT_EQ(handled.Deliveries(), (std::vector<ResultMap>{{{"A1", {{"7", "0"}}}}}));
  EXPECT_EQ(viaModule.Deliveries()[0].count("B2"), 1u);
  EXPECT_EQ(g_plain.Deliveries()[0].count("C3"), 1u);  // and nothing before
}

// Destruction, or StopPolling, is prompt whether the poller waits (its first
// poll 8 s away) or its poll hangs on a service that never answers
// (destruction does not wait for the client's 30 s time-out), and no poll
// starts after it. StopPolling waits for a poll in flight up to its bound:
// the poll's results are then delivered (true), or cut off (false).
TEST(PollerLifecycle, DestructionAndStopPollingArePromptAndFinal) {
  // What happens, the poll in flight (0: none), StopPolling's bound (0: the
  // adaptor is destroyed instead; after StopPolling it is destroyed too),
  // what it takes at most, and whether the poll's results are delivered.
  using std::chrono::milliseconds;
  const std::tuple<const char*, milliseconds, milliseconds, milliseconds, bool> cases[] = {
      {"destroyed while waiting", 0ms, 0ms, 500ms, false},
      {"destroyed during a hung poll", 60s, 0ms, 2s, false},
      {"a poll in flight is waited for and delivered", 400ms, 10s, 5s, true},
      {"a poll that outlives the bound is cut off", 60s, 200ms, 2s, false},
      {"a bound of centuries waits for it", 400ms, milliseconds::max(), 5s, true},
      {"no poll in flight", 0ms, 10s, 2s, true},
  };
  for (const auto& [what, hang, bound, within, whole] : cases) {
    SCOPED_TRACE(what);
    const bool hung = hang.count() > 0;
    const RecordedResults recorded;
    FacepadSimulator simulator;
    simulator.Model().QueueResult("A1", "7", "0");
    if (hung) simulator.AddFault(Fault::Delayed(hang).On("facepad/getresult").Times(1));
    auto adaptor = Pointed(simulator, hung ? kTick : kTick * 10);
    adaptor->SetResultHandler(recorded.Handler());
    const std::size_t inFlight = hung ? 1 : 0;
    ASSERT_TRUE(WaitFor([&] { return Polls(simulator) == inFlight; }));
    const auto start = Clock::now();
    if (bound.count() > 0) {
      EXPECT_EQ(adaptor->StopPolling(bound), whole);
    } else {
      adaptor.reset();
    }
    EXPECT_LT(Clock::now() - start, Scaled(within));
    EXPECT_EQ(recorded.Deliveries().size(), hung && whole ? 1U : 0U);
    std::this_thread::sleep_for(Scaled(300ms));
    EXPECT_EQ(Polls(simulator), inFlight) << "no poll after";
    const auto destroyed = Clock::now();
    adaptor.reset();
    EXPECT_LT(Clock::now() - destroyed, Scaled(500ms)) << "the destructor stays prompt";
  }
}

// Results polled before any handler wait for one: a handler registered
// after the last poll is handed them when the polling stops. With none
// registered they are lost, and StopPolling says so.
TEST(PollerLifecycle, StoppingHandsOverTheResultsWaiting) {
  for (const bool registered : {true, false}) {
    SCOPED_TRACE(registered);
    const RecordedResults recorded;
    LogCapture log;
    FacepadSimulator simulator;
    simulator.Model().QueueResult("A1", "7", "0");
    const auto adaptor = Pointed(simulator, kTick);
    adaptor->SetPollerTiming({10ms, 24h, 24h});                     // one poll, and no other
    ASSERT_TRUE(WaitFor([&] { return !log.Messages().empty(); }));  // no handler for them
    if (registered) adaptor->SetResultHandler(recorded.Handler());
    EXPECT_EQ(adaptor->StopPolling(1s), registered);
    EXPECT_EQ(recorded.Deliveries().size(), registered ? 1U : 0U);
    EXPECT_EQ(Polls(simulator), 1U);
  }
}

// Around a running callback: inside it a host may stop the polling, which
// returns at once, or end the adaptor, whose destruction completes and whose
// poller thread then ends; a destruction from elsewhere waits for it. The
// map stays valid until the callback returns, and no callback or poll
// follows. (FactoryTest destroys inside the callback through the module.)
TEST(PollerLifecycle, StoppingOrDestroyingAroundARunningCallbackIsFinal) {
  enum class End { StopInside, DestroyInside, DestroyWhileItRuns };
  for (const End end : {End::StopInside, End::DestroyInside, End::DestroyWhileItRuns}) {
    SCOPED_TRACE(static_cast<int>(end));
    const RecordedResults recorded;  // the map, as it is when the callback returns
    std::atomic<pid_t> poller{0};
    std::atomic<bool> returned{false};  // and StopPolling, if called, returned true
    FacepadSimulator simulator;
    auto adaptor = Pointed(simulator, kTick);
    FastPollingAdaptor* const inside =
        end == End::DestroyInside ? adaptor.release() : adaptor.get();
    inside->SetResultHandler([&, inside, end, record = recorded.Handler()](ResultMap& results) {
      poller = gettid();
      bool stopped = true;
      if (end == End::DestroyInside) delete inside;
      if (end == End::StopInside) stopped = inside->StopPolling(10s);
      if (end == End::DestroyWhileItRuns) std::this_thread::sleep_for(300ms);
      record(results);
      returned = stopped;
      return 0;
    });
    simulator.Model().QueueResult("A1", "7", "0");
    if (end == End::DestroyWhileItRuns) {
      ASSERT_TRUE(WaitFor([&] { return poller != 0; }));
      simulator.Model().QueueResult("A1", "8", "0");  // ready for a poll it must prevent
      adaptor.reset();
      EXPECT_TRUE(returned);
    }
    ASSERT_TRUE(WaitFor([&] { return returned.load(); }, 5s));
    if (end == End::DestroyInside) {
      const std::string task = "/proc/self/task/" + std::to_string(poller);
      ASSERT_TRUE(WaitFor([&] { return !std::filesystem::exists(task); }));
    }
    const std::size_t polls = Polls(simulator);
    simulator.Model().QueueResult("A1", "9", "0");
    std::this_thread::sleep_for(Scaled(300ms));
    EXPECT_EQ(Polls(simulator), polls);
    EXPECT_EQ(recorded.Deliveries(), (std::vector<ResultMap>{{{"A1", {{"7", "0"}}}}}));
  }
}

// A host with two adaptors, one per service, tells their results apart by
// handlers that know their adaptor. A handler that registers another inside
// its own call finishes that call as it began, even when it then throws, and
// the poller goes on delivering; the map it empties stays empty, and one kept
// gains the serial numbers of later polls. A list in an answer whose status
// is not 200 is not taken.
TEST_F(ResultDelivery, TwoAdaptorsEachGetTheirOwnResults) {
  simulator.AddFault(
      Fault::Answer(500, ResultAnswer("Z9", "1", "0")).On("facepad/getresult").Times(1));
  const RecordedResults first;
  const RecordedResults then;
  const RecordedResults second;
  FacepadSimulator secondService;
  auto secondAdaptor = Pointed(secondService, kTick);
  adaptor.SetResultHandler([&, record = first.Handler(0)](ResultMap& results) -> int {
    adaptor.SetResultHandler(then.Handler());
    record(results);
    throw std::runtime_error("a fault in the host's callback");
  });
  secondAdaptor->SetResultHandler(second.Handler());
  simulator.Model().QueueResult("A1", "1", "0");
  secondService.Model().QueueResult("B1", "2", "0");
  ASSERT_TRUE(first.WaitForDeliveries(1) && second.WaitForDeliveries(1));
  secondAdaptor.reset();  // the other goes on
  simulator.Model().QueueResult("A1", "3", "0");
  ASSERT_TRUE(then.WaitForDeliveries(1));
  simulator.Model().QueueResult("B2", "4", "0");
  ASSERT_TRUE(then.WaitForDeliveries(2));
  EXPECT_EQ(first.Deliveries(), (std::vector<ResultMap>{{{"A1", {{"1", "0"}}}}}));
  EXPECT_EQ(second.Deliveries(), (std::vector<ResultMap>{{{"B1", {{"2", "0"}}}}}));
  EXPECT_EQ(then.Deliveries(),
            (std::vector<ResultMap>{{{"A1", {{"3", "0"}}}},
                                    {{"A1", {{"3", "0"}}}, {"B2", {{"4", "0"}}}}}));
}

// The real tick: the first poll about 8 s after construction; after a failed
// poll the next follows about 1 s later.
TEST(PollerCadence, FirstPollAfterEightSecondsThenOneSecond) {
  FacepadSimulator simulator;
  simulator.AddFault(Fault::Answer(500).On("facepad/getresult").Times(1));
  const auto start = Clock::now();
  TerminalFace_ZR adaptor;
  PointAt(adaptor, simulator);
  ASSERT_TRUE(WaitFor([&] { return Polls(simulator) >= 2; }, 20s));
  const auto polls = simulator.Requests("facepad/getresult");
  EXPECT_GT(polls[0].received - start, 7500ms);
  EXPECT_LT(polls[0].received - start, 10s);
  EXPECT_GT(polls[1].received - polls[0].received, 800ms);
  EXPECT_LT(polls[1].received - polls[0].received, 2500ms);
}

// A host's timing applies at once, to the wait under way (8 s here), and
// whatever it gives, the poller polls at most every 10 ms (30 times in
// 300 ms, and a few more for a slow start), and waits up to a week without
// overflowing the clock, which would poll flat out.
TEST(PollerCadence, TimingIsKeptWithinTenMillisecondsAndAWeek) {
  using std::chrono::milliseconds;
  const milliseconds intervals[] = {
      0ms, -1s, 10ms, std::chrono::hours(24 * 7), -milliseconds::max(), milliseconds::max()};
  for (const milliseconds interval : intervals) {
    const bool polls = interval < std::chrono::hours(1);  // a week, or more, outlasts the test
    FacepadSimulator simulator;
    const auto adaptor = Pointed(simulator, 100ms);
    adaptor->SetPollerTiming({interval, interval, interval});
    std::this_thread::sleep_for(300ms);
    const std::size_t count = Polls(simulator);
    EXPECT_TRUE(polls ? count >= 3 && count <= 40 : count == 0)
        << interval.count() << ": " << count;
  }
}

// In ticks: 10 between polls while the map holds a serial number after each,
// 80 once ten polls in a row left it empty, and unchanged by a list written
// "[]". A host that empties its map counts as idle even when every poll
// brings results. Nothing new, no delivery.
TEST(PollerCadence, IntervalFollowsTheIdleCount) {
  // Each scenario: from which delivery on the host empties its map, the
  // answers (then "result=[]" for ever), the gaps after each poll (10 ticks:
  // s, 80: L), and the deliveries.
  std::vector<std::string> results;
  for (int id = 1; id <= 11; ++id) results.push_back(ResultAnswer("A1", std::to_string(id), "0"));
  std::vector<std::string> kept(13, "result=[ ]");  // past the ten idle polls
  kept[0] = results[0];
  const std::tuple<const char*, std::size_t, std::vector<std::string>, std::string, std::size_t>
      scenarios[] = {
          {"host empties the map", 0, results, "sssssssssLL", 11},
          {"host keeps the first map, then empties it", 1, results, "ssssssssssL", 11},
          {"host keeps the map", RecordedResults::kNever, kept, "ssssssssssss", 1},
          {"nothing but []", RecordedResults::kNever, {}, "LL", 0},
      };
  for (const auto& [name, emptiesFrom, answers, gaps, deliveries] : scenarios) {
    SCOPED_TRACE(name);
    const RecordedResults recorded;
    FacepadSimulator simulator;
    for (const std::string& answer : answers) simulator.Model().QueueResultAnswer(answer);
    const auto adaptor = Pointed(simulator, kTick);
    adaptor->SetResultHandler(recorded.Handler(emptiesFrom));
    const std::size_t count = gaps.size();
    ASSERT_TRUE(WaitFor([&] { return Polls(simulator) > count; }, 30s));
    const auto polls = simulator.Requests("facepad/getresult");
    for (std::size_t i = 0; i < count; ++i) {
      const auto gap = polls[i + 1].received - polls[i].received;
      EXPECT_EQ(gap > (gaps[i] == 'L' ? 60 : 40) * kTick, gaps[i] == 'L') << "gap " << i;
    }
    EXPECT_EQ(recorded.Deliveries().size(), deliveries);
  }
}

// The observer sees every POST, the poll's included, on the thread that made
// it; one that throws changes no outcome, and one may be replaced while
// polls run.
TEST(ExchangeObserver, SeesEveryPostAndChangesNoOutcome) {
  FacepadSimulator simulator;
  const auto adaptor = Pointed(simulator, 1ms);  // polls every 10 ms, the shortest interval
  std::mutex mutex;
  std::map<std::string, std::string> seen;  // path -> "status failure body|answer"
  const auto record = [&](const TerminalFace_ZR::Exchange& exchange) {
    std::lock_guard<std::mutex> lock(mutex);
    seen[std::string(exchange.path)] =
        std::to_string(exchange.status) + " " + std::to_string(static_cast<int>(exchange.failure)) +
        " " + std::string(exchange.body) + "|" + std::string(exchange.answer);
  };
  ASSERT_TRUE(adaptor->SetExchangeObserver(record));
  ZR_Framework::Face::ParamMap none;
  simulator.AddFault(Fault::Answer(503, "busy").On("facepad/unbinding").Times(1));
  EXPECT_TRUE(adaptor->GetAvailableFace(none));
  EXPECT_FALSE(adaptor->UnBindTerminalFace("T1"));
  EXPECT_EQ(TerminalFace_ZR::LastFailure().status, 503) << "the observer kept the failure";
  const auto seenAt = [&](const char* path) {
    std::lock_guard<std::mutex> lock(mutex);
    return seen[path];
  };
  ASSERT_TRUE(WaitFor([&] { return !seenAt("facepad/getresult").empty(); }));
  EXPECT_EQ(seenAt("facepad/active"), "200 0 |ok");
  EXPECT_EQ(seenAt("facepad/unbinding"), "503 4 SN=T1|busy");  // Failure::Status
  EXPECT_EQ(seenAt("facepad/getresult"), "200 0 |result=[]");
  // As a host that loaded the module with dlopen sees them.
  std::vector<std::string> viaC;
  const auto inC = [](const TerminalFace_ZR_Exchange* exchange, void* context) {
    const std::string path(exchange->path, exchange->pathLength);
    if (path == "facepad/getresult") return;  // the poller's, on its own thread
    static_cast<std::vector<std::string>*>(context)->push_back(
        path + " " + std::to_string(exchange->status) + " " + std::to_string(exchange->failure));
  };
  ASSERT_TRUE(SetExchangeObserverTerminalFace_ZR(adaptor.get(), inC, &viaC));
  adaptor->SetPollerTiming({24h, 24h, 24h});
  // Twice: libcurl posts again on a fresh connection when a kept-alive one closes.
  simulator.AddFault(Fault::CloseConnection().On("facepad/getterminalstatus").Times(2));
  EXPECT_FALSE(adaptor->GetTerminalStatusFace("T1"));
  ASSERT_TRUE(SetExchangeObserverTerminalFace_ZR(adaptor.get(), nullptr, nullptr));
  EXPECT_TRUE(adaptor->GetAvailableFace(none));
  EXPECT_EQ(viaC, std::vector<std::string>{"facepad/getterminalstatus 0 3"});  // NoAnswer
  ASSERT_TRUE(adaptor->SetExchangeObserver(
      [](const TerminalFace_ZR::Exchange&) { throw std::runtime_error("observer"); }));
  EXPECT_TRUE(adaptor->GetAvailableFace(none));
  for (int i = 0; i < 50; ++i) {  // replaced and cleared while polls run
    adaptor->SetExchangeObserver(i % 2 == 0 ? TerminalFace_ZR::ExchangeObserver(record) : nullptr);
    std::this_thread::sleep_for(1ms);
  }
}
