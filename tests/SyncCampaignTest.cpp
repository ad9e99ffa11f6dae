// A seeded campaign against facepadctl sync's promise: an exit 0 (and a
// --plan that exits 0) means every terminal holds exactly the roster. Each
// round changes the roster, breaks one run with a kill, a signal or a fault,
// may change the roster again, then runs the same command until it
// converges. After every run the verdict is checked against the terminals
// themselves, through the simulator's admin API, never against the ledger.
//
// ZR_CAMPAIGN_ROUNDS, ZR_CAMPAIGN_PERSONS and ZR_CAMPAIGN_SEED make it
// longer or other (scripts/sync-campaign); it prints its figures either way.
#include <gtest/gtest.h>
#include <httplib.h>
#include <json-c/json.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>

#include "FacepadSimulator.h"
#include "Json.h"
#include "Subprocess.h"

namespace {

using namespace std::chrono_literals;
using FacepadSim::Fault;
using Person = std::pair<std::string, std::string>;  // terminal, certnum

const std::string kPhotos[] = {ZR_SOURCE_DIR "/demo/photos/ann.png",
                               ZR_SOURCE_DIR "/demo/photos/bo.png"};
const char* const kWrites[] = {"facepad/adduser", "facepad/setuser", "facepad/setfacepic",
                               "facepad/deluser"};

int FromEnvironment(const char* name, int fallback) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): before any thread
  return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

// How a round's first run is broken: a signal, a poll hung, writes refused,
// closed or timed out, results taken, or not at all.
enum class Break { Kill, Term, Int, HungPoll, Refused, Closed, TimedOut, ResultsTaken, None };

class Campaign {
 public:
  Campaign(unsigned seed, int persons) : m_random(seed) {
    for (int i = 0; i < persons; ++i) NewPerson();
  }

  void Round() {
    ChangeRoster();
    const auto how = static_cast<Break>(Draw(0, 8));
    const Finished broken = BrokenRun(how);
    m_simulator.ClearFaults();
    if (how == Break::ResultsTaken) m_simulator.Model().Handle("facepad/getresult", "");
    // Unless the run ended before the signal came.
    const int signalled = how == Break::Term ? 143 : how == Break::Int ? 130 : -1;
    EXPECT_TRUE(signalled < 0 || broken.exitCode == signalled || broken.exitCode == 0)
        << broken.err;
    const std::set<Person> addedBefore(m_lastAdds.begin(), m_lastAdds.end());
    if (Draw(0, 1) == 1) ChangeRoster();  // before the results lost are settled
    Sync("--plan");
    Finished again = Sync("");
    if (broken.exitCode == signalled)
      for (const Person& add : m_lastAdds) m_doubleAdds += static_cast<int>(addedBefore.count(add));
    for (int run = 1; run < 5 && again.exitCode != 0; ++run) again = Sync("");
    if (again.exitCode != 0) {
      ++m_unconverged;
      ADD_FAILURE() << "no convergence in five runs\n" << again.out << again.err;
    }
    EXPECT_EQ(m_wrongExits + m_doubleAdds, 0);
  }

  void Report(int rounds) const {
    std::printf(
        "campaign: %d rounds, %d runs, %zu persons at the end; wrong exits %d, orphans %d, "
        "not converged %d, added twice after a signal %d, adds of persons already held %d\n",
        rounds, m_runs, m_roster.size(), m_wrongExits, m_orphans, m_unconverged, m_doubleAdds,
        m_extraAdds);
  }

 private:
  int Draw(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }

  Finished BrokenRun(Break how) {
    const double at = std::uniform_real_distribution<double>(0.1, 0.8)(m_random);
    const auto hang = 1000ms + static_cast<int>(at * 600) * 1ms;  // a poll, past the time-out
    switch (how) {
      case Break::Kill:
      case Break::Term:
      case Break::Int:  // part-way through a slowed run
        for (const char* path : {"facepad/adduser", "facepad/setuser", "facepad/deluser"})
          m_simulator.AddFault(Fault::Delayed(20ms).On(path).Times(100000));
        return Sync("--jobs 2", at, std::array{"KILL", "TERM", "INT"}[static_cast<int>(how)]);
      case Break::HungPoll:  // past the run's time-out: the results it takes are lost
        m_simulator.AddFault(Fault::Delayed(hang).On("facepad/getresult").Times(1));
        return Sync("--timeout 0.5 --wait 0.5");
      case Break::Refused:
        m_simulator.AddFault(Fault::Answer(500).On(kWrites[Draw(0, 3)]).Times(Draw(1, 5)));
        return Sync("");
      case Break::Closed:  // as a busy service closes connections, unanswered
        m_simulator.AddFault(Fault::CloseConnection().On(kWrites[Draw(0, 3)]).Times(Draw(1, 40)));
        return Sync("--jobs 8");
      case Break::TimedOut:  // carried out after the post timed out
        m_simulator.AddFault(Fault::Delayed(700ms).On(kWrites[Draw(0, 3)]).Times(Draw(1, 12)));
        return Sync("--timeout 0.3");
      case Break::ResultsTaken:  // by another client, once the run has ended
        return Sync("--wait 0");
      case Break::None:
        break;
    }
    return Sync("");
  }

  // facepadctl sync over both terminals with every code the simulator gives.
  // An exit 0 is checked against the terminals; adds of persons a terminal
  // already held are counted.
  Finished Sync(const std::string& extra, double interruptAfter = 0, const char* signal = "INT") {
    WriteRoster();
    const std::vector<std::string> arguments =
        Words("--port " + std::to_string(m_simulator.Port()) + " sync " + m_dir / "roster.csv" +
              " --sn T1 --sn T2 --prune --held-code 101 --absent-code 102 --ledger " +
              m_dir / "ledger.db " + extra);
    std::set<Person> heldBefore;
    for (const char* sn : {"T1", "T2"})
      for (const auto& [certnum, name] : Held(sn)) heldBefore.emplace(sn, certnum);
    m_simulator.ClearJournal();
    Finished finished = RunToEnd(FACEPADCTL_PATH, arguments, interruptAfter, signal);
    ++m_runs;
    static const std::regex kAdd("^SN=([^\t]*)\t.*\"certnum\": ?\"([^\"]*)\"");
    m_lastAdds.clear();
    for (const auto& entry : m_simulator.Requests("facepad/adduser")) {
      std::smatch match;
      if (!std::regex_search(entry.body, match, kAdd)) continue;
      m_lastAdds.emplace_back(match[1], match[2]);
      m_extraAdds += static_cast<int>(heldBefore.count(m_lastAdds.back()));
    }
    if (finished.exitCode == 0 && !TerminalsHoldTheRoster()) {
      ++m_wrongExits;
      ADD_FAILURE() << "exit 0 on terminals that do not hold the roster\n" << finished.out;
    }
    return finished;
  }

  // Names and photos as the roster gives them, and no one else.
  bool TerminalsHoldTheRoster() {
    const int orphansBefore = m_orphans;
    bool exact = true;
    for (const char* sn : {"T1", "T2"}) {
      const std::map<std::string, std::string> held = Held(sn);
      for (const auto& [certnum, name] : held) m_orphans += m_roster.count(certnum) == 0 ? 1 : 0;
      for (const auto& [certnum, person] : m_roster) {
        const auto found = held.find(certnum);
        exact = exact && found != held.end() && found->second == person.first &&
                (person.second < 0 || Photo(sn, certnum) == ReadFile(kPhotos[person.second]));
      }
    }
    return exact && m_orphans == orphansBefore;
  }

  // certnum -> name of the persons a terminal holds.
  std::map<std::string, std::string> Held(const std::string& sn) {
    std::map<std::string, std::string> held;
    for (int offset = 0;; offset += 200) {
      const auto page =
          m_admin.Get("/admin/persons?sn=" + sn + "&limit=200&offset=" + std::to_string(offset));
      if (!page || page->status != 200) throw std::runtime_error("the admin API did not answer");
      const FacepadSim::JsonPtr document = FacepadSim::ParseWholeJson(page->body);
      json_object* persons = json_object_object_get(document.get(), "persons");
      const std::size_t count = json_object_array_length(persons);
      for (std::size_t i = 0; i < count; ++i) {
        json_object* person = json_object_array_get_idx(persons, i);
        json_object* fields = json_object_object_get(person, "fields");
        held[json_object_get_string(json_object_object_get(person, "certnum"))] =
            json_object_get_string(json_object_object_get(fields, "name"));
      }
      if (count < 200) return held;
    }
  }

  std::string Photo(const std::string& sn, const std::string& certnum) {
    const auto photo = m_admin.Get("/admin/photo?sn=" + sn + "&certnum=" + certnum);
    return photo && photo->status == 200 ? photo->body : std::string();
  }

  void NewPerson() {
    const std::string number = std::to_string(++m_lastPerson);
    m_roster["C-" + number] = {"P" + number, Draw(-1, 1)};
  }

  // Some leave, some are renamed, some get another photo (or none), some come.
  void ChangeRoster() {
    for (auto it = m_roster.begin(); it != m_roster.end();) {
      const int draw = Draw(0, 99);  // below 5: leaves, below 12: renamed, above 95: photo
      if (draw < 12) it->second.first += "'";
      if (draw > 95) it->second.second = (it->second.second + 2) % 3 - 1;
      it = draw < 5 ? m_roster.erase(it) : std::next(it);
    }
    for (int i = Draw(0, 4); i > 0; --i) NewPerson();
  }

  void WriteRoster() const {
    std::ofstream csv(m_dir / "roster.csv");
    csv << "certnum,name,photo\n";
    for (const auto& [certnum, person] : m_roster)
      csv << certnum << "," << person.first << ","
          << (person.second >= 0 ? kPhotos[person.second] : std::string()) << "\n";
  }

  std::mt19937 m_random;
  TemporaryFolder m_dir;
  FacepadSim::FacepadSimulator m_simulator;
  httplib::Client m_admin{m_simulator.Host(), m_simulator.Port()};
  std::map<std::string, std::pair<std::string, int>> m_roster;  // certnum -> name, photo (-1)
  int m_lastPerson = 0;
  std::vector<Person> m_lastAdds;
  int m_runs = 0, m_wrongExits = 0, m_orphans = 0, m_unconverged = 0, m_doubleAdds = 0,
      m_extraAdds = 0;
};

}  // namespace

TEST(SyncCampaign, AnExitZeroMeansTheTerminalsHoldTheRoster) {
  const int rounds = FromEnvironment("ZR_CAMPAIGN_ROUNDS", 30);
  Campaign campaign(static_cast<unsigned>(FromEnvironment("ZR_CAMPAIGN_SEED", 29)),
                    FromEnvironment("ZR_CAMPAIGN_PERSONS", 50));
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    campaign.Round();
  }
  campaign.Report(rounds);
}
