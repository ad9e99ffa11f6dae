// facepadctl sync and import run as programs against simulators: whole runs
// as an operator makes them, crashes and hostile inputs included.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <thread>

#include "Subprocess.h"
#include "TestAdaptor.h"

using namespace std::chrono_literals;
using FacepadSim::Fault;

namespace {
const std::string kPhoto = ZR_SOURCE_DIR "/demo/photos/ann.png";

// A roster of `count` persons named C-1, C-2, ..., each with `photo`.
std::string Persons(int count, const std::string& photo = kPhoto) {
  std::string csv = "certnum,name,photo\n";
  for (int i = 1; i <= count; ++i) csv += "C-" + std::to_string(i) + ",P," + photo + "\n";
  return csv;
}
}  // namespace

class FacepadctlSync : public ::testing::Test {
 protected:
  // facepadctl against `simulator`, with the ledger ledger.db.
  Finished Ctl(std::vector<std::string> arguments, double interruptAfter = 0,
               const char* signal = "INT") const {
    arguments.insert(arguments.begin(), {"--port", std::to_string(simulator.Port())});
    arguments.insert(arguments.end(), {"--ledger", dir / "ledger.db"});
    return RunToEnd(FACEPADCTL_PATH, arguments, interruptAfter, signal);
  }
  // The same, as a shell runs it: `bash -c` with `before`, the command, `after`.
  Finished Shell(const std::string& before, const std::string& arguments,
                 const std::string& after) const {
    return RunToEnd("/bin/bash",
                    {"-c", before + FACEPADCTL_PATH " --port " + std::to_string(simulator.Port()) +
                               " " + arguments + " --ledger " + dir / "ledger.db" + after});
  }
  std::string Roster(const std::string& text) const {
    WriteFile(dir / "roster.csv", text);
    return dir / "roster.csv";
  }

  FacepadSim::FacepadSimulator simulator;
  TemporaryFolder dir;
};

TEST_F(FacepadctlSync, SendsOnlyTheDifferenceAndPlansWithoutSending) {
  const std::string roster = Roster(Persons(3) + "X,Xi,\n");
  Finished plan = Ctl({"sync", roster, "--sn", "T1", "--plan"});
  EXPECT_EQ(plan.exitCode, 1) << "something to do";
  EXPECT_TRUE(Has(plan.out, "4 to add")) << plan.out;
  EXPECT_TRUE(simulator.RequestsBesidesPolls().empty()) << "--plan sends nothing";

  const Finished sent = Ctl({"sync", roster, "--sn", "T1", "--sn", "T2"});
  EXPECT_EQ(sent.exitCode, 0);
  EXPECT_TRUE(Has(sent.out, "in line with the roster, as this ledger knows T2")) << sent.out;
  for (const char* sn : {"T1", "T2"}) EXPECT_EQ(simulator.Model().PersonCount(sn), 4U) << sn;
  EXPECT_EQ(Ctl({"sync", roster, "--sn", "T1", "--plan"}).exitCode, 0);

  // One changed, one dropped: an update, and a delete only with --prune.
  // import, sync without deletes, updates T2 and keeps X there.
  Roster(Persons(2) + "C-3,Renamed," + kPhoto + "\n");
  simulator.ClearJournal();
  const Finished imported = Ctl({"import", roster, "--sn", "T2"});
  EXPECT_EQ(imported.exitCode, 0) << "a person held off the roster does not block import";
  EXPECT_TRUE(Has(imported.out, "1 held but not on the roster (sync --prune")) << imported.out;
  Finished changed = Ctl({"--json", "sync", roster, "--sn", "T1", "--prune"});
  EXPECT_EQ(changed.exitCode, 0) << changed.out << changed.err;
  EXPECT_EQ(simulator.Requests("facepad/setuser").size(), 2U) << "C-3 by import, then by sync";
  EXPECT_EQ(simulator.Requests("facepad/deluser").size(), 1U)
      << "T1's X alone: import deletes no one, and a terminal not named is not touched";
  EXPECT_EQ(simulator.Requests("facepad/adduser").size(), 0U);
  EXPECT_FALSE(simulator.Model().FindPerson("T1", "X").has_value());
  EXPECT_TRUE(simulator.Model().FindPerson("T2", "X").has_value());

  // A result under another serial number is not taken, and the run says why.
  simulator.AddFault(Fault::Answer(200, "ok").On("facepad/adduser").Times(1));
  std::thread lowercase([&] {
    while (simulator.Requests("facepad/adduser").empty()) std::this_thread::sleep_for(5ms);
    const std::string body = simulator.Requests("facepad/adduser")[0].body;
    const std::size_t id = body.find("\tid=") + 4;
    simulator.Model().QueueResult("t3", body.substr(id, body.find('\t', id) - id), "0");
  });
  const Finished renamed = Ctl({"sync", roster, "--sn", "T3", "--wait", "1"});
  lowercase.join();
  EXPECT_EQ(renamed.exitCode, 1);
  EXPECT_TRUE(Has(renamed.err, "came under the serial number t3, not T3")) << renamed.err;

  // A roster with no valid row never prunes, and says a person must look.
  Roster("certnum,name\n");
  const Finished empty = Ctl({"sync", roster, "--sn", "T1", "--prune"});
  EXPECT_EQ(empty.exitCode, 3) << empty.out;
  EXPECT_EQ(simulator.Model().PersonCount("T1"), 3U);
}

// A poll answered to a run that kill -9 ended loses its results: the
// persons they were for may be held, and are never forgotten: a pruning
// plan names those the roster dropped as maybe held, to delete. (That the
// delete of a person maybe held is sent and settles them:
// SyncAnswers.APersonMaybeHeldIsSettledByTheCodesGiven, and the campaign.)
TEST_F(FacepadctlSync, PersonsWhoseResultsWereLostAreMaybeHeld) {
  simulator.AddFault(Fault::Delayed(3s).On("facepad/getresult").Times(1));
  const std::string all = Roster(Persons(100, ""));
  EXPECT_EQ(Ctl({"sync", all, "--sn", "T1", "--held-code", "101"}, 1.5, "KILL").exitCode, 137);
  ASSERT_TRUE(WaitFor([&] { return simulator.Requests("facepad/getresult")[0].status != 0; }));
  const std::string half = Roster(Persons(50, ""));
  EXPECT_EQ(Ctl({"sync", half, "--sn", "T1", "--prune", "--plan"}).exitCode, 1) << "awaiting";
  // The guard, above --max-delete, holds the deletes back and says so: the
  // persons dropped stay maybe held.
  const Finished guarded =
      Ctl({"sync", half, "--sn", "T1", "--prune", "--max-delete", "10", "--held-code", "101"});
  EXPECT_EQ(guarded.exitCode, 3) << guarded.out << guarded.err;
  EXPECT_TRUE(Has(guarded.out, "--max-delete")) << guarded.out;
  EXPECT_FALSE(Has(guarded.out, "nothing to send")) << guarded.out;
  EXPECT_TRUE(Has(guarded.out, "0 in line, 1 waiting for a person")) << guarded.out;
  EXPECT_EQ(Count(guarded.err, "no result came for 100 requests"), 1) << guarded.err;
  // Running again cannot lift the guard, with the codes that settle them or
  // without sending: still a person's to act on.
  for (const char* more : {"--absent-code=102", "--plan"}) {
    const Finished again = Ctl({"sync", half, "--sn=T1", "--prune", "--max-delete=10", more});
    EXPECT_EQ(again.exitCode, 3) << more;
  }
  const Finished plan = Ctl({"sync", half, "--sn", "T1", "--prune", "--plan"});
  EXPECT_EQ(plan.exitCode, 1);
  EXPECT_EQ(Count(plan.out, "maybe held, to delete"), 50) << plan.out;
}

// An interrupt stops sending and lets the poll in flight end, so no result
// is lost (the same signal sent twice at once is one); however short the
// wait, recovery polls. A request that timed out may have reached the
// service: it stays in flight, awaiting its result, and the next run collects
// it instead of sending it again.
TEST_F(FacepadctlSync, AnInterruptATimeOutOrAShortWaitLosesNoResult) {
  const std::string roster = Roster(Persons(100, ""));
  const Fault hang = Fault::Delayed(2s).On("facepad/getresult").Times(1);
  const Fault slowAdds = Fault::Delayed(50ms).On("facepad/adduser").Times(1000);
  const Fault lateAdd = Fault::Delayed(2500ms).On("facepad/adduser").Times(1);
  const Fault refusedPolls = Fault::Answer(500).On("facepad/getresult");
  // After "sync ROSTER --sn SN": these arguments; what they try; the exit
  // code (above 128: after that signal a second in); a fault for the run, if
  // any; whether results are in flight for the run; whether the signal is sent
  // twice, 0.1 s apart.
  const std::tuple<const char*, const char*, int, const Fault*, bool, bool> cases[] = {
      {"--jobs 2", "SIGTERM while requests are queued", 143, &slowAdds, false, false},
      {"", "SIGTERM while the poll hangs", 143, &hang, false, false},
      {"", "SIGTERM twice while the poll hangs", 143, &hang, false, true},
      {"--wait 10", "SIGINT while collecting earlier results", 130, &hang, true, false},
      {"--wait 0.2", "a wait shorter than the first poll", 0, nullptr, true, false},
      {"--timeout 1 --jobs 1 --wait 1", "a late add", 1, &lateAdd, false, false},
      {"--wait 1", "every poll refused while collecting earlier results", 1, &refusedPolls, true,
       false},
  };
  int terminal = 0;
  for (const auto& [first, what, exitCode, fault, inFlight, twice] : cases) {
    SCOPED_TRACE(what);
    const std::string sn = "T" + std::to_string(++terminal);
    simulator.ClearJournal();
    if (inFlight) {
      EXPECT_EQ(Ctl({"sync", roster, "--sn", sn, "--wait", "0"}).exitCode, 1);
    }
    if (fault != nullptr) simulator.AddFault(*fault);
    const std::string command = "sync " + roster + " --sn " + sn + " " + first;
    const Finished run =
        twice ? Shell("", command, " & sleep 1; kill $!; sleep 0.1; kill $!; wait $!")
              : Ctl(Words(command), exitCode > 128 ? 1.0 : 0, exitCode == 143 ? "TERM" : "INT");
    EXPECT_EQ(run.exitCode, exitCode) << run.out << run.err;
    simulator.ClearFaults();
    EXPECT_TRUE(exitCode == 0 || !Has(run.out, "nothing to send")) << run.out;
    if (fault == &refusedPolls) {
      EXPECT_TRUE(Has(run.err, "every result poll failed") && !Has(run.err, "no result came"))
          << "none given up on: " << run.err;
    }
    if (fault == &lateAdd) {
      for (const char* says : {"timed out", "may still carry it out"})
        EXPECT_TRUE(Has(run.err, says)) << run.err;
      EXPECT_TRUE(Has(run.out, "1 awaiting a result")) << run.out;
    }
    const Finished next = Ctl({"sync", roster, "--sn", sn});
    EXPECT_EQ(next.exitCode, 0);
    EXPECT_FALSE(Has(next.err, "no result came")) << "every result recorded: " << next.err;
    EXPECT_EQ(simulator.Model().PersonCount(sn), 100U);
    EXPECT_EQ(simulator.Requests("facepad/adduser").size(), 100U) << "no one added twice";
  }
}

// Terminals behind several services, one of them down, and one that goes
// away during the run: each is reported, and the others go on.
TEST_F(FacepadctlSync, TerminalsBehindSeveralServicesSomeDownOrGone) {
  FacepadSim::FacepadSimulator second;
  const std::string roster = Roster(Persons(5));
  const std::string inventory = dir / "inventory.csv";
  WriteFile(inventory, "host,port,sn\n127.0.0.1," + std::to_string(simulator.Port()) +
                           ",T1\n127.0.0.1," + std::to_string(second.Port()) + ",T1\n127.0.0.1," +
                           std::to_string(second.Port()) + ",T2\n");
  const std::vector<std::string> sync = {"sync",    roster,     "--inventory",
                                         inventory, "--ledger", dir / "ledger.db"};
  const Finished both = RunToEnd(FACEPADCTL_PATH, sync);
  EXPECT_EQ(both.exitCode, 0) << both.out << both.err;
  EXPECT_EQ(simulator.Model().PersonCount("T1"), 5U);
  for (const char* sn : {"T1", "T2"}) EXPECT_EQ(second.Model().PersonCount(sn), 5U) << sn;

  // A service that is down is reported; the others go on.
  second.Stop();
  Roster(Persons(6));
  const Finished down = RunToEnd(FACEPADCTL_PATH, sync);
  EXPECT_EQ(down.exitCode, 1);
  EXPECT_TRUE(Has(down.err, "not available")) << down.err;
  EXPECT_EQ(simulator.Model().PersonCount("T1"), 6U);

  WriteFile(inventory, "host,port,sn\nh,1,T1\nh,1,T1\n");
  EXPECT_EQ(RunToEnd(FACEPADCTL_PATH, {"sync", roster, "--inventory", inventory}).exitCode, 2);
  EXPECT_EQ(Ctl({"sync", roster, "--inventory", inventory, "--sn", "T1"}).exitCode, 2);
  // One service by two names: each adaptor would take the other's results.
  const std::string port = std::to_string(simulator.Port());
  WriteFile(inventory, "host,port,sn\n127.0.0.1," + port + ",T1\nlocalhost," + port + ",T3\n");
  const Finished twice = RunToEnd(
      FACEPADCTL_PATH, {"sync", roster, "--inventory", inventory, "--plan", "--ledger", dir / "l"});
  EXPECT_TRUE(Has(twice.err, "may name one service twice")) << twice.err;

  // A service that goes away while it is sent to: what it was not sent is said.
  Roster(Persons(60));
  simulator.ClearJournal();
  simulator.AddFault(Fault::Delayed(30ms).On("facepad/adduser").Times(1000));
  std::thread stopper([this] {
    // Once sending is under way, whenever the run started.
    WaitFor([this] { return simulator.Requests("facepad/adduser").size() >= 5; });
    simulator.Stop();
  });
  const Finished gone = Ctl({"sync", roster, "--sn", "T1", "--jobs", "1", "--wait", "1"});
  stopper.join();
  EXPECT_EQ(gone.exitCode, 1);
  EXPECT_TRUE(Has(gone.err, "could not be reached")) << gone.err;
  EXPECT_TRUE(Has(gone.out, "not sent")) << gone.out;
}

// Every row, from a file or standard input, is checked before it is sent and
// reported with its line; a person already held is brought in line with
// --held-code. (Short rows,
// repeated certnums, tabs and photos that are not regular files: the roster's
// own tests, SyncRoster and SyncPlan, with the photo's in Photo.)
TEST_F(FacepadctlSync, ClassifiesEveryRowReadFromAFileOrStandardInput) {
  std::filesystem::copy_file(kPhoto, dir / "ann.png");
  const std::string roster = Roster(
      " Certnum,Name ,photo\n"
      "C-1,Ann,ann.png\n"     // 2: done
      "C-2,\"Lee, Bo\",\n"    // 3: done
      "\"C-4,open quote,\n"   // 4: a quote that never closes
      ",No Certnum,\n"        // 5
      "C-6,\xff\xfe,\n"       // 6: not UTF-8
      "C-8,No Photo,x.png\n"  // 7
      "C-9,Held,\n"           // 8: already held
      "\xff,Bad,\n"           // 9: a certnum not UTF-8
      "C-\x1b[2J,Esc,\n");    // 10: done, printed escaped
  // C-9 on the terminal, not in the ledger.
  simulator.Model().Handle("facepad/adduser",
                           "SN=T1\tid=x\tdata={\"certnum\":\"C-9\",\"name\":\"Old\"}");
  const Finished plain = Ctl({"sync", roster, "--sn", "T1", "--plan"});
  for (const char* reason : {"/x.png", "line 9, certnum \\xff: bad row"})
    EXPECT_TRUE(Has(plain.out + plain.err, reason)) << reason << ": " << plain.err;
  EXPECT_TRUE(Has(plain.out, "certnum C-\\x1b[2J: to add")) << plain.out;
  EXPECT_EQ((plain.out + plain.err).find('\x1b'), std::string::npos);
  const Finished run = Ctl({"--json", "sync", roster, "--sn", "T1", "--held-code", "101"});
  EXPECT_EQ(run.exitCode, 3) << run.err;
  std::set<std::string> outcomes;  // "line action outcome"
  for (JsonFields& line : JsonLines(run.out)) {
    if (line.count("line") > 0)
      outcomes.insert(line["line"] + " " + line["action"] + " " + line["outcome"]);
  }
  EXPECT_EQ(outcomes, (std::set<std::string>{"2 add done", "3 add done", "4  bad", "5  bad",
                                             "6  bad", "7  bad", "8 add held", "8 update done",
                                             "9  bad", "10 add done"}));
  EXPECT_TRUE(JsonLinesValid(run.out)) << run.out;
  EXPECT_TRUE(Has(simulator.Model().FindPerson("T1", "C-9")->record, "Held"));
  // Into one file, the results' lines keep their order whatever stream
  // each goes to: C-9's code, not named held, is told on stderr.
  simulator.Model().Handle("facepad/adduser",
                           "SN=T3\tid=x\tdata={\"certnum\":\"C-9\",\"name\":\"Old\"}");
  const Finished merged = Shell("", "sync " + roster + " --sn T3 --jobs 1", " 2>&1");
  std::size_t previous = 0;
  for (const char* certnum : {"C-1:", "C-2:", "C-9:", "C-\\x1b[2J:"}) {
    const std::size_t at = merged.out.find(std::string("certnum ") + certnum);
    EXPECT_TRUE(at != std::string::npos && at > previous) << certnum << ": " << merged.out;
    previous = at;
  }
  EXPECT_EQ(Ctl({"sync", roster, "--sn", "T1", "--plan"}).exitCode, 3)
      << "nothing to send, but the bad rows are a person's to mend";
  EXPECT_FALSE(simulator.Model().FindPerson("T1", "C-1")->facepic.empty());

  // From standard input, on through a standard output closed early.
  Roster(Persons(30) + "C-1,Again,\n");
  const Finished piped =
      Shell("set -o pipefail; ", "sync - --sn T2", " <" + dir / "roster.csv" + " | head -1");
  EXPECT_EQ(piped.exitCode, 3) << "the repeated certnum";
  EXPECT_EQ(simulator.Model().PersonCount("T2"), 30U);
  // A standard output that cannot be written loses lines: told, and no exit 0.
  Roster(Persons(3));
  for (const char* lost : {" >/dev/full", " >&-"}) {
    const Finished run = Shell("", "sync " + roster + " --sn T5", lost);
    EXPECT_EQ(run.exitCode, 1) << lost;
    EXPECT_TRUE(Has(run.err, "cannot write to stdout")) << lost << ": " << run.err;
  }
  EXPECT_EQ(simulator.Model().PersonCount("T5"), 3U);
  // Ctrl-C ends a run whose standard input never comes.
  const auto start = std::chrono::steady_clock::now();
  const Finished waiting =
      Shell("timeout --preserve-status -s INT 0.5 ", "sync - --sn T2", " < <(sleep 30)");
  EXPECT_EQ(waiting.exitCode, 130) << waiting.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}
