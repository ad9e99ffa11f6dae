// CPU work on the adaptor's side: reading a result answer into the result
// map, and building the user record, each against the same work written
// directly with json-c (the floor), sampled in turns.
#include <json-c/json.h>

#include <cstdlib>

#include "BenchSupport.h"
#include "ResultPoller.h"
#include "UserRecord.h"

using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::ResultMap;

namespace Bench {
namespace {

// The array of a result answer: `elements` terminals with five entries each.
std::string ResultList(int elements) {
  std::string list = "[";
  for (int e = 0; e < elements; ++e) {
    std::string entries = "[";
    for (int i = 0; i < 5; ++i) {
      if (i > 0) entries += ",";
      entries += R"({\"id\":\"req)" + std::to_string(e * 5 + i) + R"(\",\"return\":\"0\"})";
    }
    entries += "]";
    if (e > 0) list += ",";
    list += R"({"SN":"FP-)" + std::to_string(e) + R"(","data":")" + entries + "\"}";
  }
  return list + "]";
}

const char* Text(json_object* object, const char* key) {
  json_object* member = nullptr;
  if (!json_object_object_get_ex(object, key, &member)) return "";
  const char* text = json_object_get_string(member);
  return text != nullptr ? text : "";
}

// The floor: the outer text parsed once, each "data" text once, "id" and
// "return" copied into the maps.
void ParseDirectly(const std::string& list, ResultMap& results) {
  json_object* outer = json_tokener_parse(list.c_str());
  const std::size_t count = json_object_array_length(outer);
  for (std::size_t e = 0; e < count; ++e) {
    json_object* element = json_object_array_get_idx(outer, e);
    json_object* entries = json_tokener_parse(Text(element, "data"));
    ParamMap outcomes;
    const std::size_t entryCount = json_object_array_length(entries);
    for (std::size_t i = 0; i < entryCount; ++i) {
      json_object* entry = json_object_array_get_idx(entries, i);
      outcomes[Text(entry, "id")] = Text(entry, "return");
    }
    json_object_put(entries);
    results[Text(element, "SN")] = std::move(outcomes);
  }
  json_object_put(outer);
}

// Times `calls` calls of `work`, in microseconds.
template <typename Work>
double TimeCalls(int calls, Work&& work) {
  const auto start = Clock::now();
  for (int i = 0; i < calls; ++i) work();
  return Microseconds(Clock::now() - start);
}

void BM_ReadResults(benchmark::State& state) {
  const int elements = static_cast<int>(state.range(0));
  const std::string list = ResultList(elements);
  Loopback& loopback = SharedLoopback();
  std::vector<double> adaptorSamples;
  std::vector<double> floorSamples;
  for (auto _ : state) {
    adaptorSamples.push_back(TimeCalls(1, [&] {
      ResultMap results;
      loopback.adaptor->JsonDataToMapData(list, results);
      benchmark::DoNotOptimize(results);
    }));
    floorSamples.push_back(TimeCalls(1, [&] {
      ResultMap results;
      ParseDirectly(list, results);
      benchmark::DoNotOptimize(results);
    }));
  }
  const double adaptor = Percentile(adaptorSamples, 0.5);
  const double floor = Percentile(floorSamples, 0.5);
  state.counters["us"] = adaptor;
  state.counters["floor_us"] = floor;
  state.counters["elements_per_s"] = elements / adaptor * 1e6;
  state.counters["ratio"] = adaptor / floor;
}

// The floor: the same record, built from a map that already holds every key.
std::string BuildDirectly(const ParamMap& person) {
  json_object* record = json_object_new_object();
  for (const char* key :
       {"certtype", "certnum", "name", "password", "authmethod", "facetype", "roleplay"}) {
    json_object_object_add(record, key, json_object_new_string(person.at(key).c_str()));
  }
  json_object* card = json_object_new_object();
  json_object_object_add(card, "num", json_object_new_string(person.at("num").c_str()));
  json_object_object_add(card, "type",
                         json_object_new_int(std::atoi(person.at("cardtype").c_str())));
  json_object* cards = json_object_new_array();
  json_object_array_add(cards, card);
  json_object_object_add(record, "cardinfo", cards);
  json_object_object_add(record, "plantemplateno",
                         json_object_new_string(person.at("plantemplateno").c_str()));
  json_object_object_add(record, "enablecover",
                         json_object_new_string(person.at("enablecover").c_str()));
  std::string text = json_object_to_json_string(record);
  json_object_put(record);
  return text;
}

void BM_UserRecord(benchmark::State& state) {
  ParamMap person = {{"certtype", "1"},       {"certnum", "C-100234"}, {"name", "Ann Lee"},
                     {"password", "1234"},    {"authmethod", "face"},  {"facetype", "1"},
                     {"roleplay", "1"},       {"num", "40012345"},     {"cardtype", "1"},
                     {"plantemplateno", "3"}, {"enablecover", "1"}};
  constexpr int kBatch = 100;
  std::vector<double> adaptorSamples;
  std::vector<double> floorSamples;
  for (auto _ : state) {
    adaptorSamples.push_back(TimeCalls(kBatch, [&] {
      benchmark::DoNotOptimize(
          ZR_Framework::Face::BuildUserRecord(person, ZR_Framework::Face::UserRecordVariant::Add));
    }));
    floorSamples.push_back(
        TimeCalls(kBatch, [&] { benchmark::DoNotOptimize(BuildDirectly(person)); }));
  }
  const double adaptor = Percentile(adaptorSamples, 0.5) / kBatch;
  const double floor = Percentile(floorSamples, 0.5) / kBatch;
  state.counters["us"] = adaptor;
  state.counters["floor_us"] = floor;
  state.counters["ratio"] = adaptor / floor;
}

const bool kRegistered = [] {
  benchmark::RegisterBenchmark("BM_ReadResults", BM_ReadResults)
      ->Arg(100)
      ->Iterations(2000)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("BM_ReadResults", BM_ReadResults)
      ->Arg(10000)
      ->Iterations(30)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_UserRecord", BM_UserRecord)->Iterations(3000);
  AddGoal(
      {"ReadResults 100 / floor", "BM_ReadResults/100/", "ratio", Goal::Kind::AtMost, 1.10, "x"});
  AddGoal({"ReadResults 10000 / floor", "BM_ReadResults/10000/", "ratio", Goal::Kind::AtMost, 1.10,
           "x"});
  AddGoal({"UserRecord / floor", "BM_UserRecord", "ratio", Goal::Kind::AtMost, 1.10, "x"});
  return true;
}();

}  // namespace
}  // namespace Bench
