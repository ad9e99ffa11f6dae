#include "BenchSupport.h"

#include <curl/curl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "ToolKits.h"

namespace Bench {

double Microseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::micro>(duration).count();
}

double Percentile(std::vector<double>& samples, double fraction) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1));
  return samples[index];
}

namespace {
// Sets the CPUs of every thread of this process (new threads inherit them).
void SetAffinityOfAllThreads(const cpu_set_t& cpus) {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    const pid_t thread = std::atoi(task.path().filename().c_str());
    sched_setaffinity(thread, sizeof cpus, &cpus);
  }
}
}  // namespace

OneCpu::OneCpu() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  CPU_SET(sched_getcpu() >= 0 ? sched_getcpu() : 0, &cpus);
  SetAffinityOfAllThreads(cpus);
}

OneCpu::~OneCpu() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) CPU_SET(cpu, &cpus);
  SetAffinityOfAllThreads(cpus);
}

long ResidentKiB() {
  long pages = 0;
  long resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The high-water mark of this process's own memory since its exec. (Its
// ru_maxrss would also count what the process that started it held.)
long PeakResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string word;
  long kib = 0;
  while (status >> word) {
    if (word == "VmHWM:" && status >> kib) return kib;
  }
  return 0;
}

struct RawPoster::Impl {
  CURL* curl = curl_easy_init();
  curl_slist* headers =
      curl_slist_append(curl_slist_append(nullptr, "Content-Type: text/plain"), "Expect:");
  std::string answer;
  std::string url;
};

namespace {
size_t Append(char* data, size_t size, size_t count, void* answer) {
  static_cast<std::string*>(answer)->append(data, size * count);
  return size * count;
}
}  // namespace

RawPoster::RawPoster() : m_impl(std::make_unique<Impl>()) {
  CURL* curl = m_impl->curl;
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, m_impl->headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &m_impl->answer);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
}

RawPoster::~RawPoster() {
  curl_easy_cleanup(m_impl->curl);
  curl_slist_free_all(m_impl->headers);
}

bool RawPoster::Post(const std::string& url, const std::string& body) {
  CURL* curl = m_impl->curl;
  if (url != m_impl->url) {
    m_impl->url = url;
    curl_easy_setopt(curl, CURLOPT_URL, m_impl->url.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  m_impl->answer.clear();
  long status = 0;
  return curl_easy_perform(curl) == CURLE_OK &&
         curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
}

namespace {
FacepadSim::SimulatorOptions LoopbackOptions() {
  FacepadSim::SimulatorOptions options;
  options.journalLimit = 0;  // a long run's bodies would pile up
  return options;
}

int Consume(ZR_Framework::Face::ResultMap& results) {
  results.clear();
  return 0;
}
}  // namespace

Loopback::Loopback()
    : simulator(std::make_unique<FacepadSim::FacepadSimulator>(LoopbackOptions())),
      adaptor(std::make_unique<ZR_Framework::Face::TerminalFace_ZR>()) {
  ko_libos_log_debug_ex = nullptr;
  adaptor->SetUrl(simulator->Host());
  adaptor->SetRequestPort(simulator->Port());
  adaptor->SetResultCallbackFace(Consume);
  simulator->Model().SetTerminalStatusAnswer(kConnectedAnswer);
}

std::string Loopback::Url(const std::string& path) const {
  return "http://" + simulator->Host() + ":" + std::to_string(simulator->Port()) + "/" + path;
}

Loopback& SharedLoopback() {
  static Loopback loopback;
  return loopback;
}

namespace {
std::vector<Goal>& Goals() {
  static std::vector<Goal> goals;
  return goals;
}
}  // namespace

void RegisterScenario(const char* name, void (*scenario)(benchmark::State&)) {
  // The benchmark library keeps what it registers for the program's life.
  // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDeleteLeaks)
  benchmark::RegisterBenchmark(name, scenario)->Iterations(1)->Unit(benchmark::kMillisecond);
}

void AddGoal(Goal goal) {
  Goals().push_back(std::move(goal));
}

void TableReporter::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  m_runs.insert(m_runs.end(), runs.begin(), runs.end());
}

void TableReporter::PrintGoals() const {
  std::printf("\n%-46s %12s %12s  %s\n", "goal", "measured", "target", "");
  int missed = 0;
  for (const Goal& goal : Goals()) {
    const auto run = std::find_if(m_runs.rbegin(), m_runs.rend(), [&](const Run& candidate) {
      return candidate.benchmark_name().rfind(goal.run, 0) == 0;
    });
    if (run == m_runs.rend()) continue;  // filtered out
    const auto counter = run->counters.find(goal.counter);
    if (counter == run->counters.end()) continue;
    const double value = counter->second.value;
    const bool met = goal.kind == Goal::Kind::AtMost ? value <= goal.target : value >= goal.target;
    missed += met ? 0 : 1;
    std::printf("%-46s %12.3f %s%11.3f  %-4s %s\n", goal.what.c_str(), value,
                goal.kind == Goal::Kind::AtMost ? "<=" : ">=", goal.target, goal.unit.c_str(),
                met ? "met" : "MISSED");
  }
  std::printf("%d goal(s) missed\n", missed);
}

}  // namespace Bench
