// mailstorage-import under faults, on a PostgreSQL cluster of this suite's
// own (stopped and started mid-import, which the other tests' store must not
// see) and real files. After each fault the store is audited: every mail
// linked exactly once, no record pointing at a missing or partial blob, every
// message with its body parts and a link.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "tests/tools/StoreFixture.h"
#include "tools/Report.h"

namespace Nauvik::Import {
namespace {

using namespace Test;
using mstest::SummaryCount;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int64_t kCompany = 92000;  // users of this suite: 92001 and up, one per test

std::string Mail(const std::string& id, const std::string& extra = "") {
  return "From: Tester <t@example.org>\nTo: u@example.org\nSubject: fault " + id +
         "\nDate: Mon, 2 Feb 2026 10:00:00 +0000\nMessage-ID: <" + id + "@faults.example>\n" +
         extra + "\nbody " + id + "\n" + std::string(200 + id.size() * 37 % 900, 'x') + "\n";
}

using Contents = std::map<std::string, std::multiset<std::string>>;  // folder -> labels

class ImportFaults : public StoreSuite {
 protected:
  // A mail as the audit compares it: Message-ID, hash and size of its bytes
  // (a failure prints short lines, not mails).
  static std::string Label(const std::string& bytes) {
    return HeaderField(bytes, "Message-ID").value_or("(none)") + " " + HashText(bytes) + " " +
           std::to_string(bytes.size());
  }
  static void SetUpTestSuite() {
    store_ = std::string(getenv("MS_BINARY_DIR")) + "/faultstore";
    StoreCommand("stop");
    fs::remove_all(store_);
    ASSERT_TRUE(StoreCommand("start")) << "scripts/store start " << store_;
    OpenStore(store_ + "/registry.reg", kCompany, "fault tests");
  }
  static void TearDownTestSuite() {
    db_.reset();
    StoreCommand("stop");
  }
  void SetUp() override {
    StoreSuite::SetUp();
    orphan_messages_before_ = Orphans()[1];
  }

  static bool StoreCommand(const std::string& command) {
    // Without fsync: the server is only ever stopped cleanly, never crashed.
    const std::string line = "'" + std::string(getenv("MS_SOURCE_DIR")) + "/scripts/store' " +
                             (command == "start" ? "start --unsafe-no-fsync" : command) + " '" +
                             store_ + "' >/dev/null 2>&1";
    return system(line.c_str()) == 0;
  }
  // n mails below dir_/in (every fifth in a sub-folder) and their labels by
  // the folder that should hold them under `folder`.
  Contents WriteMails(const std::string& prefix, int n, const std::string& folder) {
    Contents expected;
    for (int i = 0; i < n; ++i) {
      const std::string id = prefix + std::to_string(i);
      const bool sub = i % 5 == 4;
      WriteFile(dir_ + (sub ? "/in/sub/" : "/in/") + std::to_string(1000 + i) + ".eml", Mail(id));
      expected[FolderKey(folder) + (sub ? ".sub" : "")].insert(Label(Crlf(Mail(id))));
    }
    return expected;
  }

  // The user's folders, a label per link.
  static Contents Stored(int64_t user) {
    Contents folders;
    for (const auto& [key, id] : Folders(user)) {
      for (const auto& l : Links(id)) folders[key].insert(Label(ReadFile(l.blob_path)));
    }
    return folders;
  }
  // The store's count of records no message uses, of messages without a
  // link, and of messages without body parts.
  static std::vector<std::string> Orphans() {
    return Rows(
        "SELECT (SELECT COUNT(*) FROM NS_FILESTORAGE F WHERE FIS_DELETED IS NULL AND NOT EXISTS "
        "(SELECT 1 FROM NS_IMAPMESSAGE M WHERE M.FIS_FILESTORAGEID = F.FIS_FILESTORAGEID)), "
        "(SELECT COUNT(*) FROM NS_IMAPMESSAGE M WHERE NOT EXISTS (SELECT 1 FROM "
        "NS_IMAPMSGINFOLDER L WHERE L.IMM_IMAPMESSAGEID = M.IMM_IMAPMESSAGEID)), (SELECT COUNT(*) "
        "FROM NS_IMAPMESSAGE M WHERE NOT EXISTS (SELECT 1 FROM NS_IMAPBODYPART B WHERE "
        "B.IMM_IMAPMESSAGEID = M.IMM_IMAPMESSAGEID))")[0];
  }

  // Makes every record and blob file two hours older: the repair's age floor.
  void AgeStore() {
    Execute("UPDATE NS_FILESTORAGE SET FIS_CREATED = FIS_CREATED - INTERVAL '2 hours'");
    for (const auto& r : Rows("SELECT replace(FSH_HOSTPATH, '\\', '/') FROM NS_FILESTORAGEHOST")) {
      std::error_code ec;
      for (const auto& f : fs::recursive_directory_iterator(r[0], ec)) {
        if (f.is_regular_file()) fs::last_write_time(f.path(), f.last_write_time() - 2h);
      }
    }
  }

  // The user's links are the mails given, no record (on an online host)
  // points at a missing or resized file, every message has body parts, and
  // no message was left without a link by this test.
  void ExpectHolds(int64_t user, const Contents& expected) {
    EXPECT_EQ(Stored(user), expected) << "stored links against the mails given";
    for (const auto& r :
         Rows("SELECT replace(FSH_HOSTPATH || FIS_LOCATION, '\\', '/'), FIS_SIZE "
              "FROM NS_FILESTORAGE JOIN NS_FILESTORAGEHOST USING "
              "(FSH_FILESTORAGEHOSTID) WHERE FIS_DELETED IS NULL AND FSH_ONLINE = 1")) {
      std::error_code ec;
      EXPECT_EQ(std::to_string(fs::file_size(r[0], ec)), r[1]) << r[0] << " " << ec.message();
    }
    const auto orphans = Orphans();
    EXPECT_EQ(orphans[1], orphan_messages_before_) << "messages without a link";
    EXPECT_EQ(orphans[2], "0") << "messages without body parts";
  }

  // Runs the importer with its report into a pipe and stops the store once
  // `rows` report lines have come; it starts again `down_seconds` later, or
  // (0) once the run has ended.
  ToolResult RunIntoAnOutage(int64_t user, std::vector<std::string> args, size_t rows,
                             int down_seconds = 0, const std::string& tool = MS_IMPORT_TOOL) {
    const std::string fifo = dir_ + "/report.fifo";
    fs::remove(fifo);
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    args.insert(args.begin(), {"--report", fifo});
    ToolProcess p;
    p.Start(tool, Args(user, args));
    // Not a blocking open: an importer that exits before it opens its report
    // must end the wait, not hang the suite.
    const int report = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    const int exited = static_cast<int>(syscall(SYS_pidfd_open, p.pid(), 0));
    size_t lines = 0;
    auto read_until = [&](size_t target) {
      while (lines < target) {
        pollfd fds[2] = {{report, POLLIN, 0}, {exited, POLLIN, 0}};
        poll(fds, 2, -1);
        char chunk[4096];
        const ssize_t n = read(report, chunk, sizeof chunk);
        if (n > 0) {
          lines += static_cast<size_t>(std::count(chunk, chunk + n, '\n'));
        } else if (fds[0].revents & POLLHUP || fds[1].revents & POLLIN) {
          return;
        }
      }
    };
    read_until(rows);
    EXPECT_TRUE(StoreCommand("stop"));
    if (down_seconds > 0) {
      std::this_thread::sleep_for(std::chrono::seconds(down_seconds));  // the outage's length
      EXPECT_TRUE(StoreCommand("start"));
    }
    read_until(SIZE_MAX);
    close(report);
    close(exited);
    ToolResult r = p.Wait();
    EXPECT_TRUE(down_seconds > 0 || StoreCommand("start"));
    Reconnect();
    return r;
  }

  std::string orphan_messages_before_;  // what earlier tests left
  static inline std::string store_;
  const std::string dir_ = MakeScratchDirectory(
      std::string("fault-") + testing::UnitTest::GetInstance()->current_test_info()->name());
};

// The double forwards each call to the real library. It reports the database
// error for the mail that asks for it: neither the retry in the run nor a
// rerun from the journal may link it again. It links a mail of the same size
// as another writer would, right after the first call: each report row names
// the UID of the link that holds its own bytes.
TEST_F(ImportFaults, CallThatLinkedAndThenFailedIsCountedDoneNotLinkedAgain) {
  const int64_t user = NewUser(92001);
  const std::string other = dir_ + "/other.eml", report = dir_ + "/report.csv";
  const std::string failing = Mail("committed", "X-Fake-Result: 1001 once\n");
  const std::string z = dir_ + "/in/z.eml";
  WriteFile(dir_ + "/in/a.eml", Mail("uid-a", "X-Fake-Other-Writer: " + other + "\n"));
  WriteFile(dir_ + "/in/b.eml", Mail("uid-b", "X-Fake-Other-Writes: " + other + "\n"));
  WriteFile(other, Crlf(Mail("uid-o", "X-Fake-Other-Writes: " + other + "\n")));
  WriteFile(z, failing);
  ToolResult r =
      RunTool(MS_IMPORT_TOOL,
              Args(user, {"--folder", "InRun", "--report", report, dir_ + "/in"}, MS_FAKE_LIBRARY),
              {{"FAKE_MAILSTORAGE_FORWARD", MS_MAILSTORAGE_LIBRARY}});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(SummaryCount(r.out, "found in the store after a 1001"), 1) << r.out;
  std::map<int64_t, std::string> blobs;  // UID -> stored bytes
  for (const auto& l : Links(Folders(user)["inrun"])) blobs[l.uid] = ReadFile(l.blob_path);
  std::vector<ReportRow> rows;
  std::string error;
  ASSERT_TRUE(ReadReport(report, &rows, &error)) << error;
  ASSERT_EQ(rows.size(), 3u);
  for (const auto& row : rows) {
    EXPECT_EQ(blobs[row.uid], Crlf(ReadFile(row.source))) << row.source << " as UID " << row.uid;
  }
  // Now the folder's last link is the failed call's: a call for it again
  // that fails and links nothing (the double alone) must be made once more.
  ToolResult again = RunTool(MS_IMPORT_TOOL, Args(user, {"--folder", "InRun", z}, MS_FAKE_LIBRARY),
                             {{"FAKE_MAILSTORAGE_LOG", dir_ + "/again.log"}});
  EXPECT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_EQ(mstest::Occurrences(ReadFile(dir_ + "/again.log"), "call\t"), 2u) << again.out;

  // A rerun from a journal whose last word on the linked mail is that error.
  ASSERT_EQ(Import(user, {"--folder", "Rerun", z}).status, 0);
  WriteFile(dir_ + "/run.journal", JournalRecord("begin", "-", -1, Crlf(failing), z) +
                                       JournalRecord("done", "1001", -1, Crlf(failing), z));
  ToolResult rerun = Import(user, {"--folder", "Rerun", "--journal", dir_ + "/run.journal", z});
  EXPECT_EQ(rerun.status, 0) << rerun.out << rerun.err;
  EXPECT_EQ(SummaryCount(rerun.out, "of which found in the store"), 1) << rerun.out;
  Contents expected = {{"rerun", {Label(Crlf(failing))}}};
  for (const auto& file : {"a.eml", "b.eml", "z.eml", "../other.eml"}) {
    expected["inrun"].insert(Label(Crlf(ReadFile(dir_ + "/in/" + file))));
  }
  ExpectHolds(user, expected);
}

// The database stops mid-import, over the same mails each time. Down a few
// seconds while two threads import: the one run waits for it, says so, and
// completes without failures. Down longer than a short --outage-wait: the
// run stops instead of failing every item left. In bulk mode, which does not
// wait, the batches that meet it fail mail by mail. The same command then
// stores exactly what is missing. More report rows than a pipe holds keep a
// run from finishing before the store is down.
TEST_F(ImportFaults, DatabaseStoppedMidImportIsWaitedOutOrLeftForTheRerun) {
  const auto expected = WriteMails("outage", 800, "Outage");
  const std::string in = dir_ + "/in";
  // The library logs to LogDir beside the executable: a file there (not even
  // root can write into it) stops nothing either.
  fs::create_directories(dir_ + "/bin");
  fs::copy_file(MS_IMPORT_TOOL, dir_ + "/bin/mailstorage-import");
  WriteFile(dir_ + "/bin/LogDir", "not a directory\n");
  const int64_t waits = NewUser(92002);
  ToolResult r = RunIntoAnOutage(  // down long enough for several probes
      waits, {"--folder", "Outage", "--threads", "2", "--journal", dir_ + "/wait.journal", in}, 31,
      6, dir_ + "/bin/mailstorage-import");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(fs::is_regular_file(dir_ + "/bin/LogDir"));
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "database unreachable, retrying in", r.err);
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "database reachable again", r.err);
  EXPECT_EQ(SummaryCount(r.out, "failed"), 0) << r.out;
  ExpectHolds(waits, expected);

  const int64_t stops = NewUser(92003);
  const std::vector<std::string> args = {
      "--folder", "Outage", "--journal", dir_ + "/stop.journal", "--outage-wait", "2", in};
  ASSERT_TRUE(StoreCommand("stop"));
  // The user check needs the database: it fails at once with exit status 2.
  ToolResult down = Import(stops, args);
  ASSERT_TRUE(StoreCommand("start"));
  Reconnect();
  EXPECT_EQ(down.status, 2) << down.out << down.err;
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "cannot connect to the store database", down.err);
  ToolResult stopped = RunIntoAnOutage(stops, args, 6);
  EXPECT_EQ(stopped.status, 1) << stopped.out << stopped.err;
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "Stopped (database unreachable)", stopped.out);
  // Only the call in flight when the database went away failed; the rest
  // were left, not tried. (The first user's copies are linked again.)
  const int left = SummaryCount(stopped.out, "left for the next run");
  EXPECT_GT(left, 0) << stopped.out;
  EXPECT_LE(SummaryCount(stopped.out, "failed"), 1) << stopped.out;
  int outcomes = left;
  for (const char* what : {"imported", "linked again (already stored)", "failed"}) {
    outcomes += SummaryCount(stopped.out, what);
  }
  EXPECT_EQ(outcomes, 800) << stopped.out;
  EXPECT_EQ(Import(stops, args).status, 0);
  ExpectHolds(stops, expected);

  const int64_t bulk = NewUser(92022);
  const std::vector<std::string> bulk_args = {
      "--bulk",    "--batch-mails",        "10", "--folder", "Outage",
      "--journal", dir_ + "/bulk.journal", in};
  ToolResult failed = RunIntoAnOutage(bulk, bulk_args, 31);
  EXPECT_EQ(failed.status, 1) << failed.out << failed.err;
  EXPECT_GT(SummaryCount(failed.out, "failed"), 0) << failed.out;
  ToolResult rerun = Import(bulk, bulk_args);
  EXPECT_EQ(rerun.status, 0) << rerun.out << rerun.err;
  EXPECT_EQ(SummaryCount(rerun.out, "failed"), 0) << rerun.out;
  ExpectHolds(bulk, expected);
}

// A trigger ends the backend inside the library's own statements: within the
// message transaction (body parts), at the file storage record, at the link.
TEST_F(ImportFaults, BackendKilledInsideTheLibrarysStatementsLeavesNoHalfMail) {
  Execute(
      "CREATE SEQUENCE fault_kill_seq; CREATE FUNCTION fault_kill() RETURNS trigger LANGUAGE "
      "plpgsql AS $$ BEGIN IF nextval('fault_kill_seq') = TG_ARGV[0]::bigint THEN PERFORM "
      "pg_terminate_backend(pg_backend_pid()); PERFORM pg_sleep(10); END IF; RETURN NEW; END $$");
  int64_t user = 92010;
  for (const std::string table : {"NS_IMAPBODYPART", "NS_FILESTORAGE", "NS_IMAPMSGINFOLDER"}) {
    SCOPED_TRACE(table);
    NewUser(++user);
    Execute(
        "SELECT setval('fault_kill_seq', 1, false); CREATE TRIGGER fault_kill BEFORE INSERT ON " +
        table + " FOR EACH ROW EXECUTE FUNCTION fault_kill('4')");
    fs::remove_all(dir_ + "/in");
    const auto expected = WriteMails("kill" + table, 12, "Killed");
    ToolResult r = Import(
        user, {"--folder", "Killed", "--journal", dir_ + "/" + table + ".journal", dir_ + "/in"});
    Execute("DROP TRIGGER fault_kill ON " + table);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_GE(std::stoll(Rows("SELECT last_value FROM fault_kill_seq")[0][0]), 4)
        << "the trigger never fired";
    ExpectHolds(user, expected);
  }
  Execute("DROP FUNCTION fault_kill(); DROP SEQUENCE fault_kill_seq");
}

// The same import again while the first is inside a call (no journal): the
// store's run lock refuses it unless allowed. A repair meanwhile removes
// nothing and names the user; once the import has ended it removes the orphan.
TEST_F(ImportFaults, SecondRunOfTheSameImportIsRefusedAndTheRepairWaitsForImports) {
  const int64_t user = NewUser(92009);
  WriteFile(dir_ + "/in/a.eml", Mail("same-a"));
  WriteFile(dir_ + "/in/b.eml", Mail("same-b"));
  CallHold hold(dir_ + "/hold");
  std::map<std::string, std::string> env = hold.Env();
  env["FAKE_MAILSTORAGE_FORWARD"] = MS_MAILSTORAGE_LIBRARY;
  ToolProcess first;
  first.Start(MS_IMPORT_TOOL, Args(user, {"--folder", "Same", dir_ + "/in"}, MS_FAKE_LIBRARY), env);
  hold.Reached();
  ToolResult again = Import(user, {"--folder", "same", dir_ + "/in"});
  EXPECT_EQ(again.status, 2) << again.out << again.err;
  EXPECT_PRED_FORMAT2(testing::IsSubstring,
                      "another run imports into user 92009, folder same, shard 1/1 now", again.err);
  // An orphan old enough for any repair: a mail of another user, unlinked.
  WriteFile(dir_ + "/orphan/o.eml", Mail("orphan"));
  const int64_t other = NewUser(92010);
  ASSERT_EQ(Import(other, {dir_ + "/orphan"}).status, 0);
  Execute("DELETE FROM NS_IMAPMSGINFOLDER WHERE MIF_IMAPMSGINFOLDERID = " +
          std::to_string(Links(Folders(other)["inbox"]).at(0).link_id));
  AgeStore();
  const auto orphans = Orphans();
  ToolResult repair = RunTool(MS_CHECK_TOOL, {"--registry", registry_, "--repair"});
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "imports are running (users 92009)", repair.out);
  EXPECT_EQ(Orphans(), orphans) << "removed while imports ran";
  EXPECT_EQ(Import(user, {"--folder", "Same", "--allow-parallel-runs", dir_ + "/in"}).status, 0);
  hold.Release();
  const ToolResult r = first.Wait();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  // Each mail: once by the first run, once by the allowed second.
  EXPECT_EQ(Stored(user).at("same").count(Label(Crlf(Mail("same-a")))), 2u);
  repair = RunTool(MS_CHECK_TOOL, {"--registry", registry_, "--repair"});
  EXPECT_PRED_FORMAT2(testing::IsNotSubstring, "imports are running", repair.out);
  EXPECT_EQ(Orphans(), (std::vector<std::string>{"0", "0", "0"})) << repair.out;
}

// SIGKILL ten times in a row at random moments (inside a call, between calls,
// while recording), and in bulk mode while a batch is on its way (its
// "begin" records written, its "done" records not yet) or just after one
// committed; then the same command to the end. The store holds every mail
// once; what the kills left the checker finds, and its repair removes it
// without touching a linked mail.
TEST_F(ImportFaults, KilledTenTimesAtRandomThenResumedEqualsAnUninterruptedImport) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  for (const bool bulk : {false, true}) {
    SCOPED_TRACE(bulk ? "bulk" : "per mail");
    const int64_t user = NewUser(bulk ? 92021 : 92007);
    fs::remove_all(dir_ + "/in");
    const auto expected = WriteMails(bulk ? "bulk" : "ten", 150, "Ten");
    std::vector<std::string> args = bulk ? std::vector<std::string>{"--bulk", "--batch-mails", "10"}
                                         : std::vector<std::string>{"--threads", "2"};
    args.insert(args.end(), {"--folder", "Ten", dir_ + "/in"});
    const std::string journal = dir_ + (bulk ? "/bulk.journal" : "/run.journal");
    const auto journal_lines = [&] { return mstest::Occurrences(ReadFile(journal), "\n"); };
    args.insert(args.end() - 1, {"--journal", journal});
    const int runs = bulk ? 6 : 10;
    int kills = 0;
    for (int run = 0; run < runs; ++run) {
      // The kill point follows the run's own progress, not the clock: a
      // few journal lines in (the first batch's begin records, or past its
      // commit), then a random moment later.
      const size_t target =
          journal_lines() + (bulk ? (run % 2 == 0 ? 3 + run : 12)
                                  : std::uniform_int_distribution<size_t>(1, 12)(random));
      ToolProcess p;
      p.Start(MS_IMPORT_TOOL, Args(user, args));
      // The deadline only keeps a broken run from hanging the test.
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (journal_lines() < target && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      std::this_thread::sleep_for(
          std::chrono::milliseconds(bulk ? 0 : std::uniform_int_distribution<int>(0, 20)(random)));
      p.Signal(SIGKILL);
      kills += p.Wait().status == 128 + SIGKILL;
    }
    EXPECT_GE(kills, runs / 2) << "most runs were killed, not finished";
    args.insert(args.begin(), "--verify");
    const ToolResult r = Import(user, args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_PRED_FORMAT2(testing::IsSubstring, "Verify: 150 mails checked, 150 match", r.out);
    ExpectHolds(user, expected);
    const std::vector<std::string> check = {"--registry", registry_, "--list", "0"};
    if (Orphans()[0] != "0") {
      const ToolResult found = RunTool(MS_CHECK_TOOL, check);
      EXPECT_EQ(found.status, 1) << found.out << found.err;
      EXPECT_PRED_FORMAT2(testing::IsSubstring, "records without a message", found.out);
    }
    AgeStore();
    const ToolResult repair = RunTool(MS_CHECK_TOOL, {"--registry", registry_, "--repair"});
    EXPECT_EQ(repair.status, 0) << repair.out << repair.err;
    EXPECT_EQ(RunTool(MS_CHECK_TOOL, check).status, 0);
    EXPECT_EQ(Orphans()[0], "0");
    orphan_messages_before_ = "0";
    ExpectHolds(user, expected);
  }
}

}  // namespace
}  // namespace Nauvik::Import
