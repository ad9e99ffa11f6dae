// A seeded campaign against facepadctl sync's promise: an exit 0 (and a
// --plan that exits 0) means every terminal holds exactly the roster. Each
// round changes the roster, breaks one run with a kill, a signal or a fault,
// may change the roster again, then runs the same command until it
// converges. After every run the
// verdict is checked against the terminals themselves, through the
// simulator's admin API, never against the ledger.
//
// ZR_CAMPAIGN_ROUNDS, ZR_CAMPAIGN_PERSONS and ZR_CAMPAIGN_SEED make it
// longer or other (scripts/sync-campaign); it prints its figures either way.
#include <gtest/gtest.h>
#include <httplib.h>
#include <json-c/json.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>

#include "FacepadSimulator.h"
#include "Subprocess.h"

namespace {

using namespace std::chrono_literals;
using FacepadSim::Fault;

const std::string kPhotos[] = {ZR_SOURCE_DIR "/demo/photos/ann.png",
                               ZR_SOURCE_DIR "/demo/photos/bo.png"};
const std::vector<std::string> kTerminals = {"T1", "T2"};

int FromEnvironment(const char* name, int fallback) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): before any thread
  return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

struct RosterPerson {
  std::string name;
  int photo = -1;  // index into kPhotos; -1: none
};
using RosterModel = std::map<std::string, RosterPerson>;  // by certnum

// A person as the terminal holds them, read through the admin API.
struct HeldPerson {
  std::string name;
  bool hasPhoto = false;
};

// The (terminal, certnum) of every add in `entries`.
std::multiset<std::pair<std::string, std::string>> Adds(
    const std::vector<FacepadSim::JournalEntry>& entries) {
  static const std::regex kAdd("^SN=([^\t]*)\t.*\"certnum\": ?\"([^\"]*)\"");
  std::multiset<std::pair<std::string, std::string>> adds;
  for (const auto& entry : entries) {
    std::smatch match;
    if (std::regex_search(entry.body, match, kAdd)) adds.emplace(match[1], match[2]);
  }
  return adds;
}

class Campaign {
 public:
  Campaign(unsigned seed, int persons) : m_random(seed) {
    char path[] = "/tmp/zr-campaign-XXXXXX";
    m_dir = mkdtemp(path);
    for (int i = 0; i < persons; ++i) NewPerson();
  }
  ~Campaign() { std::filesystem::remove_all(m_dir); }
  Campaign(const Campaign&) = delete;
  Campaign& operator=(const Campaign&) = delete;

  // One round: the roster changes, one run is broken, then runs follow until
  // one exits 0 (at most five).
  void Round() {
    ChangeRoster();
    const int kind = std::uniform_int_distribution<int>(0, 6)(m_random);
    const double at = std::uniform_real_distribution<double>(0.1, 0.8)(m_random);
    std::vector<std::string> extra;
    double interruptAfter = 0;
    const char* signal = "INT";
    switch (kind) {
      case 0:
      case 1:
      case 2:  // kill -9, SIGTERM or SIGINT part-way through a slowed run
        signal = kind == 0 ? "KILL" : kind == 1 ? "TERM" : "INT";
        interruptAfter = at;
        extra = {"--jobs", "2"};
        for (const char* path : {"facepad/adduser", "facepad/setuser", "facepad/deluser"}) {
          m_simulator.AddFault(Fault::Delayed(20ms).On(path).Times(100000));
        }
        break;
      case 3:  // a result poll that hangs past the run's time-out
        m_simulator.AddFault(
            Fault::Delayed(std::chrono::milliseconds(1000 + static_cast<int>(at * 600)))
                .On("facepad/getresult")
                .Times(1));
        extra = {"--timeout", "0.5", "--wait", "0.5"};
        break;
      case 4: {  // the service refuses some writes
        static const char* kWrites[] = {"facepad/adduser", "facepad/setuser", "facepad/setfacepic",
                                        "facepad/deluser"};
        m_simulator.AddFault(Fault::Answer(500)
                                 .On(kWrites[std::uniform_int_distribution<int>(0, 3)(m_random)])
                                 .Times(std::uniform_int_distribution<int>(1, 5)(m_random)));
        break;
      }
      case 5:  // another client takes the results
        extra = {"--wait", "0"};
        break;
      default:
        break;
    }
    const Finished broken = Sync(extra, interruptAfter, signal);
    m_simulator.ClearFaults();
    if (kind == 5) m_simulator.Model().Handle("facepad/getresult", "");
    // Unless the run ended before the signal came.
    const bool signalled =
        (kind == 1 && broken.exitCode == 143) || (kind == 2 && broken.exitCode == 130);
    if (kind == 1 || kind == 2) {
      EXPECT_TRUE(signalled || broken.exitCode == 0) << broken.err;
    }

    // The roster may change again before the results lost are settled.
    if (std::uniform_int_distribution<int>(0, 1)(m_random) == 1) ChangeRoster();
    const Finished plan = Sync({"--plan"});
    if (plan.exitCode == 0 && !TerminalsHoldTheRoster()) {
      ++m_wrongExits;
      ADD_FAILURE() << "--plan exited 0 on terminals that do not hold the roster\n" << plan.out;
    }
    std::set<std::pair<std::string, std::string>> addedBefore;
    if (signalled) {
      for (const auto& add : m_lastAdds) addedBefore.insert(add);
    }
    for (int run = 0;; ++run) {
      const Finished again = Sync({});
      if (signalled && run == 0) {
        for (const auto& add : m_lastAdds) {
          if (addedBefore.count(add) > 0) {
            ++m_doubleAdds;
            ADD_FAILURE() << "added twice after a signal: " << add.first << " " << add.second;
          }
        }
      }
      if (again.exitCode == 0) break;
      if (run == 4) {
        ++m_unconverged;
        ADD_FAILURE() << "no convergence in five runs\n" << again.out << again.err;
        break;
      }
    }
  }

  void Report(int rounds) const {
    std::printf(
        "campaign: %d rounds, %d runs, %d persons at the end; wrong exits %d, orphans %d, "
        "not converged %d, added twice after a signal %d, adds of persons already held %d\n",
        rounds, m_runs, static_cast<int>(m_roster.size()), m_wrongExits, m_orphans, m_unconverged,
        m_doubleAdds, m_extraAdds);
  }

 private:
  // facepadctl sync over both terminals, with every code the simulator
  // gives; checks an exit 0 against the terminals, and counts adds of
  // persons the terminal already held.
  Finished Sync(std::vector<std::string> extra, double interruptAfter = 0,
                const char* signal = "INT") {
    WriteRoster();
    std::vector<std::string> arguments = {"--port",
                                          std::to_string(m_simulator.Port()),
                                          "sync",
                                          m_dir + "/roster.csv",
                                          "--prune",
                                          "--held-code",
                                          "101",
                                          "--absent-code",
                                          "102",
                                          "--ledger",
                                          m_dir + "/ledger.db"};
    for (const std::string& sn : kTerminals) arguments.insert(arguments.end(), {"--sn", sn});
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    std::map<std::string, std::map<std::string, HeldPerson>> heldBefore;
    for (const std::string& sn : kTerminals) heldBefore[sn] = Held(sn);
    m_simulator.ClearJournal();
    const Finished finished = RunToEnd(FACEPADCTL_PATH, arguments, interruptAfter, signal);
    ++m_runs;
    m_lastAdds.clear();
    for (const auto& add : Adds(m_simulator.Requests("facepad/adduser"))) {
      m_lastAdds.push_back(add);
      if (heldBefore[add.first].count(add.second) > 0) ++m_extraAdds;
    }
    const bool planOnly = std::find(extra.begin(), extra.end(), "--plan") != extra.end();
    if (!planOnly && finished.exitCode == 0 && !TerminalsHoldTheRoster()) {
      ++m_wrongExits;
      ADD_FAILURE() << "exit 0 on terminals that do not hold the roster\n" << finished.out;
    }
    return finished;
  }

  bool TerminalsHoldTheRoster() {
    bool exact = true;
    for (const std::string& sn : kTerminals) {
      const std::map<std::string, HeldPerson> held = Held(sn);
      for (const auto& [certnum, person] : held) {
        if (m_roster.count(certnum) == 0) {
          ++m_orphans;
          exact = false;
        }
      }
      for (const auto& [certnum, person] : m_roster) {
        const auto found = held.find(certnum);
        if (found == held.end() || found->second.name != person.name) {
          exact = false;
        } else if (person.photo >= 0 && Photo(sn, certnum) != ReadFile(kPhotos[person.photo])) {
          exact = false;
        }
      }
    }
    return exact;
  }

  std::map<std::string, HeldPerson> Held(const std::string& sn) {
    std::map<std::string, HeldPerson> held;
    for (int offset = 0;; offset += 200) {
      const auto page = m_admin.Get("/admin/persons?sn=" + sn +
                                    "&offset=" + std::to_string(offset) + "&limit=200");
      if (!page || page->status != 200) throw std::runtime_error("the admin API did not answer");
      json_object* document = json_tokener_parse(page->body.c_str());
      json_object* persons = json_object_object_get(document, "persons");
      const std::size_t count = json_object_array_length(persons);
      for (std::size_t i = 0; i < count; ++i) {
        json_object* person = json_object_array_get_idx(persons, i);
        json_object* fields = json_object_object_get(person, "fields");
        held[json_object_get_string(json_object_object_get(person, "certnum"))] = {
            json_object_get_string(json_object_object_get(fields, "name")),
            json_object_get_boolean(json_object_object_get(person, "has_photo")) != 0};
      }
      json_object_put(document);
      if (count < 200) return held;
    }
  }

  std::string Photo(const std::string& sn, const std::string& certnum) {
    const auto photo = m_admin.Get("/admin/photo?sn=" + sn + "&certnum=" + certnum);
    return photo && photo->status == 200 ? photo->body : std::string();
  }

  void NewPerson() {
    const std::string certnum = "C-" + std::to_string(++m_lastPerson);
    m_roster[certnum] = {"P" + std::to_string(m_lastPerson),
                         std::uniform_int_distribution<int>(-1, 1)(m_random)};
  }

  void ChangeRoster() {
    std::uniform_real_distribution<double> chance(0, 1);
    for (auto it = m_roster.begin(); it != m_roster.end();) {
      const double draw = chance(m_random);
      if (draw < 0.05) {
        it = m_roster.erase(it);
        continue;
      }
      if (draw < 0.12) it->second.name += "'";
      if (draw > 0.95) it->second.photo = (it->second.photo + 2) % 3 - 1;
      ++it;
    }
    for (int i = std::uniform_int_distribution<int>(0, 4)(m_random); i > 0; --i) NewPerson();
  }

  void WriteRoster() const {
    std::ofstream csv(m_dir + "/roster.csv");
    csv << "certnum,name,photo\n";
    for (const auto& [certnum, person] : m_roster) {
      csv << certnum << "," << person.name << ","
          << (person.photo >= 0 ? kPhotos[person.photo] : std::string()) << "\n";
    }
  }

  std::mt19937 m_random;
  std::string m_dir;
  FacepadSim::FacepadSimulator m_simulator;
  httplib::Client m_admin{m_simulator.Host(), m_simulator.Port()};
  RosterModel m_roster;
  int m_lastPerson = 0;
  std::vector<std::pair<std::string, std::string>> m_lastAdds;
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
