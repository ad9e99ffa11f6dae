// One service's part of a sync: its terminals, over one adaptor.
//
// First the answers to earlier runs' requests in flight are collected, so
// that what to send is decided on what is known; requests whose answers
// never come leave their persons maybe held (Recovery.cpp). Then the
// terminals' plans stream, a batch of each in turn, through a bounded
// queue: a producer commits each request's id to the ledger before it is
// posted, `jobs` senders post them (Pipeline.cpp), and the calling thread
// matches the results the poller brings, settling them in the ledger as
// they arrive (Settlement.cpp). A code that says the terminal already holds
// a person (or does not) brings a follow-up in the same run. The ledger is
// written, and follow-ups are made, outside the queue's lock: senders never
// wait for either. At the end, and on an interrupt, the poll in flight is
// let end so that no result it takes is lost.
#ifndef FACEPADCTL_SERVICE_SYNC_H
#define FACEPADCTL_SERVICE_SYNC_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "Adaptor.h"
#include "Globals.h"
#include "Ledger.h"
#include "Output.h"
#include "Plan.h"
#include "Roster.h"

namespace Facepadctl {

// What every service of a run shares.
struct SyncSettings {
  std::string command = "sync";  // "import": the same without deletes
  PruneRules prune;
  std::vector<std::string> doneCodes{"0"};  // the service's codes for done
  std::vector<std::string> heldCodes;       // an add's answer: the terminal holds the person
  std::vector<std::string> absentCodes;     // an update's, photo's or delete's: it does not
  int jobs = 4;
  double waitSeconds = 30;
  std::uint64_t maxPhoto = 0;
  bool planOnly = false;
};

// One terminal's course through a run. The atomics are read by the
// progress line on another thread; the rest once the run is over.
struct TerminalReport {
  std::string service;
  std::string sn;
  std::int64_t terminal = 0;
  PlanCounts plan;
  std::atomic<std::int64_t> steps{0};     // planned, follow-ups included
  std::atomic<std::int64_t> finished{0};  // steps with a final outcome
  std::atomic<std::int64_t> done{0};
  std::int64_t held = 0;        // adds answered "already held", then brought in line
  std::int64_t absent = 0;      // updates and photos answered "not held", then added
  std::int64_t left = 0;        // steps that the same command may settle when run again
  std::int64_t bad = 0;         // steps a photo that turned bad kept from being sent
  std::int64_t tooLarge = 0;    // requests the service refused as too large (413)
  std::int64_t notSent = 0;     // steps not sent: the run stopped
  std::int64_t busy = 0;        // posts tried again: the service refused or closed the connection
  std::int64_t unanswered = 0;  // requests still in flight when the run ended
  std::int64_t lost = 0;        // earlier requests whose answers never came
  bool planned = false;         // the run got as far as planning
  // What the ledger holds once the run is over: what a plan made then would
  // hold. Exit 0 stands for this being in line on every terminal.
  PlanCounts after;
  std::map<std::string, std::int64_t> codes;  // codes other than 0 that leave a step to do
  // Codes no option explains, by the action they answered: a hint names
  // --held-code or --absent-code for them.
  std::set<std::string> addCodes, otherCodes;
  std::string unavailable;  // why the service could not be used
};

class ServiceSync {
 public:
  ServiceSync(Ledger& ledger, Roster& roster, const Globals& service,
              const std::vector<std::string>& sns, const SyncSettings& settings);
  ~ServiceSync();
  ServiceSync(const ServiceSync&) = delete;
  ServiceSync& operator=(const ServiceSync&) = delete;

  // Syncs (or, with planOnly, prints the plan); never throws.
  void Run();

  std::vector<std::unique_ptr<TerminalReport>>& Reports() { return m_reports; }
  // "host:port", the service's key in the ledger.
  const std::string& Service() const { return m_service; }

 private:
  struct Job {
    Request request;
    TerminalReport* report = nullptr;
    std::int64_t order = 0;               // made before every job with a higher one
    int line = 0;                         // the roster line; 0 for a delete
    bool photo = false;                   // the roster gives the person a photo
    bool maybeHeld = false;               // the person was maybe held when planned
    ZR_Framework::Face::ParamMap fields;  // what is posted
    std::string bad;                      // why it cannot be posted
    int tries = 0;                        // posts the service turned away
    bool closedUnanswered = false;        // one was closed unanswered: it may have arrived
  };
  // A follow-up a result asks for, made into a job once the queue's lock is
  // let go.
  struct FollowUp {
    TerminalReport* report = nullptr;
    Action action = Action::Add;
    int line = 0;
    std::string certnum;
  };
  // A line about a request, printed once m_mutex is let go.
  struct Told {
    Request request;
    std::string result;
    std::string detail;
    const TerminalReport* report = nullptr;
    int line = 0;
    Status status = Status::Result;
  };
  // A roster photo read, digested and encoded, or why it could not be.
  struct ReadyPhoto {
    Digest digest = 0;
    std::size_t size = 0;
    std::string text;  // Base64
    std::string error;
  };
  // A roster row read for a round's jobs, and its photo once a job needs it.
  struct ReadyLine {
    RosterPerson row;
    std::optional<ReadyPhoto> photo;
  };
  using ReadyLines = std::unordered_map<int, ReadyLine>;  // by roster line
  // A request of this run between its commit and its answer.
  struct Pending {
    Job job;
    bool posted = false;    // the post returned true
    bool answered = false;  // its result came
  };

  void RunSync();
  void PrintPlan();
  bool Probe(Adaptor& adaptor);
  // Sends the plans and settles their results, until all are answered, the
  // wait ends, the service goes or a signal comes.
  void Send(Adaptor& adaptor);
  // Settles the results as they come, until sending and waiting are over.
  void Await(Adaptor& adaptor);
  // Lets the poll in flight end, within the time-out, and settles what it
  // brought; then counts what was left unsent or unanswered.
  void Finish(std::unique_ptr<Adaptor> adaptor);
  void Recover(Adaptor& adaptor);
  std::vector<Request> InFlightToOurTerminals();
  // Records that the results of `requests` never came: their persons are
  // maybe held. One line per terminal.
  void GiveUp(const std::vector<Request>& requests);
  void Produce();
  // Reads the plans and queues their jobs until all are queued or sending
  // stops; throws when the ledger fails.
  void ProduceRounds();
  std::size_t QueueLimit() const;  // the producer waits while the queue holds this many
  void SendJobs(Adaptor& adaptor);
  // Posts a job; false when the service turned it away (refused or closed
  // the connection), and the job went back to the front of the queue.
  bool Post(Adaptor& adaptor, Job& job);
  static bool PostOnce(Adaptor& adaptor, Job& job);
  // Records how a job's post ended. With m_mutex held; true when the
  // request is to be dropped from the ledger, which the caller does once it
  // has let the mutex go.
  bool Settle(Job& job, bool accepted, const FailureReason& failure);
  // Drops a request from the ledger; a failure stops the run. Without m_mutex.
  void Drop(const std::string& id);
  // Settles the results that belong to this run's requests or, with
  // `lateOnly`, to earlier runs'; returns how many it settled. Called from
  // one thread only, so that the ledger takes the settlements in the order
  // they are decided.
  std::size_t Match(const std::vector<Result>& results, bool lateOnly);
  // What the results of earlier runs' requests say, each told.
  void MatchEarlier(const std::vector<const Result*>& results, std::vector<Settlement>& settlements,
                    std::vector<Settlement>& givenUp);
  // Decides what a result says of its request, which follow-ups it asks
  // for and what is told of it. With m_mutex held.
  Settlement Decide(const Job& job, const std::string& code, std::vector<FollowUp>& followUps,
                    std::vector<Told>& told);
  // A job with its request's fields ready, the photo read and encoded. The
  // row and photo are taken from `lines`, or kept there for the next job of
  // that line.
  Job MakeJob(TerminalReport* report, Action action, const std::string& certnum, int line,
              bool maybeHeld, ReadyLines* lines = nullptr);
  ReadyPhoto ReadyPhotoOf(const std::string& path) const;
  void Say(const std::string& sn, const Request& request, int line, Status status,
           const std::string& result = {}, const std::string& detail = {}) const;
  // Commits the jobs' requests to the ledger, before any is posted.
  // Without m_mutex: the ledger has a lock of its own, and senders go on
  // posting meanwhile.
  void Record(const std::vector<Job>& jobs);
  // Queues jobs whose requests are recorded, and tells of those that cannot
  // be posted. With m_mutex held. Jobs queued once sending has stopped stay
  // unsent: Finish() drops them from the ledger.
  void Queue(std::vector<Job> jobs, bool atFront);
  // Whether `id` is a request of this run.
  bool OfThisRun(const std::string& id) const;
  bool Stopping() const;  // with m_mutex held
  TerminalReport* ReportFor(std::int64_t terminal);
  std::string SnOf(std::int64_t terminal);

  Ledger& m_ledger;
  Roster& m_roster;
  Plan m_plan;
  const Globals m_globals;
  const SyncSettings& m_settings;
  const std::string m_service;
  const std::string m_idPrefix;
  std::vector<std::unique_ptr<TerminalReport>> m_reports;

  std::atomic<std::int64_t> m_nextId{1};
  std::mutex m_mutex;                   // guards everything below; never held over the ledger
  std::condition_variable m_jobReady;   // senders wait for a job
  std::condition_variable m_roomFreed;  // the producer waits for room
  std::deque<Job> m_queue;
  std::unordered_map<std::string, Pending> m_pending;  // by request id
  std::set<std::tuple<std::int64_t, std::string, Action>> m_followedUp;
  int m_posting = 0;
  std::int64_t m_awaiting = 0;
  bool m_producerDone = false;
  bool m_over = false;
  bool m_stopSending = false;  // every post times out, or as below
  bool m_stopWaiting = false;  // the service is gone, or the ledger failed
  int m_inTransit = 0;         // posts under way in the adaptor
  int m_timedOutInARow = 0;
  std::chrono::steady_clock::time_point m_lastAnswer;  // any answer to a post
  std::chrono::steady_clock::time_point m_lastHeard;   // a result, or a request accepted
  std::chrono::steady_clock::time_point m_lastResult;  // a result
  bool m_holdingBack = true;   // until no result comes for the wait: then for good
  bool m_toldOtherSn = false;  // a result under another serial number was told of
};

}  // namespace Facepadctl

#endif  // FACEPADCTL_SERVICE_SYNC_H
