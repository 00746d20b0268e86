// mailstorage-import under faults, on a PostgreSQL cluster of this suite's
// own (it is stopped and started mid-import, which must not disturb the other
// tests' store) and real files: calls that did their work and still failed,
// a database that goes away, backends killed inside a transaction, a log
// directory that cannot be written, a second run of the same import, and a
// run killed ten times. After each, the store is audited: every mail linked
// exactly once, no record pointing at a missing or partial blob, every
// message with its body parts and a link.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
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

constexpr int64_t kCompany = 92000;  // users of this suite: 92001 and up, one per test

std::string Mail(const std::string& id, const std::string& extra = "") {
  return "From: Tester <t@example.org>\nTo: u@example.org\nSubject: fault " + id +
         "\nDate: Mon, 2 Feb 2026 10:00:00 +0000\nMessage-ID: <" + id + "@faults.example>\n" +
         extra + "\nbody " + id + "\n" + std::string(200 + id.size() * 37 % 900, 'x') + "\n";
}

// A stored or expected mail as the audit compares it: its Message-ID and a
// hash of its exact bytes (a failure then prints short lines, not mails).
std::string Label(const std::string& bytes) {
  char hash[20];
  snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(ContentHash(bytes)));
  return HeaderField(bytes, "Message-ID").value_or("(none)") + " " + hash + " " +
         std::to_string(bytes.size());
}

using Contents = std::map<std::string, std::multiset<std::string>>;  // folder -> labels

// What the store holds, read back through SQL and the blob files.
struct Audit {
  Contents folders;  // the user's folders, a label per link
  std::vector<std::string> broken;  // records (on online hosts) whose file is missing or has
                                    // another size, messages without body parts
  uint64_t orphan_records = 0;      // live file storage records no message uses
  uint64_t orphan_messages = 0;     // messages without a link
};

class ImportFaults : public StoreSuite {
 protected:
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
    const Audit before = AuditStore(0);
    orphan_messages_before_ = before.orphan_messages;
    orphan_records_before_ = before.orphan_records;
  }

  static bool StoreCommand(const std::string& command) {
    // Without fsync: the server is only ever stopped cleanly and its sessions
    // terminated, never crashed, so nothing these cases look at is lost.
    const std::string line = "'" + std::string(getenv("MS_SOURCE_DIR")) + "/scripts/store' " +
                             (command == "start" ? "start --unsafe-no-fsync" : command) + " '" +
                             store_ + "' >/dev/null 2>&1";
    return system(line.c_str()) == 0;
  }
  // n mails below dir_/in (every fifth in a sub-folder); their CRLF bytes by
  // folder as the store should hold them under `folder`.
  Contents WriteMails(const std::string& prefix, int n, const std::string& folder) {
    Contents expected;
    for (int i = 0; i < n; ++i) {
      const std::string id = prefix + std::to_string(i);
      char name[32];
      snprintf(name, sizeof name, "%s%04d.eml", i % 5 == 4 ? "sub/" : "", i);
      WriteFile(dir_ + "/in/" + name, Mail(id));
      expected[FolderKey(folder) + (i % 5 == 4 ? ".sub" : "")].insert(Label(Crlf(Mail(id))));
    }
    return expected;
  }

  Audit AuditStore(int64_t user) {
    Audit a;
    for (const auto& [key, id] : Folders(user)) {
      for (const auto& l : Links(id)) a.folders[key].insert(Label(ReadFile(l.blob_path)));
    }
    for (const auto& r : Rows("SELECT FSH.FSH_HOSTPATH || FIS.FIS_LOCATION, FIS.FIS_SIZE FROM "
                              "NS_FILESTORAGE FIS JOIN NS_FILESTORAGEHOST FSH ON "
                              "FIS.FSH_FILESTORAGEHOSTID = FSH.FSH_FILESTORAGEHOSTID WHERE "
                              "FIS.FIS_DELETED IS NULL AND FSH.FSH_ONLINE = 1")) {
      std::string path = r[0];
      for (char& c : path) c = c == '\\' ? '/' : c;
      std::error_code ec;
      const auto size = fs::file_size(path, ec);
      if (ec || std::to_string(size) != r[1]) {
        a.broken.push_back("record " + path + " of size " + r[1] + ": file " +
                           (ec ? "missing" : "has " + std::to_string(size) + " bytes"));
      }
    }
    for (const auto& r : Rows("SELECT IMM.IMM_IMAPMESSAGEID, (SELECT COUNT(*) FROM NS_IMAPBODYPART "
                              "B WHERE B.IMM_IMAPMESSAGEID = IMM.IMM_IMAPMESSAGEID), (SELECT "
                              "COUNT(*) FROM NS_IMAPMSGINFOLDER L WHERE L.IMM_IMAPMESSAGEID = "
                              "IMM.IMM_IMAPMESSAGEID) FROM NS_IMAPMESSAGE IMM")) {
      if (r[1] == "0") a.broken.push_back("message " + r[0] + " without body parts");
      a.orphan_messages += r[2] == "0";
    }
    a.orphan_records = std::stoull(
        Rows("SELECT COUNT(*) FROM NS_FILESTORAGE FIS WHERE FIS.FIS_DELETED IS NULL AND NOT "
             "EXISTS (SELECT 1 FROM NS_IMAPMESSAGE IMM WHERE IMM.FIS_FILESTORAGEID = "
             "FIS.FIS_FILESTORAGEID)")[0][0]);
    return a;
  }

  // Makes every record and blob file two hours older: the repair's age floor.
  void AgeStore() {
    Execute("UPDATE NS_FILESTORAGE SET FIS_CREATED = FIS_CREATED - INTERVAL '2 hours'");
    for (const auto& r : Rows("SELECT FSH_HOSTPATH FROM NS_FILESTORAGEHOST")) {
      std::string root = r[0];
      for (char& c : root) c = c == '\\' ? '/' : c;
      std::error_code ec;
      for (auto it = fs::recursive_directory_iterator(root, ec);
           !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec)) {
          fs::last_write_time(it->path(), it->last_write_time(ec) - std::chrono::hours(2), ec);
        }
      }
    }
  }

  // Nothing broken, and no message left without a link by this test.
  void ExpectSound(const Audit& a) {
    EXPECT_EQ(a.broken, std::vector<std::string>{});
    EXPECT_EQ(a.orphan_messages, orphan_messages_before_) << "messages without a link";
  }

  // What earlier tests left.
  uint64_t orphan_messages_before_ = 0;
  uint64_t orphan_records_before_ = 0;

  // Runs the importer with its report into a pipe, stops the store once
  // `rows` report lines have come, lets the run end, starts the store again.
  ToolResult RunIntoAnOutage(int64_t user, std::vector<std::string> args, int rows) {
    const std::string fifo = dir_ + "/report.fifo";
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    args.insert(args.begin(), {"--report", fifo});
    ToolProcess p;
    p.Start(MS_IMPORT_TOOL, Args(user, args));
    std::ifstream report(fifo);
    std::string line;
    for (int seen = 0; seen < rows && std::getline(report, line);) ++seen;
    EXPECT_TRUE(StoreCommand("stop"));
    while (std::getline(report, line)) {
    }
    ToolResult r = p.Wait();
    EXPECT_TRUE(StoreCommand("start"));
    Reconnect();
    return r;
  }
  void ExpectHolds(int64_t user, const Contents& expected) {
    const Audit a = AuditStore(user);
    EXPECT_EQ(Difference(a.folders, expected), "") << "stored links against the mails given";
    ExpectSound(a);
  }
  // What one side has more of than the other, folder by folder ("" when equal).
  static std::string Difference(const Contents& stored, const Contents& expected) {
    std::string text;
    std::set<std::string> folders;
    for (const auto* side : {&stored, &expected}) {
      for (const auto& [folder, labels] : *side) folders.insert(folder);
    }
    for (const auto& folder : folders) {
      const auto s = stored.count(folder) ? stored.at(folder) : std::multiset<std::string>{};
      const auto e = expected.count(folder) ? expected.at(folder) : std::multiset<std::string>{};
      std::vector<std::string> extra, missing;
      std::set_difference(s.begin(), s.end(), e.begin(), e.end(), std::back_inserter(extra));
      std::set_difference(e.begin(), e.end(), s.begin(), s.end(), std::back_inserter(missing));
      for (const auto& l : extra) text += folder + ": linked once more: " + l + "\n";
      for (const auto& l : missing) text += folder + ": not linked: " + l + "\n";
    }
    return text;
  }
  static inline std::string store_;
  const std::string dir_ = MakeScratchDirectory(
      std::string("fault-") + testing::UnitTest::GetInstance()->current_test_info()->name());
};

// The double forwards each call to the real library and then reports the
// database error for the mail that asks for it: the link is in the store, the
// importer is told the call failed. Neither the retry in the run nor a rerun
// from the journal may link it again.
TEST_F(ImportFaults, CallThatLinkedAndThenFailedIsCountedDoneNotLinkedAgain) {
  const int64_t user = NewUser(92001);
  const std::string failing = Mail("committed", "X-Fake-Result: 1001 once\n");
  WriteFile(dir_ + "/in/a.eml", Mail("plain"));
  WriteFile(dir_ + "/in/b.eml", failing);
  const std::map<std::string, std::string> env = {{"FAKE_MAILSTORAGE_FORWARD",
                                                   MS_MAILSTORAGE_LIBRARY}};
  ToolResult r = RunTool(MS_IMPORT_TOOL, Args(user, {"--folder", "InRun", dir_ + "/in"},
                                              MS_FAKE_LIBRARY),
                         env);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(SummaryCount(r.out, "found in the store after a 1001"), 1) << r.out;
  // Now the folder's last link is that mail: a call for it again that fails
  // and links nothing (the double alone) must be made once more.
  ToolResult again = RunTool(
      MS_IMPORT_TOOL, Args(user, {"--folder", "InRun", dir_ + "/in/b.eml"}, MS_FAKE_LIBRARY),
      {{"FAKE_MAILSTORAGE_LOG", dir_ + "/again.log"}});
  EXPECT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_EQ(mstest::Occurrences(ReadFile(dir_ + "/again.log"), "call\t"), 2u) << again.out;

  // A rerun from a journal whose last word on the mail is that database error,
  // while the call had linked it.
  ASSERT_EQ(Import(user, {"--folder", "Rerun", dir_ + "/in/b.eml"}).status, 0);
  const std::string journal = dir_ + "/run.journal";
  char hash[20];
  snprintf(hash, sizeof hash, "%016llx",
           static_cast<unsigned long long>(ContentHash(Crlf(failing))));
  const std::string fields = "\t-1\t" + std::to_string(Crlf(failing).size()) + "\t" + hash +
                             "\t" + dir_ + "/in/b.eml\n";
  WriteFile(journal, "begin\t-" + fields + "done\t1001" + fields);
  ToolResult rerun = Import(user, {"--folder", "Rerun", "--journal", journal, dir_ + "/in/b.eml"});
  EXPECT_EQ(rerun.status, 0) << rerun.out << rerun.err;
  EXPECT_EQ(SummaryCount(rerun.out, "of which found in the store"), 1) << rerun.out;

  const Audit a = AuditStore(user);
  EXPECT_EQ(a.folders.at("inrun"),
            (std::multiset<std::string>{Label(Crlf(Mail("plain"))), Label(Crlf(failing))}));
  EXPECT_EQ(a.folders.at("rerun"), std::multiset<std::string>{Label(Crlf(failing))});
  ExpectSound(a);
}

// Another writer links a mail of the same size into the folder right after
// the first call; the second mail has that size too. The report names for
// each item the UID of the link that holds its bytes.
TEST_F(ImportFaults, ReportNamesEachMailsOwnUidBesideAnotherWriter) {
  const int64_t user = NewUser(92020);
  const std::string other = dir_ + "/other.eml";
  WriteFile(dir_ + "/in/a.eml", Mail("uid-a", "X-Fake-Other-Writer: " + other + "\n"));
  WriteFile(dir_ + "/in/b.eml", Mail("uid-b", "X-Fake-Other-Writes: " + other + "\n"));
  WriteFile(other, Crlf(Mail("uid-o", "X-Fake-Other-Writes: " + other + "\n")));
  const std::string report = dir_ + "/report.csv";
  ToolResult r = RunTool(
      MS_IMPORT_TOOL,
      Args(user, {"--folder", "Uids", "--report", report, dir_ + "/in"}, MS_FAKE_LIBRARY),
      {{"FAKE_MAILSTORAGE_FORWARD", MS_MAILSTORAGE_LIBRARY}});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::map<int64_t, std::string> blobs;  // UID -> stored bytes
  for (const auto& l : Links(Folders(user)["uids"])) blobs[l.uid] = ReadFile(l.blob_path);
  ASSERT_EQ(blobs.size(), 3u);
  std::vector<ReportRow> rows;
  std::string error;
  ASSERT_TRUE(ReadReport(report, &rows, &error)) << error;
  ASSERT_EQ(rows.size(), 2u);
  for (const auto& row : rows) {
    EXPECT_EQ(blobs[row.uid], Crlf(ReadFile(row.source))) << row.source << " as UID " << row.uid;
  }
}

// The database stops while two threads import (their calls fail with the
// database error) and comes back a few seconds later: the one run waits for
// it, says so, and completes the set without failures.
TEST_F(ImportFaults, DatabaseStoppedAndStartedMidImportOneRunCompletes) {
  const int64_t user = NewUser(92002);
  const auto expected = WriteMails("outage", 200, "Outage");
  const std::string fifo = dir_ + "/report.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ToolProcess p;
  p.Start(MS_IMPORT_TOOL, Args(user, {"--folder", "Outage", "--threads", "2", "--journal",
                                      dir_ + "/run.journal", "--report", fifo, dir_ + "/in"}));
  std::ifstream rows(fifo);
  std::string line;
  for (int seen = 0; seen < 31 && std::getline(rows, line);) ++seen;  // header + 30 mails
  ASSERT_TRUE(StoreCommand("stop"));
  // Down long enough for several probes of the importer.
  std::this_thread::sleep_for(std::chrono::seconds(6));
  ASSERT_TRUE(StoreCommand("start"));
  while (std::getline(rows, line)) {
  }
  ToolResult r = p.Wait();
  Reconnect();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.err.find("database unreachable, retrying in"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("database reachable again"), std::string::npos) << r.err;
  EXPECT_EQ(SummaryCount(r.out, "failed"), 0) << r.out;
  ExpectHolds(user, expected);
}

// With a short --outage-wait the run stops at the outage instead of failing every
// item that is left, and the same command finishes the set later.
TEST_F(ImportFaults, OutageLongerThanTheWaitStopsTheRunAndTheRerunFinishes) {
  const int64_t user = NewUser(92003);
  const auto expected = WriteMails("stop", 200, "Stop");
  ASSERT_TRUE(StoreCommand("stop"));
  const std::vector<std::string> args = {"--folder",      "Stop", "--journal", dir_ + "/run.journal",
                                         "--outage-wait", "2",    dir_ + "/in"};
  // The user check needs the database: it fails at once with exit status 2.
  ToolResult down = Import(user, args);
  ASSERT_TRUE(StoreCommand("start"));
  Reconnect();
  EXPECT_EQ(down.status, 2) << down.out << down.err;
  EXPECT_NE(down.err.find("cannot connect to the store database"), std::string::npos) << down.err;

  ToolResult stopped = RunIntoAnOutage(user, args, 6);
  EXPECT_EQ(stopped.status, 1) << stopped.out << stopped.err;
  EXPECT_NE(stopped.out.find("Stopped (database unreachable)"), std::string::npos) << stopped.out;
  // Only the call in flight when the database went away failed; the rest
  // were left, not tried.
  EXPECT_GT(SummaryCount(stopped.out, "left for the next run"), 0) << stopped.out;
  EXPECT_LE(SummaryCount(stopped.out, "failed"), 1) << stopped.out;
  EXPECT_EQ(SummaryCount(stopped.out, "imported") + SummaryCount(stopped.out, "failed") +
                SummaryCount(stopped.out, "left for the next run"),
            200)
      << stopped.out;

  ToolResult rerun = Import(user, args);
  EXPECT_EQ(rerun.status, 0) << rerun.out << rerun.err;
  ExpectHolds(user, expected);
}

// The backend is ended from inside the library's own statements (a trigger
// that terminates its own session on the nth row): within the message
// transaction (body parts), at the file storage record and at the link. The
// call fails with the database error; the retry brings every mail in once,
// and no message is left without its body parts or a link.
TEST_F(ImportFaults, BackendKilledInsideTheLibrarysStatementsLeavesNoHalfMail) {
  Execute(
      "CREATE SEQUENCE fault_kill_seq; CREATE FUNCTION fault_kill() RETURNS trigger LANGUAGE "
      "plpgsql AS $$ BEGIN IF nextval('fault_kill_seq') = TG_ARGV[0]::bigint THEN PERFORM "
      "pg_terminate_backend(pg_backend_pid()); PERFORM pg_sleep(10); END IF; RETURN NEW; END $$");
  int64_t user = 92010;
  for (const char* table : {"NS_IMAPBODYPART", "NS_FILESTORAGE", "NS_IMAPMSGINFOLDER"}) {
    SCOPED_TRACE(table);
    NewUser(++user);
    Execute("SELECT setval('fault_kill_seq', 1, false); CREATE TRIGGER fault_kill BEFORE INSERT "
            "ON " +
            std::string(table) + " FOR EACH ROW EXECUTE FUNCTION fault_kill('4')");
    fs::remove_all(dir_ + "/in");
    const auto expected = WriteMails(std::string("kill") + table, 12, "Killed");
    ToolResult r = Import(user, {"--folder", "Killed", "--journal",
                                 dir_ + "/" + table + ".journal", dir_ + "/in"});
    Execute("DROP TRIGGER fault_kill ON " + std::string(table));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_GE(std::stoll(Rows("SELECT last_value FROM fault_kill_seq")[0][0]), 4)
        << "the trigger never fired";
    ExpectHolds(user, expected);
    printf("killed at %s: %llu file storage records without a message so far\n", table,
           static_cast<unsigned long long>(AuditStore(user).orphan_records -
                                           orphan_records_before_));
    fflush(stdout);  // before the next fork
  }
  Execute("DROP FUNCTION fault_kill(); DROP SEQUENCE fault_kill_seq");
}

// The dry run weighs the bytes to store against the free space of every
// writable storage host: a small tmpfs cannot take them, the others can.
TEST_F(ImportFaults, DryRunWeighsTheBytesAgainstEachStorageHost) {
  const std::string small = dir_ + "/small";
  fs::create_directories(small);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs at " << small << " (" << strerror(errno)
                 << "): this needs root";
  }
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{small};
  Execute(
      "INSERT INTO NS_FILESTORAGEHOST (FSH_FILESTORAGEHOSTID, FSH_DESCRIPTION, FSH_HOSTPATH, "
      "FSH_ONLINE, FSH_WRITABLE, FSH_TOTALSIZE, FSH_USEDSIZE, FSH_CATEGORY) VALUES (92001, "
      "'small', '" + small + "', 1, 1, 0, 0, 0)");
  const int64_t user = NewUser(92004);
  uint64_t bytes = 0;
  for (int i = 0; i < 40; ++i) {
    const std::string mail =
        Mail("full" + std::to_string(i), i % 4 == 1 ? "X-Big: " + std::string(100000, 'b') + "\n" : "");
    WriteFile(dir_ + "/in/" + std::to_string(100 + i) + ".eml", mail);
    bytes += Crlf(mail).size();
  }
  ToolResult dry = Import(user, {"--dry-run", "--folder", "full", dir_ + "/in"});
  Execute("UPDATE NS_FILESTORAGEHOST SET FSH_ONLINE = 0, FSH_WRITABLE = 0 WHERE "
          "FSH_FILESTORAGEHOSTID = 92001");
  EXPECT_EQ(dry.status, 0) << dry.out << dry.err;
  char line[80];
  snprintf(line, sizeof line, "Bytes to store: %.1f MB after line-end conversion (every",
           bytes / 1e6);
  EXPECT_NE(dry.out.find(line), std::string::npos) << dry.out;
  const size_t host = dry.out.find("storage host " + small + " ");
  ASSERT_NE(host, std::string::npos) << dry.out;
  EXPECT_NE(dry.out.substr(host, dry.out.find('\n', host) - host).find("(less than this"),
            std::string::npos)
      << dry.out;
  EXPECT_NE(dry.out.find("the import fits"), std::string::npos) << dry.out;
}

// The library logs to LogDir beside the host's executable. A copy of the
// importer whose LogDir is a file, not a directory (so not even root can
// write there), still imports everything.
TEST_F(ImportFaults, UnwritableLogDirectoryDoesNotStopImporting) {
  const int64_t user = NewUser(92005);
  const auto expected = WriteMails("nolog", 10, "NoLog");
  fs::create_directories(dir_ + "/bin");
  fs::copy_file(MS_IMPORT_TOOL, dir_ + "/bin/mailstorage-import");
  WriteFile(dir_ + "/bin/LogDir", "not a directory\n");
  ToolResult r = RunTool(dir_ + "/bin/mailstorage-import",
                         Args(user, {"--folder", "NoLog", "--threads", "2", dir_ + "/in"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(fs::is_regular_file(dir_ + "/bin/LogDir"));
  ExpectHolds(user, expected);
}

// The same import started again while the first runs (no journal): the
// store's run lock refuses it with 2 before any call, unless it is allowed
// knowingly. A repair meanwhile removes nothing
// and names the user; once the import has ended it removes the orphan.
TEST_F(ImportFaults, SecondRunOfTheSameImportIsRefusedAndTheRepairWaitsForImports) {
  const int64_t user = NewUser(92009);
  WriteFile(dir_ + "/in/a.eml", Mail("same-a"));
  WriteFile(dir_ + "/in/b.eml", Mail("same-b"));
  CallHold hold(dir_ + "/hold");
  std::map<std::string, std::string> env = hold.Env();
  env["FAKE_MAILSTORAGE_FORWARD"] = MS_MAILSTORAGE_LIBRARY;
  ToolProcess first;
  first.Start(MS_IMPORT_TOOL, Args(user, {"--folder", "Same", dir_ + "/in"}, MS_FAKE_LIBRARY),
              env);
  hold.Reached();
  ToolResult again = Import(user, {"--folder", "same", dir_ + "/in"});
  EXPECT_EQ(again.status, 2) << again.out << again.err;
  EXPECT_NE(again.err.find("another run imports into user 92009, folder same, shard 1/1 now"),
            std::string::npos)
      << again.err;
#ifdef MS_CHECK_TOOL
  // An orphan old enough for any repair: a mail of another user, unlinked.
  const int64_t other = NewUser(92010);
  WriteFile(dir_ + "/orphan/o.eml", Mail("orphan"));
  ASSERT_EQ(Import(other, {dir_ + "/orphan"}).status, 0);
  const std::string orphan = "(SELECT FIS_FILESTORAGEID FROM NS_IMAPMESSAGE WHERE IMM_MESSAGEID "
                             "= '<orphan@faults.example>')";
  Execute("DELETE FROM NS_IMAPMSGINFOLDER WHERE IMM_IMAPMESSAGEID IN (SELECT IMM_IMAPMESSAGEID "
          "FROM NS_IMAPMESSAGE WHERE IMM_MESSAGEID = '<orphan@faults.example>')");
  const std::string record = Rows("SELECT " + orphan)[0][0];
  AgeStore();
  const std::string live = "SELECT COUNT(*) FROM NS_FILESTORAGE WHERE FIS_DELETED IS NULL AND "
                           "FIS_FILESTORAGEID = " + record;
  ToolResult repair = RunTool(MS_CHECK_TOOL, {"--registry", registry_, "--repair"});
  EXPECT_NE(repair.out.find("imports are running (users 92009)"), std::string::npos)
      << repair.out << repair.err;
  EXPECT_EQ(Rows(live)[0][0], "1");
#endif
  EXPECT_EQ(Import(user, {"--folder", "Same", "--allow-parallel-runs", dir_ + "/in"}).status, 0);
  hold.Release();
  const ToolResult r = first.Wait();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  // Each mail: once by the first run, once by the allowed second.
  const auto links = AuditStore(user).folders.at("same");
  EXPECT_EQ(links.count(Label(Crlf(Mail("same-a")))), 2u);
#ifdef MS_CHECK_TOOL
  repair = RunTool(MS_CHECK_TOOL, {"--registry", registry_, "--repair"});
  EXPECT_EQ(repair.out.find("imports are running"), std::string::npos) << repair.out;
  EXPECT_EQ(Rows(live)[0][0], "0") << repair.out;
#endif
}

// Lines the journal holds so far (0 before it exists).
size_t JournalLines(const std::string& path) {
  std::ifstream in(path);
  return static_cast<size_t>(
      std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

// SIGKILL at random moments, ten runs in a row, then one run to the end: the
// store holds what one uninterrupted run gives (same folders, every mail
// linked exactly once, byte for byte).
TEST_F(ImportFaults, KilledTenTimesAtRandomThenResumedEqualsAnUninterruptedImport) {
  const int64_t killed = NewUser(92007), whole = NewUser(92008);
  const auto expected = WriteMails("ten", 150, "Ten");
  ASSERT_EQ(Import(whole, {"--folder", "Ten", "--threads", "2", dir_ + "/in"}).status, 0);
  const std::vector<std::string> args = {"--folder",  "Ten", "--threads",
                                         "2",         "--journal", dir_ + "/run.journal",
                                         dir_ + "/in"};
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  int kills = 0;
  for (int run = 0; run < 10; ++run) {
    // The kill point follows the run's own progress, not the clock, so a fast
    // machine does not finish before the kill: a few journal lines in, then a
    // random moment later (inside a call, between calls, while recording).
    const size_t target =
        JournalLines(dir_ + "/run.journal") + std::uniform_int_distribution<size_t>(1, 12)(random);
    ToolProcess p;
    p.Start(MS_IMPORT_TOOL, Args(killed, args));
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (JournalLines(dir_ + "/run.journal") < target &&
           std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 20)(random)));
    p.Signal(SIGKILL);
    kills += p.Wait().status == 128 + SIGKILL;
  }
  EXPECT_GE(kills, 5) << "most runs were killed, not finished";
  std::vector<std::string> resume = args;
  resume.insert(resume.begin(), "--verify");
  ToolResult r = Import(killed, resume);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Verify: 150 mails checked, 150 match"), std::string::npos) << r.out;
  const Audit a = AuditStore(killed), b = AuditStore(whole);
  EXPECT_EQ(a.folders, expected);
  EXPECT_EQ(Difference(a.folders, b.folders), "");
  ExpectSound(a);
  printf("%d of 10 runs killed; %llu file storage records without a message left\n", kills,
         static_cast<unsigned long long>(a.orphan_records - orphan_records_before_));
  fflush(stdout);
#ifdef MS_CHECK_TOOL
  // The store checker finds what the kills left, and its repair removes it
  // without touching a linked mail.
  ToolResult check = RunTool(MS_CHECK_TOOL, {"--registry", registry_, "--list", "0"});
  if (a.orphan_records > 0) {
    EXPECT_EQ(check.status, 1) << check.out << check.err;
    EXPECT_NE(check.out.find("records without a message"), std::string::npos) << check.out;
  }
  AgeStore();
  ToolResult repair = RunTool(MS_CHECK_TOOL, {"--registry", registry_, "--repair"});
  EXPECT_EQ(repair.status, 0) << repair.out << repair.err;
  const Audit repaired = AuditStore(killed);
  EXPECT_EQ(repaired.orphan_records, 0u);
  EXPECT_EQ(repaired.orphan_messages, 0u);
  EXPECT_EQ(Difference(repaired.folders, expected), "");
  EXPECT_EQ(Difference(AuditStore(whole).folders, expected), "");
  orphan_messages_before_ = 0;  // the repair removed what earlier tests left
#endif
}

// Bulk mode: runs are killed while a batch is on its way (its "begin"
// records written, its "done" records not yet) or just after one committed,
// then the same command resumes. Nothing is lost, nothing linked twice, and what the kills left
// (blob files of batches that never committed) the checker finds and its
// repair removes.
TEST_F(ImportFaults, BulkRunsKilledMidBatchThenResumedLoseAndDoubleNothing) {
  const int64_t killed = NewUser(92021);
  const auto expected = WriteMails("bulk", 150, "Bulk");
  const std::string journal = dir_ + "/bulk.journal";
  const std::vector<std::string> args = {"--bulk",    "--batch-mails", "10",   "--folder",
                                         "Bulk",      "--journal",     journal, dir_ + "/in"};
  int kills = 0;
  for (int run = 0; run < 6; ++run) {
    // A few records past the last run's (the begin records of its first
    // batch), or past that batch's commit (its done records follow it).
    const size_t target = JournalLines(journal) + (run % 2 == 0 ? 3 + run : 12);
    ToolProcess p;
    p.Start(MS_IMPORT_TOOL, Args(killed, args));
    // Each run writes at least a batch's records, so the target is reached;
    // the deadline only keeps a broken run from hanging the test.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (JournalLines(journal) < target && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    p.Signal(SIGKILL);
    kills += p.Wait().status == 128 + SIGKILL;
  }
  EXPECT_GE(kills, 3) << "most runs were killed, not finished";
  std::vector<std::string> resume = args;
  resume.insert(resume.begin(), "--verify");
  const ToolResult r = Import(killed, resume);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Verify: 150 mails checked, 150 match"), std::string::npos) << r.out;
  const Audit a = AuditStore(killed);
  EXPECT_EQ(Difference(a.folders, expected), "");
  ExpectSound(a);
#ifdef MS_CHECK_TOOL
  AgeStore();
  const ToolResult repair = RunTool(MS_CHECK_TOOL, {"--registry", registry_, "--repair"});
  EXPECT_EQ(repair.status, 0) << repair.out << repair.err;
  const ToolResult check = RunTool(MS_CHECK_TOOL, {"--registry", registry_, "--list", "0"});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  EXPECT_EQ(Difference(AuditStore(killed).folders, expected), "");
#endif
}

// Bulk mode does not wait out an outage: the batches that meet it are replayed
// mail by mail, fail and are reported so. The same command afterwards stores
// exactly what is missing. More report rows than a pipe holds keep the run
// from finishing before the database goes.
TEST_F(ImportFaults, BulkRunThroughAnOutageThenTheRerunLosesAndDoublesNothing) {
  const int64_t user = NewUser(92022);
  const auto expected = WriteMails("bulkout", 800, "BulkOut");
  const std::vector<std::string> args = {"--bulk",  "--batch-mails", "10", "--folder",
                                         "BulkOut", "--journal", dir_ + "/run.journal", dir_ + "/in"};
  ToolResult down = RunIntoAnOutage(user, args, 31);
  EXPECT_EQ(down.status, 1) << down.out << down.err;
  EXPECT_GT(SummaryCount(down.out, "failed"), 0) << down.out;
  ToolResult rerun = Import(user, args);
  EXPECT_EQ(rerun.status, 0) << rerun.out << rerun.err;
  EXPECT_EQ(SummaryCount(rerun.out, "failed"), 0) << rerun.out;
  ExpectHolds(user, expected);
}

}  // namespace
}  // namespace Nauvik::Import
