// The sync engine in process: the plan that joins a roster with the ledger,
// the ledger's file rules, and what each answer of a real (simulated)
// service does to the ledger and to the run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Csv.h"
#include "ExitCodes.h"
#include "FacepadSimulator.h"
#include "Ledger.h"
#include "Plan.h"
#include "Roster.h"
#include "ServiceSync.h"
#include "SyncOutput.h"
#include "support/Subprocess.h"

using namespace Facepadctl;
using FacepadSim::Fault;

namespace {
const std::string kPhoto = ZR_SOURCE_DIR "/demo/photos/ann.png";
const std::string kOtherPhoto = ZR_SOURCE_DIR "/demo/photos/bo.png";

std::vector<BadRow> g_ignoredBadRows;  // the last roster's
// `csv` written as roster.csv in `folder`, then read against `ledger`.
Roster ReadRoster(Ledger& ledger, const TemporaryFolder& folder, const std::string& csv) {
  WriteFile(folder / "roster.csv", csv);
  g_ignoredBadRows.clear();
  return {ledger, folder / "roster.csv", kDefaultMaxPhoto, [] { return false; },
          [](const BadRow& bad) { g_ignoredBadRows.push_back(bad); }};
}

// The ledger believes terminal `terminal` holds this person, as sent.
void Confirm(Ledger& ledger, std::int64_t terminal, const Person& person,
             std::optional<Digest> photo) {
  Request add{"seed-" + person.at("certnum"), terminal, person.at("certnum"), Action::Add,
              FieldsDigest(person),           photo};
  ledger.Record({add});
  ledger.Settle({{add, Change::Confirmed, "0"}});
}
}  // namespace

// Each case: a roster against one ledger state. The ledger holds A as the
// roster gives it, B with other fields and another photo, D (not in the
// roster), E held with its record unknown, F (on a bad row), and a request
// in flight for G.
TEST(SyncPlan, JoinsTheRosterWithTheLedger) {
  const std::string good =
      "A,Ann," + kPhoto + "\nB,Bo new,\nC,Chen," + kPhoto + "\nE,Eli,\nF,Fay\tTab,\nG,Gus,\n";
  struct Case {
    const char* what;
    std::string rows;
    PruneRules rules;
    bool pruneOff;
    std::array<std::int64_t, 5> counts;  // adds, updates, photos, deletes, deletes held
  };
  const std::string openQuote = good + "\"H,Hal,\n";
  const std::string tooLong = good + std::string(2 << 20, 'x') + "\n";
  const std::string newPhotos = "A,Ann," ZR_SOURCE_DIR "/demo/../demo/photos/ann.png\nB,Bo new," +
                                kOtherPhoto + "\n";  // a copy of A's photo elsewhere
  const Digest photo = BytesDigest(ReadPhotoFile(kPhoto, kDefaultMaxPhoto).bytes);
  const Case cases[] = {
      {"no pruning", good, {false, 100, false}, false, {1, 2, 0, 0, 0}},
      {"pruning deletes only D", good, {true, 100, false}, false, {1, 2, 0, 1, 0}},
      {"the guard holds every delete", good, {true, 0, true}, false, {1, 2, 0, 0, 1}},
      {"an open quote turns pruning off", openQuote, {true, 100, false}, true, {1, 2, 0, 0, 0}},
      {"a line too long turns pruning off", tooLong, {true, 100, false}, true, {1, 2, 0, 0, 0}},
      {"a new photo for B, A's elsewhere", newPhotos, {false, 100, false}, false, {0, 1, 1, 0, 0}},
      {"no valid row never prunes", "F,Fay\tTab,\n", {true, 100, false}, true, {0, 0, 0, 0, 0}},
      {"unless --max-delete is given", "F,Fay\tTab,\n", {true, 100, true}, false, {0, 0, 0, 4, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TemporaryFolder folder;
    Ledger ledger(folder / "ledger.db", false);
    const std::int64_t terminal = ledger.Terminal("127.0.0.1:1", "T1");
    Confirm(ledger, terminal, {{"certnum", "A"}, {"name", "Ann"}}, photo);
    Confirm(ledger, terminal, {{"certnum", "B"}, {"name", "Bo"}}, photo);
    Confirm(ledger, terminal, {{"certnum", "D"}, {"name", "Dan"}}, std::nullopt);
    Confirm(ledger, terminal, {{"certnum", "F"}, {"name", "Fay"}}, std::nullopt);
    const Request held{"held-E", terminal, "E", Action::Add, std::nullopt, std::nullopt};
    ledger.Record({held});
    ledger.Settle({{held, Change::HeldUnknown, "101"}});
    ledger.Record({{"flying-G", terminal, "G", Action::Add, std::nullopt, std::nullopt}});
    const Roster roster = ReadRoster(ledger, folder, "certnum,name,photo\n" + c.rows);
    Plan plan(ledger);
    const PlanCounts counts = plan.Add(terminal, roster, c.rules);
    EXPECT_EQ((std::array<std::int64_t, 5>{counts.adds, counts.updates, counts.photos,
                                           counts.deletes, counts.deletesHeld}),
              c.counts);
    EXPECT_EQ(!counts.pruneOff.empty(), c.pruneOff) << counts.pruneOff;
    EXPECT_EQ(counts.awaiting, 1);
    for (const PlannedStep& step : plan.Steps(terminal, 0, 100)) {
      EXPECT_NE(step.certnum, "F") << "a person on a bad row is neither changed nor deleted";
      EXPECT_NE(step.certnum, "G") << "a person awaiting a result waits";
    }
  }
}

// Rosters read against a ledger in the test's own folder; ledgers' files
// kept there.
class SyncRoster : public ::testing::Test {
 protected:
  TemporaryFolder folder;
  Ledger ledger{folder / "ledger.db", false};
};
using SyncLedger = SyncRoster;

TEST_F(SyncRoster, RefusesWhatIsNotARosterAndFlagsBadRows) {
  const std::string resume = "certnum,name,outcome,detail\nA,Ann,failed,x\n";
  EXPECT_TRUE(Has(Refusal<InputError>([&] { ReadRoster(ledger, folder, resume); }),
                  "give the original roster"));
  const std::string utf16(
      "\xff\xfe"
      "c\0e\0r\0t\0n\0u\0m\0\n\0",
      18);
  EXPECT_TRUE(Has(Refusal<InputError>([&] { ReadRoster(ledger, folder, utf16); }),
                  "save it as CSV in UTF-8"));
  mkfifo((folder / "fifo.png").c_str(), 0600);
  Roster roster = ReadRoster(ledger, folder,
                             "\xEF\xBB\xBF"
                             "certnum,name,photo\nA,Ann,\nA,Again,\nB,Bo,fifo.png\nC,\n A,Ann,\n"
                             "A ,Ann,\n\xEF\xBB\xBF"
                             "A,Ann,\nD,\"a\rb\",\nE,Eve,\n");
  EXPECT_EQ(roster.Rows(), 9);
  EXPECT_EQ(roster.Valid(), 3) << "a certnum is never trimmed nor merged";
  EXPECT_EQ(roster.Row(9).person.at("name"), "a\rb") << "a quoted CR stays in its field";
  const char* reasons[] = {"already on line 2", "FIFO",          "fields",
                           "blanks around it",  "blanks around", "byte order mark"};
  ASSERT_EQ(g_ignoredBadRows.size(), std::size(reasons));
  for (std::size_t i = 0; i < std::size(reasons); ++i)
    EXPECT_TRUE(Has(g_ignoredBadRows[i].why, reasons[i])) << g_ignoredBadRows[i].why;
  EXPECT_FALSE(roster.CertnumsComplete());
}

TEST_F(SyncLedger, KeepsToItsFileAndToOneWriter) {
  setenv("XDG_STATE_HOME", (folder / "state").c_str(), 1);
  const std::string path = Ledger::DefaultPath();
  EXPECT_EQ(path, folder / "state/facepadctl/ledger.db");
  {
    Ledger holder(path, true);
    EXPECT_EQ(static_cast<int>(std::filesystem::status(folder / "state/facepadctl").permissions()),
              0700);
    EXPECT_EQ(static_cast<int>(std::filesystem::status(path).permissions()), 0600);
    holder.LockForWriting();
    Ledger second(path, false);
    EXPECT_TRUE(Has(Refusal<LedgerError>([&] { second.LockForWriting(); }),
                    "pid " + std::to_string(getpid())));
  }
  Ledger(path, false).LockForWriting();  // released with its holder

  WriteFile(folder / "important.txt", "keep me");
  std::filesystem::create_symlink(folder / "important.txt", folder / "link.db");
  EXPECT_THROW(Ledger(folder / "link.db", false), LedgerError);
  EXPECT_EQ(::ReadFile(folder / "important.txt"), "keep me");
  // Two names, two locks: refused by either name, while it is read by both.
  std::filesystem::create_hard_link(path, folder / "alias.db");
  for (const std::string& name : {path, folder / "alias.db"}) {
    EXPECT_TRUE(Has(Refusal<LedgerError>([&] { Ledger(name, false); }), "other names")) << name;
    EXPECT_NO_THROW(Ledger(name, false, Ledger::Access::ReadOnly)) << name;
  }
}

// An empty or damaged file, another program's database or a newer ledger
// is refused as a matter for a person, before anything is written to it.
TEST_F(SyncLedger, RefusesWhatIsNotALedgerWithoutWritingToIt) {
  const std::pair<const char*, std::string> cases[] = {
      {"empty", ""},
      {"not a database", std::string(4096, 'x')},
      {"damaged", std::string("SQLite format 3") + '\0' + std::string(4080, '\xff')},
      {"another program's", "CREATE TABLE state(key TEXT)"},
      {"a newer ledger", "PRAGMA application_id=1179665228; PRAGMA user_version=3"},
  };
  for (const auto& [what, content] : cases) {
    SCOPED_TRACE(what);
    const std::string path = folder / (std::string(what) + ".db");
    if (content.rfind("CREATE", 0) == 0 || content.rfind("PRAGMA", 0) == 0) {
      Database(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE).Execute(content.c_str());
    } else {
      WriteFile(path, content);
      WriteFile(path + ".lock", "");  // a ledger a run has locked, and sent from
    }
    const std::string before = ::ReadFile(path);
    EXPECT_THROW(Ledger(path, false), LedgerUnusable);
    EXPECT_THROW(Ledger(path, false, Ledger::Access::ReadOnly), LedgerUnusable);
    EXPECT_EQ(::ReadFile(path), before);
  }
  WriteFile(folder / "unlocked.db", "");  // its first run ended before it locked the ledger
  EXPECT_NO_THROW(Ledger(folder / "unlocked.db", false));
}

// A folder no one may write, while it lives; `made` is false when this file
// system or user cannot make one.
struct ImmutableFolder {
  explicit ImmutableFolder(const std::string& path)
      : folder(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
        made(ioctl(folder, FS_IOC_GETFLAGS, &flags) == 0 && Set(flags | FS_IMMUTABLE_FL)) {}
  ~ImmutableFolder() {
    if (made) Set(flags);
    close(folder);
  }
  bool Set(int value) const { return ioctl(folder, FS_IOC_SETFLAGS, &value) == 0; }
  const int folder;
  int flags = 0;
  const bool made;
};

// A whole ledger in a folder that cannot be written is read, and refused for
// writing as it is: not as damaged, which would have it rebuilt.
TEST_F(SyncLedger, InAFolderThatCannotBeWrittenIsReadAndNotCalledDamaged) {
  const std::string kept = folder / "kept";
  const std::string path = kept + "/ledger.db";
  Ledger(path, true).Terminal("h:1", "T1");
  const ImmutableFolder immutable(kept);
  if (!immutable.made) GTEST_SKIP() << "this file system or user cannot make a folder immutable";
  EXPECT_EQ(Ledger(path, false, Ledger::Access::ReadOnly).Summaries("T1").size(), 1U);
  try {
    Ledger(path, false).Terminal("h:1", "T2");
    ADD_FAILURE() << "written";
  } catch (const LedgerUnusable& error) {
    ADD_FAILURE() << error.what();
  } catch (const LedgerError& error) {
    EXPECT_EQ(std::string(error.what()).find("rebuild"), std::string::npos) << error.what();
  }
}

// A ledger of the first schema is read as it is, or brought to the second
// in place: its persons are held, none maybe held, and its requests still in
// flight. ledger show --sn names whom the ledger is unsure of, and why.
TEST_F(SyncLedger, MigratesTheFirstSchemaInPlaceAndNamesThePersonsUnsettled) {
  const std::string path = folder / "old.db";
  {
    Database old(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    old.Execute(
        "CREATE TABLE terminals(id INTEGER PRIMARY KEY, service TEXT NOT NULL, sn TEXT NOT NULL,"
        " UNIQUE(service, sn));"
        "CREATE TABLE persons(terminal INTEGER NOT NULL REFERENCES terminals(id) ON DELETE "
        "CASCADE, certnum TEXT NOT NULL, fields INTEGER, photo INTEGER,"
        " PRIMARY KEY(terminal, certnum)) WITHOUT ROWID;"
        "CREATE TABLE requests(id TEXT PRIMARY KEY, terminal INTEGER NOT NULL, certnum TEXT NOT "
        "NULL, action INTEGER NOT NULL, fields INTEGER, photo INTEGER, sent INTEGER NOT NULL);"
        "CREATE TABLE codes(terminal INTEGER NOT NULL, code TEXT NOT NULL, count INTEGER NOT "
        "NULL, last INTEGER NOT NULL, PRIMARY KEY(terminal, code)) WITHOUT ROWID;"
        "INSERT INTO terminals VALUES(1, 'h:1', 'T1');"
        "INSERT INTO persons VALUES(1, 'A', 7, NULL), (1, 'B', NULL, NULL);"
        "INSERT INTO requests VALUES('r1', 1, 'C', 0, 1, NULL, 0);"
        "PRAGMA user_version=1");
  }
  const std::string before = ::ReadFile(path);
  for (const auto access : {Ledger::Access::ReadOnly, Ledger::Access::Write}) {
    Ledger opened(path, false, access);
    const std::vector<TerminalSummary> summaries = opened.Summaries("T1");
    ASSERT_EQ(summaries.size(), 1U);
    EXPECT_EQ(summaries[0].persons, 2);
    EXPECT_EQ(summaries[0].maybeHeld, 0);
    EXPECT_EQ(summaries[0].inFlight, 1);
    Statement version = opened.Db().Prepare("PRAGMA user_version");
    ASSERT_TRUE(version.Step());
    EXPECT_EQ(version.Int(0), access == Ledger::Access::ReadOnly ? 1 : 2);
    EXPECT_TRUE(access != Ledger::Access::ReadOnly || ::ReadFile(path) == before) << "read as is";
  }
  Ledger migrated(path, false);
  const Request lost{"r2", 1, "B", Action::Delete, std::nullopt, std::nullopt};
  migrated.Record({lost});
  migrated.GiveUp({lost});
  std::string named;  // certnum, request, maybe held, a delete
  for (const Unsettled& person : migrated.UnsettledOf("T1")) {
    named += person.certnum + person.requestId + (person.maybeHeld ? " maybe" : "") +
             (person.action == Action::Delete ? " delete" : "") + ";";
  }
  EXPECT_EQ(named, "Br2 maybe delete;Cr1;");
}

// Runs of the engine against a simulated service, each with its ledger.
class SyncAnswers : public ::testing::Test {
 protected:
  SyncAnswers() {
    globals.port = simulator.Port();
    settings.waitSeconds = 10;
    settings.maxPhoto = kDefaultMaxPhoto;
  }
  // A run's report, taken from the run once it has ended.
  using Run = std::unique_ptr<TerminalReport>;
  Run Sync(const std::string& roster, const std::string& ledgerName = "ledger.db") {
    Ledger ledger(folder / ledgerName, false);
    Roster read = ReadRoster(ledger, folder, "certnum,name,photo\n" + roster);
    ServiceSync sync(ledger, read, globals, {"T1"}, settings);
    sync.Run();
    EXPECT_EQ(sync.Reports().front()->unavailable, "");
    return std::move(sync.Reports().front());
  }

  FacepadSim::FacepadSimulator simulator;
  TemporaryFolder folder;
  Globals globals;  // its port: `simulator`'s unless a test gives another's
  SyncSettings settings;
  const std::string roster = "A,Ann," + kPhoto + "\nB,Bo,\nC,Chen,\n";
};

// A roster the terminal holds and this ledger does not know: with
// --held-code the adds answered 101 are updated instead, and an update that
// fails is sent again next run, never an AddUser. A service whose code for
// done is another: 0 is then a code like any other, and leaves its step to
// the next run, which finds the person held.
TEST_F(SyncAnswers, ARosterAlreadyHeldIsUpdatedAndDoneMayHaveItsOwnCode) {
  Sync(roster, "another.db");
  const Run unknown = Sync(roster);
  EXPECT_EQ(unknown->left, 3) << "without --held-code, 101 is a code like any other";
  EXPECT_EQ(unknown->codes.at("101"), 3);

  settings.heldCodes = {"101"};
  simulator.AddFault(Fault::Answer(500).On("facepad/setuser"));
  const Run failed = Sync(roster);
  EXPECT_EQ(failed->held, 3);
  EXPECT_EQ(failed->left, 3);
  EXPECT_EQ(failed->done, 1) << "A's photo";
  simulator.ClearFaults();
  simulator.ClearJournal();
  const Run updated = Sync(roster);
  EXPECT_EQ(updated->done, 3) << "the three updates";
  EXPECT_EQ(updated->left, 0);
  EXPECT_EQ(simulator.Requests("facepad/adduser").size(), 0U);
  EXPECT_EQ(Sync(roster)->steps, 0) << "in line: the next run sends nothing";

  simulator.Model().SetResultCode("7");
  settings.doneCodes = {"7"};
  EXPECT_TRUE(InLine(*Sync("B,Bo new,\nD,Dan,\n")));
  simulator.Model().SetResultCode("0");
  const Run zero = Sync("B,Bo newer,\n");
  EXPECT_EQ(zero->codes.at("0"), 1);
  EXPECT_FALSE(InLine(*zero));
}

TEST_F(SyncAnswers, AnEmptiedTerminalIsRefilledWithTheAbsentCode) {
  Sync(roster + "D,Dan,\n");
  simulator.Reset();  // the terminal forgot everyone; the ledger did not
  settings.absentCodes = {"102"};
  settings.prune.prune = true;
  const Run run = Sync("A,Ann," + kPhoto + "\nB,Bo Lind," + kOtherPhoto + "\nC,Chen,\n");
  EXPECT_EQ(run->done, 2) << "B's update and photo answered 102, then B added once, with the "
                             "photo; D's delete counts as done";
  EXPECT_EQ(run->left, 0);
  EXPECT_TRUE(InLine(*run));
  EXPECT_EQ(simulator.Requests("facepad/adduser").size(), 1U);
  EXPECT_FALSE(simulator.Model().FindPerson("T1", "B")->facepic.empty());
  EXPECT_FALSE(simulator.Model().FindPerson("T1", "A").has_value())
      << "the ledger is not the terminal";
}

// A person whose request's result never came may be held or not; the codes
// the operator gave settle which, checked against the terminal itself.
TEST_F(SyncAnswers, APersonMaybeHeldIsSettledByTheCodesGiven) {
  // Whether the terminal holds X; X is on the roster, pruning is asked for,
  // an absent code given; then whether the terminal holds X after the run,
  // the ledger still counts X maybe held, and the run is in line.
  struct Case {
    const char* what;
    bool held, onRoster, prune, absentCode, heldAfter, maybeAfter, inLine;
  };
  const Case cases[] = {
      {"on the roster and held: updated", true, true, false, false, true, false, true},
      {"on the roster, not held: added", false, true, false, true, true, false, true},
      {"on the roster, not held, no code to say so", false, true, false, false, false, true, false},
      {"off the roster and held: deleted", true, false, true, false, false, false, true},
      {"off the roster, not held: the delete done", false, false, true, true, false, false, true},
      {"off the roster, no pruning: not a matter", true, false, false, false, true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    simulator.Reset();
    for (const char* ledger : {"ledger.db", "another.db"}) std::filesystem::remove(folder / ledger);
    settings.prune.prune = c.prune;  // neither matters to the add of X with another ledger
    settings.absentCodes.assign(c.absentCode ? 1 : 0, "102");
    if (c.held) Sync("X,Xi,\n", "another.db");
    {
      Ledger ledger(folder / "ledger.db", false);
      const std::string service = "127.0.0.1:" + std::to_string(simulator.Port());
      ledger.Record({{"never-answered", ledger.Terminal(service, "T1"), "X", Action::Add, 1, {}}});
    }
    const Run run = Sync(c.onRoster ? "A,Ann,\nX,Xi,\n" : "A,Ann,\n");
    EXPECT_EQ(run->lost, 1);
    EXPECT_EQ(simulator.Model().FindPerson("T1", "X").has_value(), c.heldAfter);
    EXPECT_EQ(run->after.maybeHeld > 0, c.maybeAfter);
    EXPECT_EQ(InLine(*run), c.inLine);
    EXPECT_EQ(run->left, 0);
    EXPECT_EQ(simulator.Requests("facepad/adduser").size(),
              (c.held ? 1U : 0U) + 1U + (c.onRoster && !c.held && c.absentCode ? 1U : 0U))
        << "A, and X only when the terminal said it lacks X";
    simulator.ClearJournal();
  }
}

// A request the service carries out only after the runs gave up on it: its
// late answer makes its person maybe held again, and the run that hears it
// settles it, here by deleting a person the roster dropped.
TEST_F(SyncAnswers, AnAnswerAfterItsRequestWasGivenUpOnIsHeard) {
  simulator.AddFault(Fault::Delayed(std::chrono::seconds(6)).On("facepad/adduser").Times(1));
  settings.waitSeconds = 1;
  globals.timeoutSeconds = 1;
  EXPECT_EQ(Sync("A,Ann,\n")->unanswered, 1) << "the add timed out, and may still come";
  globals.timeoutSeconds = 30;
  settings.prune.prune = true;
  settings.absentCodes = {"102"};
  const Run givenUp = Sync("B,Bo,\n");
  EXPECT_EQ(givenUp->lost, 1);
  EXPECT_TRUE(InLine(*givenUp)) << "A is not held yet";
  for (int i = 0; i < 200 && !simulator.Model().FindPerson("T1", "A"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(simulator.Model().FindPerson("T1", "A").has_value()) << "the add, carried out late";
  EXPECT_TRUE(InLine(*Sync("B,Bo,\n")));
  EXPECT_FALSE(simulator.Model().FindPerson("T1", "A").has_value());
}

// A request the service refuses as too large would be refused again: a
// person must act (exit 3), the others go on.
TEST_F(SyncAnswers, ARequestRefusedAsTooLargeNeedsAPerson) {
  FacepadSim::SimulatorOptions small;
  small.maxBody = 8192;
  const FacepadSim::FacepadSimulator service(small);
  globals.port = service.Port();
  WriteFile(folder / "big.png", std::string("\x89PNG\r\n\x1A\n", 8) + std::string(20000, 'p'));
  const Run run = Sync("A,Ann,big.png\nB,Bo,\n");
  EXPECT_EQ(run->tooLarge, 1);
  EXPECT_EQ(run->left, 0);
  EXPECT_EQ(SyncExitCode({run.get()}, {}), kNeedsPerson);
  EXPECT_TRUE(service.Model().FindPerson("T1", "B").has_value());
}

// With no result coming (another client takes them all), holding back while
// 4,000 await their results lasts the wait once, not once a batch.
TEST_F(SyncAnswers, HoldingBackEndsOnceNoResultCameForTheWait) {
  simulator.AddFault(Fault::Answer(500).On("facepad/getresult"));
  settings.waitSeconds = 2;
  std::string rows;
  for (int i = 0; i < 4000 + 1280; ++i) rows += "P" + std::to_string(i) + ",N,\n";
  EXPECT_EQ(Sync(rows)->unanswered, 5280);
  const auto adds = simulator.Requests("facepad/adduser");
  ASSERT_EQ(adds.size(), 5280U);
  // Twenty batches after the first 4,000: one wait, not one a batch or two.
  EXPECT_LT(adds.back().received - adds[3999].received, std::chrono::seconds(10));
}

// A service that closes the connections beyond the few it serves is busy,
// not gone: it is sent to at the pace it allows.
TEST_F(SyncAnswers, ABusyServiceIsSentToAtItsPace) {
  FacepadSim::SimulatorOptions options;
  options.maxConnections = 8;
  const FacepadSim::FacepadSimulator busy(options);
  globals.port = busy.Port();
  settings.jobs = 64;
  std::string rows;
  for (int i = 0; i < 300; ++i) rows += "P" + std::to_string(i) + ",N,\n";
  const Run first = Sync(rows);
  EXPECT_GT(first->busy, 0) << "posts were turned away";
  EXPECT_GE(busy.Model().PersonCount("T1"), 250U) << "and the run went on";
  EXPECT_TRUE(InLine(*Sync(rows)));
  EXPECT_EQ(busy.Model().PersonCount("T1"), 300U);
}

// Two services synced at once from one ledger, each on its own thread with
// its own adaptor, as an inventory run does: the only run of two engines
// that the sanitizer builds see (whole-program runs are left out of them).
TEST_F(SyncAnswers, TwoServicesAtOnce) {
  FacepadSim::FacepadSimulator second;
  Ledger ledger(folder / "ledger.db", false);
  Roster read = ReadRoster(ledger, folder, "certnum,name,photo\n" + roster);
  ServiceSync first(ledger, read, {"127.0.0.1", simulator.Port()}, {"T1", "T2"}, settings);
  ServiceSync next(ledger, read, {"127.0.0.1", second.Port()}, {"T1", "T2"}, settings);
  std::thread thread([&first] { first.Run(); });
  next.Run();
  thread.join();
  for (ServiceSync* sync : {&first, &next}) {
    for (const auto& report : sync->Reports()) EXPECT_TRUE(InLine(*report)) << report->sn;
  }
  for (const FacepadSim::FacepadSimulator* service : {&simulator, &second}) {
    EXPECT_EQ(service->Model().PersonCount("T1"), 3U);
    EXPECT_EQ(service->Model().PersonCount("T2"), 3U);
  }
}

// A row is read whole up to the line limit, a multi-byte character across
// it included, and is a bad row beyond it: never sent with fields it lacks.
TEST_F(SyncRoster, RowsAtTheLineLimitAreReadWhole) {
  for (const std::size_t length :
       {kLongestLine - 2, kLongestLine - 1, kLongestLine, kLongestLine + 1, kLongestLine + 2}) {
    SCOPED_TRACE(length);
    const std::string name = std::string(length - 6, 'x') + "\xC3\xA9";  // "U-1," then the name
    Roster roster = ReadRoster(ledger, folder, "certnum,name\nU-1," + name + "\n");
    EXPECT_EQ(roster.Valid(), length <= kLongestLine ? 1 : 0);
    if (length <= kLongestLine) {  // the row as it was written
      const Person person = roster.Row(2).person;
      EXPECT_EQ(person.at("certnum") + "," + person.at("name"), "U-1," + name);
    }
  }
}

// A photo is hashed again when it changed, even when a copy kept its size
// and modification time.
TEST_F(SyncRoster, NoticesAPhotoReplacedInPlace) {
  const std::string png("\x89PNG\r\n\x1A\n", 8);
  WriteFile(folder / "face.png", png + std::string(100, 'a'));
  const auto modified = std::filesystem::last_write_time(folder / "face.png");
  const std::string roster = "certnum,photo\nA,face.png\n";
  const Digest first = *ReadRoster(ledger, folder, roster).Row(2).photo;
  WriteFile(folder / "face.png", png + std::string(100, 'b'));
  std::filesystem::last_write_time(folder / "face.png", modified);
  EXPECT_NE(*ReadRoster(ledger, folder, roster).Row(2).photo, first);
}
