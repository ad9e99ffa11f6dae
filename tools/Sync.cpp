// sync and import: terminals kept in line with a roster, and the ledger
// commands that inspect and mend what the ledger believes.
//
// sync reads the roster into the ledger's connection, then syncs each
// service's terminals over one adaptor per service, the services in
// parallel. import is sync without deletes.
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "Arguments.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "JsonLine.h"
#include "Output.h"
#include "Signals.h"
#include "SyncOutput.h"
#include "sync/Inventory.h"
#include "sync/Ledger.h"

namespace Facepadctl {
namespace {

struct SyncOptions {
  std::string rosterPath;  // "-": standard input
  std::vector<std::string> sns;
  std::string inventory;
  std::string ledgerPath;
  int maxDelete = 100;
  std::uint64_t maxPhoto = kDefaultMaxPhoto;
  SyncSettings settings;
};

// The path of --ledger, or the default one.
std::string LedgerPath(const std::string& given) {
  if (!given.empty()) return given;
  std::string path = Ledger::DefaultPath();
  if (path.empty()) {
    throw UsageError("give --ledger FILE: neither XDG_STATE_HOME nor HOME is set");
  }
  return path;
}

// The ledger of --ledger, or the default one, made when it is not there.
std::unique_ptr<Ledger> OpenLedger(const std::string& given,
                                   Ledger::Access access = Ledger::Access::Write) {
  return std::make_unique<Ledger>(LedgerPath(given), given.empty(), access);
}

void PrintLedgerSummary(const TerminalSummary& summary) {
  if (JsonOutput()) {
    JsonLine codes;
    for (const auto& [code, count] : summary.codes) {
      codes.Add(code.c_str(), static_cast<long long>(count));
    }
    JsonLine line;
    line.Add("command", "ledger")
        .Add("service", summary.service)
        .Add("sn", summary.sn)
        .Add("persons", static_cast<long long>(summary.persons))
        .Add("maybe_held", static_cast<long long>(summary.maybeHeld))
        .Add("in_flight", static_cast<long long>(summary.inFlight))
        .AddObject("results", codes.Take());
    PrintJson(line.Text());
    return;
  }
  std::string codes;
  for (const auto& [code, count] : summary.codes) {
    codes += (codes.empty() ? "" : ", ") + code + " x" + std::to_string(count);
  }
  PrintLine(summary.service + " " + summary.sn + ": " + std::to_string(summary.persons) +
            " persons, " + std::to_string(summary.maybeHeld) + " of them maybe held, " +
            std::to_string(summary.inFlight) + " requests in flight" +
            (codes.empty() ? "" : "; result codes seen: " + codes));
}

// "C-7: maybe held (add sync1a2b3c4d-5 given up on, 3 h ago)".
void PrintUnsettled(const Unsettled& person) {
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  if (JsonOutput()) {
    JsonLine line;
    line.Add("command", "ledger")
        .Add("service", person.service)
        .Add("sn", person.sn)
        .Add("certnum", person.certnum)
        .Add("state", person.maybeHeld ? "maybe-held" : "in-flight");
    if (!person.requestId.empty()) {
      line.Add("id", person.requestId)
          .Add("action", ActionName(person.action.value_or(Action::Add)))
          .Add("age_s", static_cast<long long>(now - person.sent));
    }
    PrintJson(line.Text());
    return;
  }
  std::string text = person.service + " " + person.sn + " certnum " + person.certnum + ": " +
                     (person.maybeHeld ? "maybe held" : "in flight");
  if (!person.requestId.empty()) {
    text += std::string(" (") + ActionName(person.action.value_or(Action::Add)) + " " +
            person.requestId + (person.maybeHeld ? " given up on, " : ", sent ") +
            std::to_string(now - person.sent) + " s ago)";
  }
  PrintLine(text);
}

// A code means one thing: done, already held or not held.
void RefuseCodesGivenTwice(const SyncSettings& settings) {
  const std::pair<const char*, const std::vector<std::string>*> options[] = {
      {"--done-code", &settings.doneCodes},
      {"--held-code", &settings.heldCodes},
      {"--absent-code", &settings.absentCodes}};
  for (std::size_t a = 0; a < std::size(options); ++a) {
    for (std::size_t b = a + 1; b < std::size(options); ++b) {
      for (const std::string& code : *options[a].second) {
        if (std::find(options[b].second->begin(), options[b].second->end(), code) !=
            options[b].second->end()) {
          throw UsageError("code " + code + " is given to both " + options[a].first + " and " +
                           options[b].first + ": a code means one thing");
        }
      }
    }
  }
}

std::vector<ServiceTerminals> Services(const Globals& globals, const SyncOptions& options,
                                       const CLI::App* parent) {
  if (options.inventory.empty()) {
    if (options.sns.empty()) throw UsageError("give --sn SN (repeatable) or --inventory FILE");
    std::vector<std::string> sns;
    for (const std::string& sn : options.sns) {
      if (std::find(sns.begin(), sns.end(), sn) != sns.end()) {
        throw UsageError("--sn " + sn + " is given twice");
      }
      sns.push_back(sn);
    }
    return {{globals.host, globals.port, sns}};
  }
  for (const char* option : {"--sn", "--host", "--port"}) {
    const CLI::Option* given = std::string(option) == "--sn" ? nullptr : parent->get_option(option);
    if ((given != nullptr && given->count() > 0) || (given == nullptr && !options.sns.empty())) {
      throw UsageError(std::string("--inventory names the terminals and their services; leave ") +
                       option + " out");
    }
  }
  return ReadInventory(options.inventory);
}

int RunSync(const Globals& globals, SyncOptions& options, const CLI::App* parent) {
  RefuseCodesGivenTwice(options.settings);
  SyncSettings& settings = options.settings;
  const std::vector<ServiceTerminals> services = Services(globals, options, parent);
  settings.prune.maxDelete = options.maxDelete;
  settings.maxPhoto = options.maxPhoto;
  InterruptOnSignals();

  const std::unique_ptr<Ledger> ledger = OpenLedger(options.ledgerPath);
  ledger->LockForWriting();
  Roster roster(
      *ledger, options.rosterPath, settings.maxPhoto, [] { return g_interrupted.load(); },
      [&settings](const BadRow& bad) {
        Outcome outcome{settings.command};
        outcome.line = bad.line;
        outcome.certnum = bad.certnum;
        outcome.status = Status::Bad;
        outcome.detail = bad.why;
        Emit(outcome);
      });
  if (roster.Interrupted()) {
    Note(settings.command + ": interrupted while reading the roster; nothing was sent");
    return InterruptedExitCode();
  }

  std::vector<std::unique_ptr<ServiceSync>> syncs;
  std::vector<const TerminalReport*> reports;
  for (const ServiceTerminals& service : services) {
    Globals serviceGlobals = globals;
    serviceGlobals.host = service.host;
    serviceGlobals.port = service.port;
    syncs.push_back(
        std::make_unique<ServiceSync>(*ledger, roster, serviceGlobals, service.sns, settings));
    for (const auto& report : syncs.back()->Reports()) reports.push_back(report.get());
  }
  {
    // Each service in a thread of its own; this one shows the progress.
    std::optional<SyncProgress> progress;
    if (!settings.planOnly) progress.emplace(reports);
    std::mutex mutex;
    std::condition_variable ended;
    std::size_t running = syncs.size();  // guarded by mutex
    std::vector<std::thread> threads;
    threads.reserve(syncs.size());
    for (auto& sync : syncs) {
      threads.emplace_back([&sync, &mutex, &ended, &running] {
        sync->Run();
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        ended.notify_one();
      });
    }
    {
      // The progress is shown every 100 ms; the run goes on as soon as its
      // last service has ended.
      std::unique_lock<std::mutex> lock(mutex);
      while (!ended.wait_for(lock, std::chrono::milliseconds(100), [&] { return running == 0; })) {
        lock.unlock();
        if (progress) progress->Show();
        lock.lock();
      }
    }
    for (std::thread& thread : threads) thread.join();
  }

  const SummaryContext context{settings.planOnly, roster.Bad(), settings.prune.maxDelete,
                               !settings.absentCodes.empty()};
  for (const TerminalReport* report : reports) {
    PrintTerminalSummary(settings.command, *report, context);
  }
  PrintRunSummary(settings.command, reports, roster, context);
  if (!settings.planOnly) PrintHints(settings, reports);
  if (g_interrupted) {
    Note(settings.command + ": interrupted; the ledger keeps what was sent and answered");
    return InterruptedExitCode();
  }
  return SyncExitCode(reports, context);
}

// The options sync and import share.
void DeclareRosterOptions(CLI::App* command, SyncOptions& options) {
  command->add_option("roster", options.rosterPath, "CSV file, one person per row (- reads stdin)")
      ->required();
  command->add_option("--sn", options.sns, "a terminal's serial number (repeatable)")
      ->check(Present());
  command->add_option("--ledger", options.ledgerPath,
                      "the ledger (default: $XDG_STATE_HOME/facepadctl/ledger.db)");
  command->add_option("--jobs", options.settings.jobs, "requests in parallel, per service")
      ->check(Whole(1, 64))
      ->capture_default_str();
  command
      ->add_option("--wait", options.settings.waitSeconds,
                   "seconds to wait for results (0: do not poll)")
      ->check(Seconds(true))
      ->capture_default_str();
  command
      ->add_option("--done-code", options.settings.doneCodes,
                   "the result code for done (repeatable; default 0)")
      ->check(Present());
  command
      ->add_option("--held-code", options.settings.heldCodes,
                   "the result code of an add for a person already held (repeatable)")
      ->check(Present());
  command
      ->add_option("--absent-code", options.settings.absentCodes,
                   "the result code for a person the terminal does not hold (repeatable)")
      ->check(Present());
  AddMaxPhoto(command, options.maxPhoto);
  command->add_flag("--plan", options.settings.planOnly,
                    "print what would be sent, send nothing (exit 0: nothing to do)");
}

}  // namespace

Subcommand AddSync(CLI::App& parent) {
  auto options = std::make_shared<SyncOptions>();
  CLI::App* command = parent.add_subcommand(
      "sync", "make terminals hold exactly the persons of a roster, sending only what changed");
  DeclareRosterOptions(command, *options);
  command->add_option("--inventory", options->inventory,
                      "a CSV of host,port,sn rows: terminals behind several services");
  command->add_flag("--prune", options->settings.prune.prune,
                    "delete persons the roster no longer names");
  command
      ->add_option("--max-delete", options->maxDelete,
                   "delete at most this many from one terminal, or none")
      ->check(Whole(0, 1000000000))
      ->capture_default_str();
  return {command, [options, command, &parent](const Globals& globals) {
            options->settings.prune.maxDeleteGiven =
                command->get_option("--max-delete")->count() > 0;
            if (options->settings.prune.maxDeleteGiven && !options->settings.prune.prune) {
              throw UsageError("--max-delete bounds --prune: give --prune too");
            }
            return RunSync(globals, *options, &parent);
          }};
}

Subcommand AddImport(CLI::App& parent) {
  auto options = std::make_shared<SyncOptions>();
  options->settings.command = "import";
  CLI::App* command = parent.add_subcommand(
      "import", "add and update the persons of a roster: sync without deletes");
  DeclareRosterOptions(command, *options);
  // Options import once had, hidden: given, with a value or without, they
  // are refused with a word on what replaced them.
  std::vector<std::pair<std::string, const CLI::Option*>> gone;
  for (const char* name : {"--resume", "--failures"}) {
    gone.emplace_back(name, command->add_option(name)->expected(0, 1)->group(""));
  }
  gone.emplace_back("--resend-accepted", command->add_flag("--resend-accepted")->group(""));
  return {command, [options, &parent, gone](const Globals& globals) {
            for (const auto& [name, old] : gone) {
              if (old->count() == 0) continue;
              throw UsageError(name +
                               " is gone: the ledger remembers what each terminal was sent, so "
                               "run the same import again to send what is left");
            }
            return RunSync(globals, *options, &parent);
          }};
}

Subcommand AddLedger(CLI::App& parent) {
  struct Options {
    std::string ledgerPath, sn;
  };
  auto options = std::make_shared<Options>();
  CLI::App* command =
      parent.add_subcommand("ledger", "show what the ledger believes, or forget a terminal");
  command->require_subcommand(1);
  command->add_option("--ledger", options->ledgerPath, "the ledger (default: the sync's)");
  CLI::App* show = command->add_subcommand("show", "list services, terminals, counts and codes");
  show->add_option("--sn", options->sn, "only this terminal");
  CLI::App* forget = command->add_subcommand(
      "forget", "forget a terminal, so that the next sync (with --held-code) rebuilds it");
  forget->add_option("--sn", options->sn, "the terminal")->required()->check(Present());
  return {command, [options, forget](const Globals& /*globals*/) {
            const std::string path = LedgerPath(options->ledgerPath);
            if (!Ledger::Exists(path)) {
              Note("there is no ledger at " + path + ": no sync has used it yet");
              return kFailed;
            }
            // show writes nothing and takes no lock: it works beside a run,
            // and on a file or mount it may not write.
            const std::unique_ptr<Ledger> ledger =
                OpenLedger(options->ledgerPath,
                           forget->parsed() ? Ledger::Access::Write : Ledger::Access::ReadOnly);
            if (forget->parsed()) {
              ledger->LockForWriting();
              const std::vector<std::string> services = ledger->Forget(options->sn);
              if (services.empty()) {
                Note("the ledger " + ledger->Path() + " knows no terminal " + options->sn);
                return kFailed;
              }
              for (const std::string& service : services) {
                PrintLine("forgot " + options->sn + " of " + service);
              }
              return kSucceeded;
            }
            const std::vector<TerminalSummary> summaries = ledger->Summaries(options->sn);
            if (summaries.empty()) Note("the ledger " + ledger->Path() + " knows no terminal");
            for (const TerminalSummary& summary : summaries) PrintLedgerSummary(summary);
            // For one terminal, also whom the ledger is unsure of.
            if (!options->sn.empty()) {
              for (const Unsettled& person : ledger->UnsettledOf(options->sn)) {
                PrintUnsettled(person);
              }
            }
            return kSucceeded;
          }};
}

}  // namespace Facepadctl
