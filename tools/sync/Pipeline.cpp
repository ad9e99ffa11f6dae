// The sending side of a sync: a producer turns the plan into jobs, commits
// their requests to the ledger and queues them; senders post them.
#include <algorithm>

#include "Arguments.h"
#include "Base64.h"
#include "ServiceSync.h"
#include "Signals.h"

namespace Facepadctl {
namespace {

using Clock = std::chrono::steady_clock;
using Failure = ZR_Framework::Face::TerminalFace_ZR::Failure;

// Steps read from a terminal's plan at a time.
constexpr int kStepsPerBatch = 64;
// Batches are committed to the ledger together, this many requests in one
// transaction, before any of them is posted: a round of a few terminals'
// batches commits once.
constexpr std::size_t kRequestsPerCommit = std::size_t{4} * kStepsPerBatch;
// Sending holds back while this many requests await their results, so
// that neither the requests kept nor the service's answers to polls grow
// with the roster.
constexpr std::int64_t kMostAwaiting = 4000;
// A post whose connection the service refuses or closes unanswered is
// tried again after a back-off that doubles from the first to the last: a
// busy service is sent to at the pace it allows.
constexpr auto kFirstBackOff = std::chrono::milliseconds(20);
constexpr auto kLastBackOff = std::chrono::milliseconds(1000);
// A post the service turns away this often is not tried again in this run,
// whatever it does with others (it may close this one for its size).
constexpr int kMostTries = 30;
// The service is gone, not busy, once it has answered nothing for this
// long while no other post is under way that it may still answer.
constexpr auto kGoneAfter = std::chrono::seconds(3);
// After this many posts in a row time out, the run stops sending: each may
// have been carried out, and its result is awaited.
constexpr int kTimedOutInARow = 10;

// A connection refused, or closed before an answer: a busy service does so.
bool Busy(const FailureReason& reason) {
  return reason.failure == Failure::NotReached || reason.failure == Failure::NoAnswer;
}

}  // namespace

ServiceSync::ReadyPhoto ServiceSync::ReadyPhotoOf(const std::string& path) const {
  ReadyPhoto photo;
  try {
    // The digest recorded is of the bytes sent, whatever the file held
    // when the roster was read.
    const PhotoFile file = ReadPhotoFile(path, m_settings.maxPhoto);
    photo.digest = BytesDigest(file.bytes);
    photo.size = file.bytes.size();
    photo.text = Base64Encode(file.bytes);
  } catch (const InputError& error) {
    photo.error = std::string("photo: ") + error.what();
  }
  return photo;
}

ServiceSync::Job ServiceSync::MakeJob(TerminalReport* report, Action action,
                                      const std::string& certnum, int line, bool maybeHeld,
                                      ReadyLines* lines) {
  Job job;
  job.report = report;
  job.line = line;
  job.maybeHeld = maybeHeld;
  job.order = m_nextId++;
  Request& request = job.request;
  request.id = m_idPrefix + std::to_string(job.order);
  request.terminal = report->terminal;
  request.certnum = certnum;
  request.action = action;
  if (action == Action::Delete) {
    job.fields = {{"certnum", certnum}};
    return job;
  }
  ReadyLines own;
  ReadyLines& ready = lines != nullptr ? *lines : own;
  auto found = ready.find(line);
  if (found == ready.end()) found = ready.emplace(line, ReadyLine{m_roster.Row(line), {}}).first;
  const RosterPerson& row = found->second.row;
  job.photo = !row.photoPath.empty();
  if (action == Action::Add || action == Action::Update) request.fields = row.fields;
  job.fields = row.person;
  if (action == Action::Update || !job.photo) return job;
  std::optional<ReadyPhoto>& photo = found->second.photo;
  if (!photo) photo = ReadyPhotoOf(row.photoPath);
  if (!photo->error.empty()) {
    job.bad = photo->error;
    return job;
  }
  request.photo = photo->digest;
  if (action == Action::Photo) {
    job.fields = {
        {"certnum", certnum}, {"size", std::to_string(photo->size)}, {"content", photo->text}};
  } else {
    job.fields["facepic"] = photo->text;
  }
  return job;
}

void ServiceSync::Record(const std::vector<Job>& jobs) {
  std::vector<Request> requests;
  requests.reserve(jobs.size());
  for (const Job& job : jobs) {
    if (job.bad.empty()) requests.push_back(job.request);
  }
  m_ledger.Record(requests);
}

void ServiceSync::Queue(std::vector<Job> jobs, bool atFront) {
  for (Job& job : jobs) {
    if (!job.bad.empty()) {
      ++job.report->bad;
      ++job.report->finished;
      Say(job.report->sn, job.request, job.line, Status::Bad, {}, job.bad);
      continue;
    }
    // Kept without its fields, which only its sender needs: a photo is
    // not held twice while its result is awaited.
    ZR_Framework::Face::ParamMap fields = std::move(job.fields);
    m_pending.emplace(job.request.id, Pending{job, false, false});
    job.fields = std::move(fields);
    if (atFront) {
      m_queue.push_front(std::move(job));
    } else {
      m_queue.push_back(std::move(job));
    }
  }
  m_jobReady.notify_all();
}

bool ServiceSync::Stopping() const {
  return g_interrupted || m_stopSending || m_over;
}

std::size_t ServiceSync::QueueLimit() const {
  return 2 * static_cast<std::size_t>(m_settings.jobs) + kStepsPerBatch;
}

void ServiceSync::Produce() {
  try {
    ProduceRounds();
  } catch (const std::exception& error) {
    Note(m_service + ": " + error.what());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopSending = m_stopWaiting = true;  // nothing more can be recorded
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_producerDone = true;
}

void ServiceSync::ProduceRounds() {
  const auto patience = Milliseconds(m_settings.waitSeconds);
  // Where each terminal's plan has been read up to; a terminal whose plan
  // is all queued leaves the rounds.
  std::vector<std::pair<TerminalReport*, std::int64_t>> cursors;
  for (auto& report : m_reports) cursors.emplace_back(report.get(), 0);
  // Jobs made and not yet committed.
  std::vector<Job> jobs;
  const auto commitAndQueue = [&] {
    // Committed with the queue's lock let go, so that senders post
    // meanwhile; queued even if sending stopped since: Finish() drops
    // from the ledger what was not sent.
    Record(jobs);
    std::lock_guard<std::mutex> lock(m_mutex);
    Queue(std::move(jobs), false);
    jobs.clear();
  };
  // In rounds, a batch of each terminal's plan in turn: the terminals'
  // batches of a first sync hold the same roster lines, whose photos are
  // then read and encoded once for all of them, as their rows are read.
  while (!cursors.empty()) {
    ReadyLines lines;
    for (auto cursor = cursors.begin(); cursor != cursors.end();) {
      auto& [report, after] = *cursor;
      const std::vector<PlannedStep> steps = m_plan.Steps(report->terminal, after, kStepsPerBatch);
      if (steps.empty()) {
        cursor = cursors.erase(cursor);
        continue;
      }
      ++cursor;
      {
        // Results another client takes never come: once none has come for
        // the wait, holding back ends for the rest of the run, rather than
        // letting one batch through per wait.
        std::unique_lock<std::mutex> lock(m_mutex);
        m_roomFreed.wait(lock, [&] {
          if (m_holdingBack && Clock::now() - m_lastResult >= patience) m_holdingBack = false;
          return Stopping() ||
                 (m_queue.size() < QueueLimit() && (m_awaiting < kMostAwaiting || !m_holdingBack));
        });
        if (Stopping()) return;
      }
      // Photos are read and encoded here, so that senders only post.
      for (const PlannedStep& step : steps) {
        jobs.push_back(
            MakeJob(report, step.action, step.certnum, step.line, step.maybeHeld, &lines));
        after = step.seq;
      }
      bool sendersIdle = false;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (Stopping()) return;
        sendersIdle = m_queue.size() < static_cast<std::size_t>(m_settings.jobs);
      }
      // Committed sooner when the senders would otherwise wait, as at the start.
      if (jobs.size() >= kRequestsPerCommit || sendersIdle) commitAndQueue();
    }
    if (!jobs.empty()) commitAndQueue();
  }
}

void ServiceSync::SendJobs(Adaptor& adaptor) {
  // This sender's pause after the service turned it away: its job went back
  // to the queue, for a sender whose connection the service serves.
  auto backOff = kFirstBackOff;
  for (;;) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_jobReady.wait(lock, [&] { return !m_queue.empty() || Stopping(); });
    if (Stopping()) return;
    Job job = std::move(m_queue.front());
    m_queue.pop_front();
    ++m_posting;
    // The producer is woken only once there is room for a batch.
    if (m_queue.size() < QueueLimit()) m_roomFreed.notify_one();
    lock.unlock();
    if (Post(adaptor, job)) {
      backOff = kFirstBackOff;
      continue;
    }
    lock.lock();
    m_jobReady.wait_for(lock, backOff, [this] { return Stopping(); });
    backOff = std::min(2 * backOff, kLastBackOff);
  }
}

bool ServiceSync::PostOnce(Adaptor& adaptor, Job& job) {
  const Request& request = job.request;
  const std::string& sn = job.report->sn;
  switch (request.action) {
    case Action::Add:
      return adaptor.AddUser(request.id, sn, job.fields);
    case Action::Update:
      return adaptor.SetUser(request.id, sn, job.fields);
    case Action::Photo:
      return adaptor.SetBiophoto(request.id, sn, job.fields);
    case Action::Delete:
      return adaptor.DelUser(request.id, sn, job.fields);
  }
  return false;
}

bool ServiceSync::Post(Adaptor& adaptor, Job& job) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_inTransit;
  }
  const bool accepted = PostOnce(adaptor, job);
  const FailureReason failure = Adaptor::LastFailure();
  std::unique_lock<std::mutex> lock(m_mutex);
  --m_inTransit;
  if (accepted || failure.failure == Failure::Status) m_lastAnswer = Clock::now();
  if (accepted || !Busy(failure) || ++job.tries == kMostTries) {
    if (Settle(job, accepted, failure)) {
      lock.unlock();
      Drop(job.request.id);
    }
    return true;
  }
  job.closedUnanswered = job.closedUnanswered || failure.failure == Failure::NoAnswer;
  ++job.report->busy;
  if (!m_stopWaiting && m_inTransit == 0 && Clock::now() - m_lastAnswer >= kGoneAfter) {
    m_stopSending = m_stopWaiting = true;
    Note(m_settings.command + ": stopped sending to " + m_service +
         ": the service could not be reached (no answer for " +
         std::to_string(std::chrono::seconds(kGoneAfter).count()) + " s)");
  }
  --m_posting;
  m_queue.push_front(std::move(job));
  m_jobReady.notify_all();
  return false;
}

void ServiceSync::Drop(const std::string& id) {
  try {
    m_ledger.Drop({id});
  } catch (const std::exception& error) {
    // Left in flight, its person is counted maybe held by the next run.
    Note(m_service + ": " + error.what());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopSending = m_stopWaiting = true;  // nothing more can be recorded
  }
}

bool ServiceSync::OfThisRun(const std::string& id) const {
  return id.compare(0, m_idPrefix.size(), m_idPrefix) == 0;
}

bool ServiceSync::Settle(Job& job, bool accepted, const FailureReason& failure) {
  const Request& request = job.request;
  const std::string& sn = job.report->sn;
  // A request that timed out, or whose connection broke, may have reached
  // the service: it stays in flight, and its result is awaited.
  const bool mayHaveArrived =
      !accepted && (failure.failure == Failure::TimedOut || failure.failure == Failure::NoAnswer ||
                    job.closedUnanswered);
  --m_posting;
  m_timedOutInARow = failure.failure == Failure::TimedOut ? m_timedOutInARow + 1 : 0;
  Pending& pending = m_pending.at(request.id);
  if (accepted || mayHaveArrived) {
    m_lastHeard = Clock::now();
    pending.posted = true;
    if (pending.answered) {
      m_pending.erase(request.id);
    } else {
      ++m_awaiting;
    }
    if (!mayHaveArrived) return false;
  } else if (pending.answered) {  // the answer came although the post seemed to fail
    m_pending.erase(request.id);
    return false;
  }
  // Sent again, it would be refused again: only a smaller photo helps.
  const bool tooLarge = failure.failure == Failure::Status && failure.status == 413;
  if (mayHaveArrived) {
    Say(sn, request, job.line, Status::Failed, {},
        FailureText(failure) + "; the service may still carry it out, so its result is awaited");
  } else {
    ++(tooLarge ? job.report->tooLarge : job.report->left);
    ++job.report->finished;
    Say(sn, request, job.line, FailureClass(failure), {}, FailureText(failure));
  }
  if (m_timedOutInARow >= kTimedOutInARow && !m_stopSending) {
    m_stopSending = true;
    Note(m_settings.command + ": stopped sending to " + m_service + ": " +
         std::to_string(kTimedOutInARow) +
         " requests in a row timed out (--timeout); the service may still carry them out, so "
         "their results are awaited");
  }
  if (mayHaveArrived) return false;
  // Its answer, should one come, is not matched: a request of this run
  // that is not pending is never taken for an earlier run's.
  m_pending.erase(request.id);
  return true;
}

}  // namespace Facepadctl
