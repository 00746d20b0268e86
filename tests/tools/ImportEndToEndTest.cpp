// mailstorage-import against the real libMailStorage.so and the private
// PostgreSQL store, read through the tool's own ODBC code: every input kind
// with flags and dates, windows and shards, top-up runs, and the checks made
// beforehand.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "tests/tools/StoreFixture.h"
#include "tools/Report.h"

namespace Nauvik::Import {
namespace {

using namespace Test;
using mstest::SummaryCount;

// Users of these tests: 91000 and up, one per test; company 91000.
class ImportEndToEnd : public StoreSuite {
 protected:
  static void SetUpTestSuite() { OpenSharedStore(91000, "import tests"); }

  // Each of the user's folders that holds mail with its links' bytes: in UID
  // order after each UID, or sorted without the UIDs.
  static std::map<std::string, std::vector<std::string>> Stored(int64_t user, bool uids = true) {
    std::map<std::string, std::vector<std::string>> stored;
    for (const auto& [name, id] : Folders(user)) {
      for (const auto& l : Links(id)) {
        stored[name].push_back((uids ? std::to_string(l.uid) + " " : "") + ReadFile(l.blob_path));
      }
    }
    for (auto& [name, bytes] : stored) {
      if (!uids) std::sort(bytes.begin(), bytes.end());
    }
    return stored;
  }

  // The report's rows, sorted (rows come in completion order), without the
  // text, which says whether another user's copy was stored already.
  static std::vector<std::string> ReportLines(const std::string& path) {
    std::vector<ReportRow> rows;
    std::string error;
    EXPECT_TRUE(ReadReport(path, &rows, &error)) << error;
    std::vector<std::string> lines;
    for (const auto& r : rows) {
      lines.push_back(r.source + "|" + std::to_string(r.offset) + "|" + r.folder + "|" + r.result +
                      "|" + std::to_string(r.size) + "|" + r.message_id + "|" +
                      std::to_string(r.uid) + "|" + std::to_string(r.run));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  static std::string Mail(const std::string& id) {
    return "From: Tester <t@example.org>\nTo: u@example.org\nSubject: test " + id +
           "\nDate: Mon, 2 Feb 2026 10:00:00 +0000\nMessage-ID: <" + id +
           "@tools.example>\n\nbody " + id + "\n";
  }
  static std::string MboxMessage(const std::string& id) {
    return "From x Fri Jan  9 08:00:00 2026\n" + Mail(id) + "\n";
  }

  // Writes n mails named 000.eml, 001.eml, ...
  static void WriteMails(const std::string& dir, const std::string& prefix, int n) {
    for (int i = 0; i < n; ++i) {
      char name[32];
      snprintf(name, sizeof name, "/%03d.eml", i);
      WriteFile(dir + name, Mail(prefix + std::to_string(i)));
    }
  }

  const std::string dir_ = MakeScratchDirectory(
      std::string("e2e-") + testing::UnitTest::GetInstance()->current_test_info()->name());
};

// A subscription that outlived its folder makes the call that creates the
// folder answer 1018 without a link; the importer calls again and the mail
// is linked once and counted once.
TEST_F(ImportEndToEnd, SubscriptionWithoutItsFolderStillGetsTheMail) {
  const int64_t user = NewUser(91012);
  Execute(
      "INSERT INTO NS_IMAPSUBSCRIPTION (IMF_SUBSCRIPTIONNAME, USR_USERID, "
      "IMS_IMAPSUBSCRIPTIONID) VALUES ('Presub', " +
      std::to_string(user) + ", nextval('NS_IMAPSUBSCRIPTION_SEQ'))");
  WriteFile(dir_ + "/in/a.eml", Mail("presub"));
  const ToolResult r =
      Import(user, {"--folder", "Presub", "--journal", dir_ + "/run.journal", dir_ + "/in"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(SummaryCount(r.out, "imported"), 1) << r.out;
  EXPECT_EQ(Stored(user, false), (decltype(Stored(0)){{"presub", {Crlf(Mail("presub"))}}}));
}

// A killed run can leave calls whose outcome the journal never got ("begin"
// lines). One such mail made it into the store; the run, through the test
// double of the library, gives the library only the others, including a
// second mail with the same bytes (the one link accounts for one of them).
TEST_F(ImportEndToEnd, UnfinishedCallsOfAKilledRunAreLookedUpInTheStore) {
  const int64_t user = NewUser(91007);
  const std::string stored = Mail("stored");
  WriteFile(dir_ + "/made-it/a.eml", stored);
  ASSERT_EQ(Import(user, {dir_ + "/made-it"}).status, 0);
  std::string journal;
  for (const char* name : {"a.eml", "b.eml", "c.eml"}) {
    WriteFile(dir_ + "/in/" + name, name[0] == 'c' ? Mail("never-arrived") : stored);
    journal += "begin\t-\t-1\t0\t0\t" + dir_ + "/in/" + name + "\n";
  }
  WriteFile(dir_ + "/run.journal", journal);
  ToolResult r =
      RunTool(MS_IMPORT_TOOL,
              Args(user, {"--journal", dir_ + "/run.journal", dir_ + "/in"}, MS_FAKE_LIBRARY),
              {{"FAKE_MAILSTORAGE_LOG", dir_ + "/calls.log"}});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(SummaryCount(r.out, "of which found in the store"), 1) << r.out;
  EXPECT_EQ(mstest::Occurrences(ReadFile(dir_ + "/calls.log"), "call\t"), 2u)
      << ReadFile(dir_ + "/calls.log");
  EXPECT_EQ(Links(Folders(user)["inbox"]).size(), 1u) << "the double links nothing";
}

// Top-up runs while the old system is in use. The Maildir's user reads both
// mails (new/1001 moves to cur/ with ":2,S", cur/1002's flags change) and a
// third arrives; a mail client rewrites the mbox, its last message deleted
// and a new one appended where it began. Only the new mails are linked, the
// flag changes are reported, --skip-linked adds nothing, and a journal of an
// earlier release (Maildir files by path, mbox messages by offset) resumes.
// The first run starts paused by its pause file: it makes no call, shows
// "paused" in its status file and names its connections in pg_stat_activity.
TEST_F(ImportEndToEnd, TopUpOfAReadMaildirAndARewrittenMboxLinksEachMailOnce) {
  const int64_t user = NewUser(91009);
  const std::string md = dir_ + "/Maildir", mbox = dir_ + "/box.mbox";
  const std::string report = dir_ + "/report.csv", pause = dir_ + "/pause", status = dir_ + "/stat";
  const std::vector<std::string> args = {
      "--journal", dir_ + "/run.journal", "--report", report, "--pause-file",
      pause,       "--status-file",       status,     md,     mbox};
  WriteFile(md + "/new/1001.host", Mail("read-a"));
  WriteFile(md + "/cur/1002.host:2,", Mail("read-b"));
  WriteFile(mbox, MboxMessage("box-1") + MboxMessage("box-2") + MboxMessage("box-3"));
  WriteFile(pause, "");
  ToolProcess paused;
  paused.Start(MS_IMPORT_TOOL, Args(user, args));
  while (ReadFile(status).find("\"note\": \"paused\"") == std::string::npos) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // polls for the event
  }
  EXPECT_TRUE(Folders(user).empty()) << "no call while paused";
  EXPECT_NE(Rows("SELECT COUNT(*) FROM pg_stat_activity WHERE application_name = "
                 "'mailstorage-import'")[0][0],
            "0");
  std::filesystem::remove(pause);
  ASSERT_EQ(paused.Wait().status, 0);
  EXPECT_NE(ReadFile(status).find("\"finished\": true"), std::string::npos) << ReadFile(status);
  std::filesystem::rename(md + "/new/1001.host", md + "/cur/1001.host:2,S");
  std::filesystem::rename(md + "/cur/1002.host:2,", md + "/cur/1002.host:2,S");
  WriteFile(md + "/new/1003.host", Mail("read-c"));
  WriteFile(mbox, MboxMessage("box-1") + MboxMessage("box-2") + MboxMessage("box-4"));

  ToolResult top = Import(user, args);
  ASSERT_EQ(top.status, 0) << top.out << top.err;
  EXPECT_EQ(SummaryCount(top.out, "of which flags changed at source"), 2) << top.out;
  // By folder: source items, new, linked again, done in an earlier run.
  EXPECT_PRED_FORMAT2(testing::IsSubstring,
                      "    INBOX                                   6        2        0        4",
                      top.out);
  const int64_t inbox = Folders(user)["inbox"];
  const auto links = Links(inbox);
  ASSERT_EQ(links.size(), 7u);
  // The report covers both runs: each stored mail's row with its UID and
  // run, then the flag changes.
  std::multiset<std::string> stored, expected;  // uid,run
  int flag_rows = 0;
  for (const auto& row : Split(ReadFile(report), '\n')) {
    const auto cells = Split(row, ',');  // the last cells hold no comma
    if (row.find(",INBOX,0,OK,") != std::string::npos) {
      stored.insert(cells[cells.size() - 2] + "," + cells.back());
    }
    flag_rows += row.find("changed from '' to 'S' (not applied)") != std::string::npos;
  }
  for (size_t i = 0; i < links.size(); ++i) {
    expected.insert(std::to_string(links[i].uid) + (i < 5 ? ",1\r" : ",2\r"));
  }
  EXPECT_EQ(stored, expected);
  EXPECT_EQ(flag_rows, 2);

  ToolResult skip = Import(user, {"--skip-linked", md, mbox});
  ASSERT_EQ(skip.status, 0) << skip.out << skip.err;
  EXPECT_EQ(SummaryCount(skip.out, "already in the folder (skip-linked)"), 6) << skip.out;
  EXPECT_EQ(Links(inbox).size(), 7u);

  // The earlier release's journal knows the Maildir files by their old
  // paths and the mbox messages by offset; the client then deleted the
  // mbox's first message, and every other one moved.
  std::string legacy;
  for (const auto& [id, path] : {std::pair{"read-a", "/new/1001.host"},
                                 {"read-b", "/cur/1002.host:2,"},
                                 {"read-c", "/new/1003.host"}}) {
    legacy += JournalRecord("done", "0", -1, Crlf(Mail(id)), md + path);
  }
  int64_t offset = 0;
  for (const char* id : {"box-1", "box-2", "box-4"}) {
    legacy += JournalRecord("done", "0", offset, Crlf(Mail(id)), mbox);
    offset += static_cast<int64_t>(MboxMessage(id).size());
  }
  WriteFile(dir_ + "/legacy.journal", legacy);
  WriteFile(mbox, MboxMessage("box-2") + MboxMessage("box-4"));
  ToolResult old = Import(user, {"--journal", dir_ + "/legacy.journal", md, mbox});
  ASSERT_EQ(old.status, 0) << old.out << old.err;
  EXPECT_EQ(SummaryCount(old.out, "done in an earlier run (journal)"), 5) << old.out;
  EXPECT_EQ(Links(inbox).size(), 7u);

  // Sign-off: the report of both runs against the store, then with a link gone.
  const std::vector<std::string> check = {"--registry", registry_,  "--account",
                                          "91009",      "--report", report};
  ToolResult complete = RunTool(MS_CHECK_TOOL, check);
  EXPECT_EQ(complete.status, 0) << complete.out << complete.err;
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "complete: all 6 mails of the report are in the store",
                      complete.out);
  Execute("DELETE FROM NS_IMAPMSGINFOLDER WHERE MIF_IMAPMSGINFOLDERID = " +
          std::to_string(links[1].link_id));
  ToolResult missing = RunTool(MS_CHECK_TOOL, check);
  EXPECT_EQ(missing.status, 1) << missing.out << missing.err;
  EXPECT_PRED_FORMAT2(
      testing::IsSubstring,
      "missing: " + md + "/cur/1002.host:2, in INBOX as UID " + std::to_string(links[1].uid),
      missing.out);
}

// The dry run reads the user's rights as the library adds them up, sees a
// directory "a.b" beside "a/b" fall into one folder, and weighs the bytes.
TEST_F(ImportEndToEnd, DryRunAnswersRightsAndFolderClashes) {
  const int64_t user = NewUser(91020);
  WriteFile(dir_ + "/first.eml", Mail("first"));
  ASSERT_EQ(Import(user, {"--folder", "Top.Locked", dir_ + "/first.eml"}).status, 0);
  ASSERT_EQ(Import(user, {"--folder", "Top.Open", dir_ + "/first.eml"}).status, 0);
  Execute(
      "UPDATE NS_IMAPFOLDERACCESS SET IFA_AR_INSERT = 0, IFA_AR_CREATE = 0 WHERE "
      "IMF_IMAPFOLDERID = " +
      std::to_string(Folders(user)["top.locked"]));
  for (const char* name : {"Locked/a", "Locked/sub/b", "Open/a.b/c", "Open/a/b/d"}) {
    WriteFile(dir_ + "/in/" + name + ".eml", Mail(name));
  }
  ToolResult dry = Import(user, {"--dry-run", "--folder", "Top", dir_ + "/in"});
  ASSERT_EQ(dry.status, 0) << dry.out << dry.err;
  for (const std::string& answer : std::vector<std::string>{
           "Store: user 91020 of company 91000: exists", "the import fits",
           "  Top.Locked                               exists; NO RIGHT to put mail in (insert)",
           "  Top.Locked.sub                           new; NO RIGHT to create it below top.locked",
           "  Top.Open.a.b                             new; may be created below top.open",
           "fall together into one folder (letter case, a level cut at 100 characters, or a.b "
           "beside a/b): Top.Open.a.b from " +
               dir_ + "/in/Open/a.b, " + dir_ + "/in/Open/a/b"}) {
    EXPECT_PRED_FORMAT2(testing::IsSubstring, answer, dry.out);
  }

  // The bytes weighed against each writable storage host: a small tmpfs
  // (category 1, where the library stores nothing) cannot take them.
  const std::string small = dir_ + "/small", big = Mail("big") + std::string(100000, 'b');
  std::filesystem::create_directories(small);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs at " << small << " (" << strerror(errno)
                 << "): this needs root";
  }
  Execute(
      "INSERT INTO NS_FILESTORAGEHOST (FSH_FILESTORAGEHOSTID, FSH_DESCRIPTION, FSH_HOSTPATH, "
      "FSH_ONLINE, FSH_WRITABLE, FSH_TOTALSIZE, FSH_USEDSIZE, FSH_CATEGORY) VALUES (91020, "
      "'small', '" +
      small + "', 1, 1, 0, 0, 1)");
  WriteFile(dir_ + "/big/big.eml", big);
  ToolResult weighed = Import(user, {"--dry-run", dir_ + "/big"});
  Execute("DELETE FROM NS_FILESTORAGEHOST WHERE FSH_FILESTORAGEHOSTID = 91020");
  umount2(small.c_str(), MNT_DETACH);
  EXPECT_PRED_FORMAT2(testing::IsSubstring,
                      "Bytes to store: 0.1 MB after line-end conversion (every", weighed.out);
  const size_t host = weighed.out.find("storage host " + small + " ");
  EXPECT_LT(weighed.out.find("(less than this", host), weighed.out.find('\n', host)) << weighed.out;
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "the import fits", weighed.out);
}

// An unknown or deleted user stops a run before its first call (exit status
// 2). In a manifest of two accounts, each with a journal and report of its
// own, the unknown one fails its account alone, which sets exit status 1; a
// rerun resumes each account.
TEST_F(ImportEndToEnd, UnknownOrDeletedUserStopsBeforeImporting) {
  const int64_t deleted = NewUser(91006, 1), user = NewUser(91013);
  WriteFile(dir_ + "/a.eml", Mail("never"));
  ToolResult unknown = Import(91999, {dir_ + "/a.eml"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "user unknown: no user 91999", unknown.err);
  ToolResult gone = Import(deleted, {dir_ + "/a.eml"});
  EXPECT_EQ(gone.status, 2);
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "is deleted", gone.err);
  EXPECT_TRUE(Folders(deleted).empty());
  WriteMails(dir_ + "/a", "manifest", 3);
  const std::string company = std::to_string(company_);
  WriteFile(dir_ + "/accounts.csv", "source,user,company,folder\n" + dir_ + "/a,91013," + company +
                                        ",Old.Mail\n" + dir_ + "/a,91999," + company + ",INBOX\n");
  std::vector<std::string> manifest =
      Args(0, {"--manifest", dir_ + "/accounts.csv", "--journal-dir", dir_ + "/journals"});
  manifest.erase(manifest.begin(), manifest.begin() + 4);  // no --user, --company
  ToolResult r = RunTool(MS_IMPORT_TOOL, manifest);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "Accounts: 2 of 2 run", r.out);
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "user unknown: no user 91999", r.err);
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "total: 3 items handled, 0 failed, 1 accounts not ok",
                      r.out);
  EXPECT_EQ(Links(Folders(user)["old.mail"]).size(), 3u);
  const std::string base = dir_ + "/journals/91013-" + company + "-old.mail";
  EXPECT_TRUE(std::filesystem::exists(base + ".journal"));
  EXPECT_TRUE(std::filesystem::exists(base + ".csv"));
  ToolResult again = RunTool(MS_IMPORT_TOOL, manifest);
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(SummaryCount(again.out, "done in an earlier run (journal)"), 3) << again.out;
  EXPECT_EQ(Links(Folders(user)["old.mail"]).size(), 3u);

  // A DatabasePort where something accepts and never answers.
  const int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ASSERT_EQ(listen(silent, 4), 0);  // on a free port
  ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::string reg = ReadFile(registry_);
  const size_t port = reg.find("\"DatabasePort\"=\"") + 16;
  ASSERT_GT(port, 16u);
  reg.replace(port, reg.find('"', port) - port, std::to_string(ntohs(address.sin_port)));
  WriteFile(dir_ + "/silent.reg", reg);
  chmod((dir_ + "/silent.reg").c_str(), 0600);
  const std::string shared = registry_;
  registry_ = dir_ + "/silent.reg";
  ToolResult silent_port = Import(deleted, {dir_ + "/a.eml"});
  registry_ = shared;
  close(silent);
  EXPECT_EQ(silent_port.status, 2) << silent_port.out << silent_port.err;
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "cannot connect to the store database",
                      silent_port.err);
}

// The importer lists, imports and checks a window of items at a time: any window size stores
// what one window over everything stores, and so do two shards at once (the second waits for the
// first to create the folders). Among the inputs, the bundled samples land as named.
TEST_F(ImportEndToEnd, ImportedWindowByWindowAsWhole) {
  const int64_t whole = NewUser(91040), windowed = NewUser(91041), sharded = NewUser(91042);
  const std::string in = dir_ + "/in";
  WriteMails(in + "/tree/a", "t", 4);
  WriteFile(in + "/tree/list.mbox", MboxMessage("x1") + MboxMessage("x2") + MboxMessage("x1"));
  const std::string samples = std::string(getenv("MS_SOURCE_DIR")) + "/samples";
  auto args = [&](int64_t user, std::vector<std::string> extra) {
    extra.insert(extra.begin(), {"--threads", "1", "--verify"});
    extra.insert(extra.end(),
                 {samples + "/Maildir", samples + "/mbox/ops-list.mbox", samples + "/eml", in});
    return Args(user, extra);
  };
  auto run = [&](int64_t user, std::vector<std::string> extra, const char* window) {
    return RunTool(MS_IMPORT_TOOL, args(user, extra), {{"MAILSTORAGE_IMPORT_WINDOW", window}});
  };
  ToolResult a =
      run(whole, {"--report", dir_ + "/whole.csv", "--flags-file", dir_ + "/flags.tsv"}, "100000");
  ASSERT_EQ(a.status, 0) << a.out << a.err;
  ToolResult b = run(
      windowed, {"--report", dir_ + "/windowed.csv", "--journal", dir_ + "/windowed.journal"}, "1");
  ASSERT_EQ(b.status, 0) << b.out << b.err;
  for (const ToolResult* r : {&a, &b}) {
    EXPECT_EQ(
        SummaryCount(r->out, "imported") + SummaryCount(r->out, "linked again (already stored)"),
        22)
        << r->out;
    EXPECT_EQ(SummaryCount(r->out, "skipped (not mail)"), 4) << r->out;
    EXPECT_PRED_FORMAT2(testing::IsSubstring, "Verify: 22 mails checked, 22 match", r->out);
    EXPECT_PRED_FORMAT2(testing::IsSubstring, "F (flagged) 1, R (answered) 1, keywords 1", r->out);
  }
  // The flags the store cannot take are kept beside it, by folder and UID.
  std::set<std::string> kept;
  for (const auto& line : Split(ReadFile(dir_ + "/flags.tsv"), '\n')) {
    const auto f = Split(line, '\t');
    ASSERT_EQ(f.size(), 5u) << line;
    kept.insert(f[2] + " " + f[3] + " " + f[4]);
  }
  EXPECT_EQ(kept, (std::set<std::string>{"INBOX 2 \\Answered", "INBOX 3 \\Flagged",
                                         "INBOX.Archive.2025 1 keyword:a"}));
  const auto stored = Stored(whole);
  std::string names;
  for (const auto& [name, links] : stored) names += name + " ";
  EXPECT_EQ(names,
            "inbox inbox.archive.2025 inbox.drafts inbox.entw\xC3\xBCrfe "
            "inbox.sent inbox.tree.a inbox.tree.list "
            "inbox.\xD0\x9A\xD0\xBB\xD0\xB8\xD0\xB5\xD0\xBD\xD1\x82\xD1\x8B ");
  EXPECT_EQ(Stored(windowed), stored);
  EXPECT_EQ(ReportLines(dir_ + "/windowed.csv"), ReportLines(dir_ + "/whole.csv"));

  // Resumed with other windows: the journal alone settles every item, with
  // no call and no lookup in the store for an outcome it did not record.
  ToolResult again = run(windowed, {"--journal", dir_ + "/windowed.journal"}, "2");
  ASSERT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_EQ(SummaryCount(again.out, "done in an earlier run (journal)"), 26) << again.out;
  EXPECT_EQ(SummaryCount(again.out, "imported"), 0) << again.out;
  EXPECT_PRED_FORMAT2(testing::IsNotSubstring, "found in the store", again.out);
  EXPECT_EQ(Stored(windowed), stored);

  ToolProcess second;
  second.Start(MS_IMPORT_TOOL, args(sharded, {"--shard", "2/2"}),
               {{"MAILSTORAGE_IMPORT_WINDOW", "2"}});
  const ToolResult first = run(sharded, {"--shard", "1/2"}, "2");
  const ToolResult later = second.Wait();
  for (const ToolResult* r : {&first, &later}) EXPECT_EQ(r->status, 0) << r->out << r->err;
  const std::string folders = "SELECT COUNT(*) FROM NV_IMAPFOLDER WHERE USR_USERID = ";
  EXPECT_EQ(Rows(folders + "91042"), Rows(folders + "91040")) << "each folder once";
  EXPECT_EQ(Stored(sharded, false), Stored(whole, false));
}

}  // namespace
}  // namespace Nauvik::Import
