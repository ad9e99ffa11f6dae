#include "Conversation.h"

#include <algorithm>

#include "Arguments.h"
#include "Output.h"
#include "Signals.h"

namespace Facepadctl {
namespace {

using Clock = std::chrono::steady_clock;
using ZR_Framework::Face::ParamMap;
using Failure = ZR_Framework::Face::TerminalFace_ZR::Failure;

// The test person's face: a 1x1 PNG, 70 bytes.
constexpr const char* kPhoto =
    "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNkYPhfDwAChwGA60e6kgAAAABJRU5ErkJg"
    "gg==";
constexpr const char* kPhotoBytes = "70";
// Answers are kept whole up to this size (a poll may bring other clients'
// results); the record says how many bytes were left out.
constexpr std::size_t kAnswerKept = std::size_t{1} << 20;
// How much of an answer the adaptor could not read is shown.
constexpr std::size_t kAnswerShown = 200;

std::chrono::microseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
}

// What came back, in words.
std::string Came(const SeenExchange& seen) {
  return seen.status != 0 ? "status " + std::to_string(seen.status) : "no answer";
}

// The start of an answer the adaptor could not read, for the reason.
std::string AnswerStart(const SeenExchange& seen) {
  if (seen.status == 0) return {};
  return "; the answer began: \"" + seen.answer.substr(0, kAnswerShown) + "\"";
}

// Whether the adaptor reads a poll's answer: a list after the first word, as
// the poller hands it to JsonDataToMapData. Says why not in `why`.
bool ReadsPollAnswer(Adaptor& adaptor, const std::string& answer, std::string& why) {
  const std::size_t bracket = answer.find('[');
  if (bracket == std::string::npos) {
    why = "the answer holds no result list (the adaptor takes it for no results)";
    return false;
  }
  const std::string list = answer.substr(bracket);
  if (list == "[]") return true;
  ZR_Framework::Face::ResultMap results;
  if (adaptor.JsonDataToMapData(list, results)) return true;
  if (Adaptor::LastFailure().failure == Failure::None) return true;  // a list without entries
  why = "the adaptor could not read the result list";
  return false;
}

}  // namespace

Conversation::Conversation(Globals globals, CheckSettings settings,
                           std::function<void(const Step&)> onStep)
    : m_globals(std::move(globals)), m_settings(std::move(settings)), m_onStep(std::move(onStep)) {
  m_steps.reserve(16);  // Act() hands out references to the last one
}

void Conversation::Keep(const ZR_Framework::Face::TerminalFace_ZR::Exchange& exchange) {
  SeenExchange seen;
  seen.path = exchange.path;
  seen.body = exchange.body;
  seen.status = exchange.status;
  seen.answer = exchange.answer.substr(0, kAnswerKept);
  seen.elapsed = exchange.elapsed;
  seen.failure = exchange.failure;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_exchanges.push_back(std::move(seen));
}

std::vector<SeenExchange> Conversation::Exchanges() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_exchanges;
}

std::size_t Conversation::ExchangeCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_exchanges.size();
}

SeenExchange Conversation::LastOn(const std::string& path, std::size_t from) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (std::size_t i = m_exchanges.size(); i > from; --i) {
    if (m_exchanges[i - 1].path == path) return m_exchanges[i - 1];
  }
  return {};
}

void Conversation::Run() {
  Adaptor adaptor(m_globals, true);
  adaptor.SetExchangeObserver(
      [this](const ZR_Framework::Face::TerminalFace_ZR::Exchange& exchange) { Keep(exchange); });
  const std::string& sn = m_settings.sn;
  const Failure available = Judge(adaptor, "availability", "facepad/active", [](Adaptor& a) {
    ParamMap none;
    return a.GetAvailableFace(none);
  });
  if (available == Failure::NotReached) {  // nothing listens there
    NotTried({"terminal status", "activation status", "results channel", "add", "add again",
              "update", "photo", "delete", "delete again", "update of a person never added"},
             "the service could not be reached");
    ReportFinished();
    return;
  }
  Judge(adaptor, "terminal status", "facepad/getterminalstatus",
        [&sn](Adaptor& a) { return a.GetTerminalStatusFace(sn); });
  Act(adaptor, "activation status", "facepad/activationstatus",
      [&sn](Adaptor& a, const std::string& id) { return a.ActivationStatus(id, sn); });
  JudgeResultsChannel(adaptor);
  LiveAndDie(adaptor);
  ReportFinished();
  CleanUp(adaptor);
  adaptor.StopPolling(Milliseconds(m_globals.timeoutSeconds));
  std::string none;
  AwaitResult(adaptor, {}, std::chrono::milliseconds(0), false, none);  // counts the last poll's
}

Failure Conversation::Judge(Adaptor& adaptor, const std::string& name, const std::string& path,
                            const std::function<bool(Adaptor&)>& operation) {
  ReportFinished();
  Step step{name};
  if (g_interrupted) {
    step.reason = "interrupted";
    m_steps.push_back(step);
    return Failure::None;
  }
  const std::size_t from = ExchangeCount();
  const bool succeeded = operation(adaptor);
  const Failure failure = Adaptor::LastFailure().failure;
  const SeenExchange seen = LastOn(path, from);
  m_reached = m_reached || seen.status != 0;
  step.came = Came(seen);
  step.took = seen.elapsed;
  // "Not connected" is an answer the adaptor read: the form conforms.
  if (succeeded || failure == Failure::NotConnected) {
    step.verdict = Verdict::Conforms;
    if (failure == Failure::NotConnected) step.came += ", not connected";
  } else {
    step.verdict = Verdict::Deviates;
    step.reason =
        FailureText(Adaptor::LastFailure()) +
        (failure == Failure::UnreadableAnswer || failure == Failure::Status ? AnswerStart(seen)
                                                                            : std::string());
  }
  m_steps.push_back(step);
  return failure;
}

void Conversation::JudgeResultsChannel(Adaptor& adaptor) {
  ReportFinished();
  Step step{"results channel"};
  // The poller polls 250 ms after the start, and again after each poll.
  const auto end = Clock::now() +
                   std::max(Milliseconds(m_settings.waitSeconds), std::chrono::milliseconds(1000));
  SeenExchange seen;
  while (seen.path.empty() && Clock::now() < end && !g_interrupted) {
    std::string none;
    AwaitResult(adaptor, {}, std::chrono::milliseconds(100), true, none);
    seen = LastOn("facepad/getresult", 0);
  }
  if (seen.path.empty()) {
    step.verdict = g_interrupted ? Verdict::NotTried : Verdict::Deviates;
    step.reason = g_interrupted ? "interrupted" : "no result poll ended in time";
    m_steps.push_back(step);
    return;
  }
  step.came = Came(seen);
  step.took = seen.elapsed;
  std::string why;
  if (seen.status == 200 && ReadsPollAnswer(adaptor, seen.answer, why)) {
    step.verdict = Verdict::Conforms;
  } else {
    step.verdict = Verdict::Deviates;
    step.reason =
        seen.status == 200 ? why + AnswerStart(seen) : FailureText({seen.failure, seen.status});
  }
  m_steps.push_back(step);
}

bool Conversation::AwaitResult(Adaptor& adaptor, const std::string& id,
                               std::chrono::milliseconds limit, bool heedSignals,
                               std::string& code) {
  const auto end = Clock::now() + limit;
  for (;;) {
    const auto ours = m_ourCodes.find(id);
    if (ours != m_ourCodes.end()) {
      code = ours->second;
      return true;
    }
    if (heedSignals && g_interrupted) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    for (const Result& result : adaptor.TakeResults(
             std::clamp(left, std::chrono::milliseconds(0), std::chrono::milliseconds(100)))) {
      if (m_ourIds.count(result.id) != 0) {
        m_ourCodes[result.id] = result.code;
        if (result.sn != m_settings.sn) m_otherSn[result.id] = result.sn;
      } else {
        ++m_othersResults;
      }
    }
    if (Clock::now() >= end && m_ourCodes.count(id) == 0) return false;
  }
}

Step& Conversation::Act(Adaptor& adaptor, const std::string& name, const std::string& path,
                        const Post& post) {
  ReportFinished();
  Step& step = m_steps.emplace_back(name);
  if (g_interrupted) {
    step.reason = "interrupted";
    return step;
  }
  const std::string id = NewRequestId("check");
  m_ourIds.insert(id);
  m_lastId = id;
  const auto start = Clock::now();
  const std::size_t from = ExchangeCount();
  const bool accepted = post(adaptor, id);
  const auto failure = Adaptor::LastFailure();
  const SeenExchange seen = LastOn(path, from);
  m_reached = m_reached || seen.status != 0;
  step.came = Came(seen);
  step.mayHaveArrived =
      accepted || failure.failure == Failure::TimedOut || failure.failure == Failure::NoAnswer;
  if (!accepted) {
    step.verdict = Verdict::Deviates;
    step.reason = FailureText(failure) +
                  (failure.failure == Failure::Status ? AnswerStart(seen) : std::string());
    step.took = seen.elapsed;
    return step;
  }
  std::string code;
  if (!AwaitResult(adaptor, id, Milliseconds(m_settings.waitSeconds), true, code)) {
    step.took = Since(start);
    step.came = "accepted, no result";
    step.verdict = g_interrupted ? Verdict::NotTried : Verdict::Deviates;
    step.reason = g_interrupted
                      ? "interrupted"
                      : "no result came within the --wait (" +
                            std::to_string(static_cast<long>(m_settings.waitSeconds)) + " s)";
    return step;
  }
  step.took = Since(start);
  step.code = code;
  step.came = "result " + code;
  step.verdict = Verdict::Conforms;
  const auto otherSn = m_otherSn.find(id);
  if (otherSn != m_otherSn.end()) {
    step.verdict = Verdict::Deviates;
    step.reason = "its result came under the serial number " + otherSn->second + ", not " +
                  m_settings.sn + ": sync could not tell it was this request's";
  }
  return step;
}

void Conversation::NotTried(const std::vector<std::string>& names, const std::string& reason) {
  for (const std::string& name : names) {
    Step step{name};
    step.reason = reason;
    m_steps.push_back(step);
  }
}

void Conversation::ReportFinished() {
  for (; m_reported < m_steps.size(); ++m_reported) {
    if (m_onStep) m_onStep(m_steps[m_reported]);
  }
}

bool Conversation::CodesLearnt() const {
  const auto life = std::find_if(m_steps.begin(), m_steps.end(),
                                 [](const Step& step) { return step.name == "add"; });
  return life != m_steps.end() && !m_codes.done.empty() &&
         std::all_of(life, m_steps.end(),
                     [](const Step& step) { return step.verdict == Verdict::Conforms; });
}

void Conversation::LiveAndDie(Adaptor& adaptor) {
  const std::string& sn = m_settings.sn;
  const std::string& certnum = m_settings.certnum;
  const auto poster = [&sn](const char* action, ParamMap fields) -> Post {
    const std::string which = action;
    return [&sn, which, fields](Adaptor& a, const std::string& id) mutable {
      if (which == "add") return a.AddUser(id, sn, fields);
      if (which == "update") return a.SetUser(id, sn, fields);
      if (which == "photo") return a.SetBiophoto(id, sn, fields);
      return a.DelUser(id, sn, fields);
    };
  };
  const ParamMap person{{"certnum", certnum}, {"name", "facepadctl check"}, {"facepic", kPhoto}};
  Step& add = Act(adaptor, "add", "facepad/adduser", poster("add", person));
  m_addId = m_lastId;
  // A fresh certnum was held by no one: whatever the add did, deleting it
  // touches no one else. One given may be a real person's.
  m_added = add.mayHaveArrived && !m_settings.certnumGiven;
  const std::vector<std::string> rest = {
      "add again", "update", "photo", "delete", "delete again", "update of a person never added"};
  if (add.verdict != Verdict::Conforms) {
    return NotTried(rest, g_interrupted ? "interrupted" : "the add did not conform");
  }
  const std::string done = add.code;
  Step& again = Act(adaptor, "add again", "facepad/adduser", poster("add", person));
  if (again.verdict != Verdict::Conforms && m_settings.certnumGiven) {
    // Only the second add's code tells whether the first found the person
    // there: without one to compare, the person may be a real one's, and is
    // left alone.
    return NotTried({rest.begin() + 1, rest.end()},
                    g_interrupted ? "interrupted"
                                  : "the second add gave no code to compare: " + certnum +
                                        " may have been held before the check; nothing is "
                                        "deleted");
  }
  if (again.verdict == Verdict::Conforms && again.code == done) {
    again.verdict = Verdict::Deviates;
    if (m_settings.certnumGiven) {
      // The first add may have found the person there: not ours to delete.
      m_added = false;
      again.reason = "both adds answered " + done + ": either " + certnum +
                     " was held before the check, or the service answers an add of a held person "
                     "as a first one; nothing is deleted";
      return NotTried({rest.begin() + 1, rest.end()}, "the adds' codes could not be told apart");
    }
    again.reason = "both adds of a new person answered " + done +
                   ": the code for a person already held cannot be learnt (or every add fails)";
  } else if (again.verdict == Verdict::Conforms) {
    m_codes.held = again.code;
  }
  m_added = true;
  m_codes.done = done;
  // An update, a photo and a delete of the held person answer the done code.
  const auto expectDone = [&done](Step& step, const char* what) {
    if (step.verdict == Verdict::Conforms && step.code != done) {
      step.verdict = Verdict::Deviates;
      step.reason =
          std::string(what) + " of a held person answered " + step.code + ", the add " + done;
    }
  };
  expectDone(Act(adaptor, "update", "facepad/setuser",
                 poster("update", {{"certnum", certnum}, {"name", "facepadctl check, updated"}})),
             "an update");
  expectDone(
      Act(adaptor, "photo", "facepad/setfacepic",
          poster("photo", {{"certnum", certnum}, {"size", kPhotoBytes}, {"content", kPhoto}})),
      "a photo");
  Step& removed =
      Act(adaptor, "delete", "facepad/deluser", poster("delete", {{"certnum", certnum}}));
  expectDone(removed, "a delete");
  m_deleted = removed.verdict == Verdict::Conforms;
  const Step& gone =
      Act(adaptor, "delete again", "facepad/deluser", poster("delete", {{"certnum", certnum}}));
  if (gone.verdict == Verdict::Conforms && gone.code != done) m_codes.absent = gone.code;
  Step& never = Act(adaptor, "update of a person never added", "facepad/setuser",
                    poster("update", {{"certnum", NewRequestId("CHECK-")}, {"name", "no one"}}));
  if (never.verdict == Verdict::Conforms && never.code == done) {
    never.verdict = Verdict::Deviates;
    never.reason = "answered the done code " + done + " for a person the terminal never held";
  } else if (never.verdict == Verdict::Conforms) {
    m_codes.absentUpdate = never.code;
  }
}

void Conversation::CleanUp(Adaptor& adaptor) {
  if (!m_added || m_deleted) return;
  // Bounded by the time-out, whatever signal came. An add whose result has
  // not come may yet be carried out, after a delete sent now: it is awaited
  // first, and when it never comes the person may still be there.
  const auto bound = Milliseconds(std::min(m_globals.timeoutSeconds, m_settings.waitSeconds));
  std::string code;
  const bool addSettled = AwaitResult(adaptor, m_addId, bound, false, code);
  const std::string id = NewRequestId("check");
  m_ourIds.insert(id);
  ParamMap person{{"certnum", m_settings.certnum}};
  const bool deleted =
      adaptor.DelUser(id, m_settings.sn, person) && AwaitResult(adaptor, id, bound, false, code);
  if (!deleted || !addSettled) {
    Note("check: the test person " + m_settings.certnum + " may still be on " + m_settings.sn +
         ": delete it with facepadctl del-user --sn " + m_settings.sn + " --certnum " +
         m_settings.certnum);
  }
  m_deleted = deleted && addSettled;
}

}  // namespace Facepadctl
