// Requests over loopback: each operation's round trip against a bare libcurl
// POST of the same bytes to the same server (the floor), sampled in turns;
// and the throughput of 1, 2 and 4 host threads on one adaptor against as
// many bare handles on as many threads.
#include <atomic>
#include <functional>
#include <map>
#include <thread>

#include "BenchSupport.h"

using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::TerminalFace_ZR;

namespace Bench {
namespace {

const ParamMap kPerson = {{"certtype", "1"},       {"certnum", "C-100234"}, {"name", "Ann Lee"},
                          {"password", "1234"},    {"authmethod", "face"},  {"facetype", "1"},
                          {"roleplay", "1"},       {"num", "40012345"},     {"cardtype", "1"},
                          {"plantemplateno", "3"}, {"enablecover", "1"}};

ParamMap WithPicture(ParamMap person, const std::string& picture) {
  person["facepic"] = picture;
  return person;
}

// Each operation with maps of its own per thread, made once: the host's maps
// are not part of what is measured.
struct Operation {
  const char* name;
  std::function<bool(TerminalFace_ZR&)> call;
};

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations = {
      {"GetAvailableFace",
       [](TerminalFace_ZR& a) {
         thread_local ParamMap p;
         return a.GetAvailableFace(p);
       }},
      {"AddUser",
       [](TerminalFace_ZR& a) {
         thread_local ParamMap p = kPerson;
         return a.AddUser("7", "SN1", p);
       }},
      {"AddUser20KiB",
       [](TerminalFace_ZR& a) {
         static const std::string picture(std::size_t{20} * 1024, 'A');
         thread_local ParamMap p = WithPicture(kPerson, picture);
         return a.AddUser("7", "SN1", p);
       }},
      {"AddUser200KiB",
       [](TerminalFace_ZR& a) {
         static const std::string picture(std::size_t{200} * 1024, 'A');
         thread_local ParamMap p = WithPicture(kPerson, picture);
         return a.AddUser("7", "SN1", p);
       }},
      {"SetUser",
       [](TerminalFace_ZR& a) {
         thread_local ParamMap p = kPerson;
         return a.SetUser("7", "SN1", p);
       }},
      {"DelUser",
       [](TerminalFace_ZR& a) {
         thread_local ParamMap p = kPerson;
         return a.DelUser("7", "SN1", p);
       }},
      {"SetBiophoto",
       [](TerminalFace_ZR& a) {
         thread_local ParamMap p{{"certnum", "C-100234"}, {"size", "4"}, {"content", "QUJD"}};
         return a.SetBiophoto("7", "SN1", p);
       }},
      {"BindTerminalFace",
       [](TerminalFace_ZR& a) { return a.BindTerminalFace("SN1", 1, "10.0.0.7", "80", "u", "p"); }},
      {"UnBindTerminalFace", [](TerminalFace_ZR& a) { return a.UnBindTerminalFace("SN1"); }},
      {"SetListenPortFace",
       [](TerminalFace_ZR& a) {
         std::string port = "10004";
         std::string reset = "0";
         return a.SetListenPortFace(port, reset);
       }},
      {"ControlDeviceFace",
       [](TerminalFace_ZR& a) { return a.ControlDeviceFace("7", "SN1", "", "", ""); }},
      {"Active", [](TerminalFace_ZR& a) { return a.Active("7", "SN1", "op", "pw", "5"); }},
      {"ActivationStatus", [](TerminalFace_ZR& a) { return a.ActivationStatus("7", "SN1"); }},
      {"GetTerminalStatusFace", [](TerminalFace_ZR& a) { return a.GetTerminalStatusFace("SN1"); }},
  };
  return operations;
}

// The requests one call of `operation` makes, recorded by a simulator that
// keeps its journal: (path, body) pairs, result polls left out.
std::vector<std::pair<std::string, std::string>> RecordRequests(const Operation& operation) {
  FacepadSim::FacepadSimulator recorder;
  recorder.Model().SetTerminalStatusAnswer(kConnectedAnswer);
  TerminalFace_ZR adaptor;
  adaptor.SetUrl(recorder.Host());
  adaptor.SetRequestPort(recorder.Port());
  operation.call(adaptor);
  std::vector<std::pair<std::string, std::string>> requests;
  for (const FacepadSim::JournalEntry& entry : recorder.RequestsBesidesPolls()) {
    requests.emplace_back(entry.path, entry.body);
  }
  return requests;
}

void BM_RoundTrip(benchmark::State& state, const Operation& operation, bool observed) {
  Loopback& loopback = SharedLoopback();
  // An observer that looks at each exchange as a host's logging would
  // begin to: its sizes and status.
  std::atomic<std::size_t> seen{0};
  if (observed) {
    loopback.adaptor->SetExchangeObserver([&seen](const TerminalFace_ZR::Exchange& exchange) {
      seen.fetch_add(
          exchange.body.size() + exchange.answer.size() + static_cast<std::size_t>(exchange.status),
          std::memory_order_relaxed);
    });
  }
  std::vector<std::pair<std::string, std::string>> floorRequests;
  for (const auto& [path, body] : RecordRequests(operation)) {
    floorRequests.emplace_back(loopback.Url(path), body);
  }
  RawPoster floor;
  const OneCpu pinned;
  std::vector<double> adaptorSamples;
  std::vector<double> floorSamples;
  const auto timeAdaptor = [&] {
    const auto start = Clock::now();
    if (!operation.call(*loopback.adaptor)) state.SkipWithError("the adaptor's request failed");
    adaptorSamples.push_back(Microseconds(Clock::now() - start));
  };
  const auto timeFloor = [&] {
    const auto start = Clock::now();
    for (const auto& [url, body] : floorRequests) {
      if (!floor.Post(url, body)) state.SkipWithError("the floor's request failed");
    }
    floorSamples.push_back(Microseconds(Clock::now() - start));
  };
  bool adaptorFirst = false;
  for (auto _ : state) {
    // Turns alternate, so that neither side always follows the other.
    adaptorFirst = !adaptorFirst;
    if (adaptorFirst) timeAdaptor();
    timeFloor();
    if (!adaptorFirst) timeAdaptor();
  }
  const double p50 = Percentile(adaptorSamples, 0.50);
  const double p99 = Percentile(adaptorSamples, 0.99);
  const double floorP50 = Percentile(floorSamples, 0.50);
  const double floorP99 = Percentile(floorSamples, 0.99);
  state.counters["p50_us"] = p50;
  state.counters["p99_us"] = p99;
  state.counters["floor_p50_us"] = floorP50;
  state.counters["floor_p99_us"] = floorP99;
  state.counters["ratio_p50"] = p50 / floorP50;
  state.counters["ratio_p99"] = p99 / floorP99;
  if (observed) loopback.adaptor->SetExchangeObserver(nullptr);
}

// Requests per second from `threads` threads running `request` for `period`.
double Throughput(int threads, std::chrono::milliseconds period,
                  const std::function<std::function<bool()>()>& makeRequest) {
  std::atomic<bool> stop{false};
  std::atomic<long> done{0};
  std::vector<std::thread> workers;
  workers.reserve(static_cast<std::size_t>(threads));
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      const std::function<bool()> request = makeRequest();
      long mine = 0;
      while (!stop.load(std::memory_order_relaxed)) mine += request() ? 1 : 0;
      done += mine;
    });
  }
  const auto start = Clock::now();
  std::this_thread::sleep_for(period);
  stop = true;
  for (std::thread& worker : workers) worker.join();
  return static_cast<double>(done.load()) /
         std::chrono::duration<double>(Clock::now() - start).count();
}

// One adaptor shared by 1, 2 and 4 threads, against as many bare handles.
void BM_Parallel(benchmark::State& state, const Operation& operation) {
  Loopback& loopback = SharedLoopback();
  const auto recorded = RecordRequests(operation).at(0);
  const std::string url = loopback.Url(recorded.first);
  const std::string body = recorded.second;
  const auto floorRequest = [&] {
    auto poster = std::make_shared<RawPoster>();
    return std::function<bool()>([poster, &url, &body] { return poster->Post(url, body); });
  };
  const auto adaptorRequest = [&] {
    return std::function<bool()>([&] { return operation.call(*loopback.adaptor); });
  };
  // Short slices of every configuration in turn, many rounds, medians: a
  // noisy neighbour then spoils a few slices of each instead of one whole
  // configuration.
  const std::chrono::milliseconds slice(static_cast<long>(state.range(0)));
  constexpr int kRounds = 15;
  std::map<std::string, std::vector<double>> rates;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      for (int threads : {1, 2, 4}) {
        const std::string n = std::to_string(threads);
        rates["floor_" + n + "_per_s"].push_back(Throughput(threads, slice, floorRequest));
        rates["adaptor_" + n + "_per_s"].push_back(Throughput(threads, slice, adaptorRequest));
      }
      // The simulator's own capacity: more bare handles than it has cores.
      rates["simulator_8_per_s"].push_back(Throughput(8, slice, floorRequest));
    }
  }
  for (auto& [name, samples] : rates) state.counters[name] = Percentile(samples, 0.5);
  state.counters["adaptor_2_over_1"] =
      state.counters["adaptor_2_per_s"].value / state.counters["adaptor_1_per_s"].value;
  state.counters["floor_2_over_1"] =
      state.counters["floor_2_per_s"].value / state.counters["floor_1_per_s"].value;
  state.counters["adaptor_4_over_1"] =
      state.counters["adaptor_4_per_s"].value / state.counters["adaptor_1_per_s"].value;
}

const bool kRegistered = [] {
  for (const Operation& operation : Operations()) {
    const std::string name = std::string("BM_RoundTrip/") + operation.name;
    benchmark::RegisterBenchmark(name.c_str(), BM_RoundTrip, operation, false)
        ->Iterations(10000)
        ->Unit(benchmark::kMicrosecond);
    AddGoal(
        {name.substr(3) + " p50 / floor", name + "/", "ratio_p50", Goal::Kind::AtMost, 1.10, "x"});
    AddGoal(
        {name.substr(3) + " p99 / floor", name + "/", "ratio_p99", Goal::Kind::AtMost, 1.10, "x"});
  }
  // What an exchange observer adds, on an operation with a record.
  const Operation& observedOne = Operations()[1];
  const std::string observed = std::string("BM_RoundTripObserved/") + observedOne.name;
  benchmark::RegisterBenchmark(observed.c_str(), BM_RoundTrip, observedOne, true)
      ->Iterations(10000)
      ->Unit(benchmark::kMicrosecond);
  // An operation without a record shows the adaptor's own concurrency; one
  // with a record adds json-c's work, which competes for the same two cores.
  for (const Operation& operation : {Operations()[0], Operations()[1]}) {
    const std::string name = std::string("BM_Parallel/") + operation.name;
    benchmark::RegisterBenchmark(name.c_str(), BM_Parallel, operation)
        ->Arg(100)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    AddGoal({name.substr(3) + ": 2 threads / 1", name + "/", "adaptor_2_over_1",
             Goal::Kind::AtLeast, 1.7, "x"});
  }
  return true;
}();

}  // namespace
}  // namespace Bench
