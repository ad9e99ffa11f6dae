// facepadctl check's conversation with a facepad service: a short script of
// steps, each made with the library's own operation exactly as a host makes
// it, every exchange seen through the adaptor's exchange observer, and a
// verdict for each step. The first four judge the form of an answer (its
// status, whether the adaptor reads it), not its value; the test person's
// life on the terminal learns the service's result codes.
#ifndef FACEPADCTL_CHECK_CONVERSATION_H
#define FACEPADCTL_CHECK_CONVERSATION_H

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Adaptor.h"
#include "Globals.h"

namespace Facepadctl {

// One POST and what came back, as the observer saw it.
struct SeenExchange {
  std::string path;
  std::string body;
  int status = 0;  // 0: no answer
  std::string answer;
  std::chrono::microseconds elapsed{0};
  ZR_Framework::Face::TerminalFace_ZR::Failure failure{};
};

enum class Verdict { Conforms, Deviates, NotTried };

struct Step {
  explicit Step(std::string name_) : name(std::move(name_)) {}
  std::string name;  // "availability", "add", ...
  Verdict verdict = Verdict::NotTried;
  std::string came;    // what came, in words: "status 200", "result 101"
  std::string code;    // the result code, for a step that awaits one
  std::string reason;  // why it deviates, or was not tried
  std::chrono::microseconds took{0};
  bool mayHaveArrived = false;  // accepted, or timed out or cut off on the way
};

// The service's result codes, as the test person's life showed them.
struct LearntCodes {
  std::string done;          // an add's
  std::string held;          // a second add's: the person is already held
  std::string absent;        // a delete's of a person not held
  std::string absentUpdate;  // an update's of a person never added
};

struct CheckSettings {
  std::string sn;
  std::string certnum;  // the test person: fresh each run unless given
  bool certnumGiven = false;
  double waitSeconds = 10;
};

class Conversation {
 public:
  // `onStep` is told of each step once its verdict is final, as it comes.
  Conversation(Globals globals, CheckSettings settings,
               std::function<void(const Step&)> onStep = {});

  // Runs the steps, then deletes the test person if it was added and not
  // yet deleted, whatever ended the steps (a signal included).
  void Run();

  const std::vector<Step>& Steps() const { return m_steps; }
  const LearntCodes& Codes() const { return m_codes; }
  // Every exchange, in the order they ended.
  std::vector<SeenExchange> Exchanges() const;
  // Results for request ids that are not this check's, taken by its polls.
  int OthersResults() const { return m_othersResults; }
  // Whether the service answered at all.
  bool Reached() const { return m_reached; }
  // Whether the test person's life went as a service's should, so that the
  // codes learnt are the service's: no step of it deviated or was left out.
  bool CodesLearnt() const;

 private:
  using Post = std::function<bool(Adaptor&, const std::string& id)>;

  void Keep(const ZR_Framework::Face::TerminalFace_ZR::Exchange& exchange);
  // The last exchange on `path` since `from` (an index into the exchanges).
  SeenExchange LastOn(const std::string& path, std::size_t from) const;
  std::size_t ExchangeCount() const;

  // Steps 1 and 2: the form of an operation's answer; returns its failure.
  ZR_Framework::Face::TerminalFace_ZR::Failure Judge(
      Adaptor& adaptor, const std::string& name, const std::string& path,
      const std::function<bool(Adaptor&)>& operation);
  void JudgeResultsChannel(Adaptor& adaptor);
  // An action of the test person's life: posted, then its result awaited.
  Step& Act(Adaptor& adaptor, const std::string& name, const std::string& path, const Post& post);
  bool AwaitResult(Adaptor& adaptor, const std::string& id, std::chrono::milliseconds limit,
                   bool heedSignals, std::string& code);
  void LiveAndDie(Adaptor& adaptor);
  void CleanUp(Adaptor& adaptor);
  void NotTried(const std::vector<std::string>& names, const std::string& reason);
  // Tells onStep of the steps whose verdicts are final: all but one still
  // under way.
  void ReportFinished();

  const Globals m_globals;
  const CheckSettings m_settings;
  const std::function<void(const Step&)> m_onStep;
  std::vector<Step> m_steps;
  std::size_t m_reported = 0;
  LearntCodes m_codes;
  bool m_reached = false;
  std::string m_lastId;    // the request id Act() posted last
  std::string m_addId;     // the test person's first add
  bool m_added = false;    // the test person may be on the terminal
  bool m_deleted = false;  // and was deleted since
  std::set<std::string> m_ourIds;
  std::map<std::string, std::string> m_ourCodes;  // by request id
  // Our requests whose results came under another serial number, and that
  // number: sync, which matches both, would never settle them.
  std::map<std::string, std::string> m_otherSn;
  int m_othersResults = 0;

  mutable std::mutex m_mutex;  // guards m_exchanges: the poller adds to it
  std::vector<SeenExchange> m_exchanges;
};

}  // namespace Facepadctl

#endif  // FACEPADCTL_CHECK_CONVERSATION_H
