// mailstorage-import against the real libMailStorage.so and the private
// PostgreSQL store, read through the tool's own ODBC code: every input kind
// with flags and dates, the same tree twice, shards, top-up runs, and the
// checks made beforehand.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "tests/tools/StoreFixture.h"

namespace Nauvik::Import {
namespace {

using namespace Test;
using mstest::SummaryCount;

// Users of these tests: 91000 and up, one per test; company 91000.
class ImportEndToEnd : public StoreSuite {
 protected:
  static void SetUpTestSuite() { OpenSharedStore(91000, "import tests"); }

  // Every blob's bytes in a folder, one entry per link.
  std::multiset<std::string> BlobsOf(int64_t folder_id) {
    std::multiset<std::string> blobs;
    for (const auto& l : Links(folder_id)) blobs.insert(ReadFile(l.blob_path));
    return blobs;
  }

  static std::string Mail(const std::string& id) {
    return "From: Tester <t@example.org>\nTo: u@example.org\nSubject: test " + id +
           "\nDate: Mon, 2 Feb 2026 10:00:00 +0000\nMessage-ID: <" + id +
           "@tools.example>\n\nbody " + id + "\n";
  }

  // Writes n mails named 000.eml, 001.eml, ... and returns their CRLF bytes.
  std::multiset<std::string> WriteMails(const std::string& dir, const std::string& prefix, int n) {
    std::multiset<std::string> stored;
    for (int i = 0; i < n; ++i) {
      char name[32];
      snprintf(name, sizeof name, "/%03d.eml", i);
      WriteFile(dir + name, Mail(prefix + std::to_string(i)));
      stored.insert(Crlf(Mail(prefix + std::to_string(i))));
    }
    return stored;
  }

  const std::string dir_ = MakeScratchDirectory(
      std::string("e2e-") + testing::UnitTest::GetInstance()->current_test_info()->name());
};

TEST_F(ImportEndToEnd, BundledSamplesLandInTheirFoldersVerifiedWithTheFlagsKeptBeside) {
  const int64_t user = NewUser(91001);
  const std::string samples = std::string(getenv("MS_SOURCE_DIR")) + "/samples";
  ToolResult r =
      Import(user, {"--verify", "--flags-file", dir_ + "/flags.tsv", samples + "/Maildir",
                    samples + "/mbox/ops-list.mbox", samples + "/eml"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "Verify: 15 mails checked, 15 match", r.out);
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "F (flagged) 1, R (answered) 1, keywords 1", r.out);
  // The flags the store cannot take are kept beside it, by folder and UID.
  std::set<std::string> kept;
  for (const auto& line : Split(ReadFile(dir_ + "/flags.tsv"), '\n')) {
    const auto f = Split(line, '\t');
    ASSERT_EQ(f.size(), 5u) << line;
    kept.insert(f[2] + " " + f[3] + " " + f[4]);
  }
  EXPECT_EQ(kept, (std::set<std::string>{"INBOX 2 \\Answered", "INBOX 3 \\Flagged",
                                         "INBOX.Archive.2025 1 keyword:a"}));
  const auto folders = Folders(user);
  for (const char* name :
       {"inbox", "inbox.sent", "inbox.drafts", "inbox.archive.2025", "inbox.entw\xC3\xBCrfe",
        "inbox.\xD0\x9A\xD0\xBB\xD0\xB8\xD0\xB5\xD0\xBD\xD1\x82\xD1\x8B"}) {
    EXPECT_TRUE(folders.count(name)) << name;
  }
}

TEST_F(ImportEndToEnd, SameTreeTwiceWithJournalAddsNothingWithoutItLinksDuplicates) {
  const int64_t user = NewUser(91003);
  WriteMails(dir_ + "/in", "twice", 12);
  const std::vector<std::string> journaled = {"--journal", dir_ + "/run.journal", dir_ + "/in"};
  ASSERT_EQ(Import(user, journaled).status, 0);
  const int64_t inbox = Folders(user)["inbox"];
  EXPECT_EQ(Links(inbox).size(), 12u);
  // The journal alone settles every item: no call, and no lookup in the
  // store for an outcome it did not record.
  ToolResult again = Import(user, journaled);
  ASSERT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_EQ(SummaryCount(again.out, "done in an earlier run (journal)"), 12) << again.out;
  EXPECT_EQ(SummaryCount(again.out, "imported"), 0) << again.out;
  EXPECT_PRED_FORMAT2(testing::IsNotSubstring, "found in the store", again.out);
  EXPECT_EQ(Links(inbox).size(), 12u);

  ToolResult dup = Import(user, {dir_ + "/in"});
  ASSERT_EQ(dup.status, 0) << dup.out << dup.err;
  EXPECT_EQ(SummaryCount(dup.out, "linked again (already stored)"), 12) << dup.out;
  EXPECT_EQ(SummaryCount(dup.out, "imported"), 0) << dup.out;
  std::multiset<std::string> blobs;
  for (const auto& l : Links(inbox)) blobs.insert(l.blob_path);
  EXPECT_EQ(blobs.size(), 24u);
  EXPECT_EQ(std::set<std::string>(blobs.begin(), blobs.end()).size(), 12u)
      << "duplicates share the first blob";
}

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
  ASSERT_EQ(Folders(user).count("presub"), 1u);
  EXPECT_EQ(BlobsOf(Folders(user)["presub"]), std::multiset<std::string>{Crlf(Mail("presub"))});
}

TEST_F(ImportEndToEnd, ShardsRunningAtOnceImportEveryItemOnceAndEachFolderOnce) {
  const int64_t user = NewUser(91005);
  const auto inbox = WriteMails(dir_ + "/in", "shard", 10);
  const auto sub = WriteMails(dir_ + "/in/sub", "sub", 4);
  std::string mbox;
  std::multiset<std::string> box;
  for (int i = 0; i < 5; ++i) {
    mbox += "From x Fri Jan  9 08:00:00 2026\n" + Mail("box" + std::to_string(i)) + "\n";
    box.insert(Crlf(Mail("box" + std::to_string(i))));
  }
  WriteFile(dir_ + "/in/zz.mbox", mbox);
  // Shards 2 and 3 start first and wait for shard 1 to create the folders.
  std::vector<ToolProcess> later(2);
  for (int k = 2; k <= 3; ++k) {
    later[k - 2].Start(MS_IMPORT_TOOL,
                       Args(user, {"--shard", std::to_string(k) + "/3", dir_ + "/in"}));
  }
  ToolResult first = Import(user, {"--shard", "1/3", dir_ + "/in"});
  EXPECT_EQ(first.status, 0) << first.out << first.err;
  for (auto& p : later) {
    ToolResult r = p.Wait();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
  }
  // INBOX, INBOX.sub and INBOX.zz, once each.
  EXPECT_EQ(Rows("SELECT COUNT(*) FROM NV_IMAPFOLDER WHERE USR_USERID = 91005")[0][0], "3");
  auto folders = Folders(user);
  EXPECT_EQ(BlobsOf(folders["inbox"]), inbox);
  EXPECT_EQ(BlobsOf(folders["inbox.sub"]), sub);
  EXPECT_EQ(BlobsOf(folders["inbox.zz"]), box);
}

// A killed run can leave calls whose outcome the journal never got ("begin"
// lines). One such mail is put in the store by hand; the run, through the
// test double of the library, gives the library only the others, including a
// second mail with the same bytes (the one link accounts for one of them).
TEST_F(ImportEndToEnd, UnfinishedCallsOfAKilledRunAreLookedUpInTheStore) {
  const int64_t user = NewUser(91007);
  const std::string stored = Mail("stored"), crlf = Crlf(stored);
  WriteFile(
      Rows("SELECT FSH_HOSTPATH FROM NV_FILESTORAGEHOST WHERE FSH_FILESTORAGEHOSTID = 1").at(0)[0] +
          "/tools-test/91007001.blb",
      crlf);
  Execute(
      "INSERT INTO NS_IMAPFOLDER (IMF_IMAPFOLDERID, USR_USERID, IMF_INBOX, IMF_UID) VALUES "
      "(91007001, 91007, 1, 1); INSERT INTO NS_FILESTORAGE (FIS_FILESTORAGEID, "
      "FSH_FILESTORAGEHOSTID, FIS_LOCATION, FIS_SIZE) VALUES (91007001, 1, "
      "'\\tools-test\\91007001.blb', " +
      std::to_string(crlf.size()) +
      "); INSERT INTO NS_IMAPMESSAGE (IMM_IMAPMESSAGEID, FIS_FILESTORAGEID) VALUES (91007001, "
      "91007001); INSERT INTO NS_IMAPMSGINFOLDER (MIF_IMAPMSGINFOLDERID, IMM_IMAPMESSAGEID, "
      "IMF_IMAPFOLDERID, MIF_UID) VALUES (91007001, 91007001, 91007001, 1)");
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

// A top-up run while the old system is in use: the user reads both mails
// (new/1001 moves to cur/ with ":2,S", cur/1002's flags change) and a third
// arrives. Each mail is linked once; the flag changes are reported, and a
// journal of an earlier release, which recorded paths, is resumed as well.
TEST_F(ImportEndToEnd, TopUpOfAReadMaildirLinksEachMailOnce) {
  const int64_t user = NewUser(91009);
  const std::string md = dir_ + "/Maildir", report = dir_ + "/report.csv";
  const std::vector<std::string> args = {"--journal", dir_ + "/run.journal", "--report", report,
                                         md};
  WriteFile(md + "/new/1001.host", Mail("read-a"));
  WriteFile(md + "/cur/1002.host:2,", Mail("read-b"));
  ASSERT_EQ(Import(user, args).status, 0);
  WriteFile(dir_ + "/legacy.journal",
            JournalRecord("done", "0", -1, Crlf(Mail("read-a")), md + "/new/1001.host") +
                JournalRecord("done", "0", -1, Crlf(Mail("read-b")), md + "/cur/1002.host:2,"));
  std::filesystem::rename(md + "/new/1001.host", md + "/cur/1001.host:2,S");
  std::filesystem::rename(md + "/cur/1002.host:2,", md + "/cur/1002.host:2,S");
  WriteFile(md + "/new/1003.host", Mail("read-c"));

  ToolResult top = Import(user, args);
  ASSERT_EQ(top.status, 0) << top.out << top.err;
  EXPECT_EQ(SummaryCount(top.out, "imported"), 1) << top.out;
  EXPECT_EQ(SummaryCount(top.out, "of which flags changed at source"), 2) << top.out;
  EXPECT_PRED_FORMAT2(testing::IsSubstring,
                      "    INBOX                                   3        1        0        2",
                      top.out);
  const auto links = Links(Folders(user)["inbox"]);
  ASSERT_EQ(links.size(), 3u);
  // The report covers both runs: each stored mail's row with its UID and
  // run, then the flag changes.
  std::multiset<std::string> stored;  // uid,run
  int flag_rows = 0;
  for (const auto& row : Split(ReadFile(report), '\n')) {
    const auto cells = Split(row, ',');  // the last cells hold no comma
    if (row.find(",INBOX,0,OK,") != std::string::npos) {
      stored.insert(cells[cells.size() - 2] + "," + cells.back());
    }
    flag_rows += row.find("changed from '' to 'S' (not applied)") != std::string::npos;
  }
  EXPECT_EQ(stored, (std::multiset<std::string>{std::to_string(links[0].uid) + ",1\r",
                                                std::to_string(links[1].uid) + ",1\r",
                                                std::to_string(links[2].uid) + ",2\r"}));
  EXPECT_EQ(flag_rows, 2);

  // The earlier release's journal knows the first two by their old paths.
  ToolResult old = Import(user, {"--journal", dir_ + "/legacy.journal", md});
  ASSERT_EQ(old.status, 0) << old.out << old.err;
  EXPECT_EQ(SummaryCount(old.out, "done in an earlier run (journal)"), 2) << old.out;
  EXPECT_EQ(SummaryCount(old.out, "imported"), 0) << old.out;

#ifdef MS_CHECK_TOOL
  // Sign-off: the report of both runs against the store, then with a link gone.
  const std::vector<std::string> check = {"--registry", registry_,  "--account",
                                          "91009",      "--report", report};
  ToolResult complete = RunTool(MS_CHECK_TOOL, check);
  EXPECT_EQ(complete.status, 0) << complete.out << complete.err;
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "complete: all 3 mails of the report are in the store",
                      complete.out);
  Execute("DELETE FROM NS_IMAPMSGINFOLDER WHERE MIF_IMAPMSGINFOLDERID = " +
          std::to_string(links[1].link_id));
  ToolResult missing = RunTool(MS_CHECK_TOOL, check);
  EXPECT_EQ(missing.status, 1) << missing.out << missing.err;
  EXPECT_PRED_FORMAT2(
      testing::IsSubstring,
      "missing: " + md + "/cur/1002.host:2, in INBOX as UID " + std::to_string(links[1].uid),
      missing.out);
#endif
}

// A mail client rewrites the mbox: the last message deleted, a new one
// appended where it began. The new one is imported; --skip-linked without a
// journal adds nothing.
TEST_F(ImportEndToEnd, TopUpOfARewrittenMboxImportsTheNewMessageOnly) {
  const int64_t user = NewUser(91010);
  const std::string mbox = dir_ + "/box.mbox", journal = dir_ + "/run.journal";
  auto message = [&](const std::string& id) {
    return "From x Fri Jan  9 08:00:00 2026\n" + Mail(id) + "\n";
  };
  WriteFile(mbox, message("box-1") + message("box-2") + message("box-3"));
  ASSERT_EQ(Import(user, {"--journal", journal, mbox}).status, 0);
  WriteFile(mbox, message("box-1") + message("box-2") + message("box-4"));
  ToolResult top = Import(user, {"--journal", journal, mbox});
  ASSERT_EQ(top.status, 0) << top.out << top.err;
  EXPECT_EQ(SummaryCount(top.out, "imported"), 1) << top.out;
  EXPECT_EQ(SummaryCount(top.out, "done in an earlier run (journal)"), 2) << top.out;
  const int64_t inbox = Folders(user)["inbox"];
  EXPECT_EQ(Links(inbox).size(), 4u);

  ToolResult skip = Import(user, {"--skip-linked", mbox});
  ASSERT_EQ(skip.status, 0) << skip.out << skip.err;
  EXPECT_EQ(SummaryCount(skip.out, "already in the folder (skip-linked)"), 3) << skip.out;
  EXPECT_EQ(Links(inbox).size(), 4u);

  // An earlier release's journal knew messages by offset; the client then
  // deleted the first message, and every other one moved.
  std::string legacy;
  int64_t offset = 0;
  for (const char* id : {"box-1", "box-2", "box-4"}) {
    legacy += JournalRecord("done", "0", offset, Crlf(Mail(id)), mbox);
    offset += static_cast<int64_t>(message(id).size());
  }
  WriteFile(dir_ + "/legacy.journal", legacy);
  WriteFile(mbox, message("box-2") + message("box-4"));
  ToolResult old = Import(user, {"--journal", dir_ + "/legacy.journal", mbox});
  ASSERT_EQ(old.status, 0) << old.out << old.err;
  EXPECT_EQ(SummaryCount(old.out, "done in an earlier run (journal)"), 2) << old.out;
  EXPECT_EQ(Links(inbox).size(), 4u);
}

// A run paused by its pause file starts no call, shows "paused" in its status
// file, and names its connections in pg_stat_activity; it goes on once the
// file is gone.
TEST_F(ImportEndToEnd, PauseFileHoldsTheRunAndConnectionsCarryTheirName) {
  const int64_t user = NewUser(91014);
  WriteMails(dir_ + "/in", "pause", 3);
  const std::string pause = dir_ + "/pause", status = dir_ + "/status.json";
  WriteFile(pause, "");
  ToolProcess p;
  p.Start(MS_IMPORT_TOOL,
          Args(user, {"--pause-file", pause, "--status-file", status, dir_ + "/in"}));
  while (ReadFile(status).find("\"note\": \"paused\"") == std::string::npos) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // polls for the event
  }
  EXPECT_TRUE(Folders(user).empty()) << "no call while paused";
  EXPECT_NE(Rows("SELECT COUNT(*) FROM pg_stat_activity WHERE application_name = "
                 "'mailstorage-import'")[0][0],
            "0");
  std::filesystem::remove(pause);
  ToolResult r = p.Wait();
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(Links(Folders(user)["inbox"]).size(), 3u);
  EXPECT_NE(ReadFile(status).find("\"finished\": true"), std::string::npos) << ReadFile(status);
}

// Two accounts in one command, each with a journal and report of its own;
// one of them fails (its user is unknown), which sets exit status 1. A rerun
// resumes each account.
TEST_F(ImportEndToEnd, ManifestRunsEveryAccountWithItsOwnJournal) {
  const int64_t user = NewUser(91013);
  WriteMails(dir_ + "/a", "manifest", 3);
  const std::string company = std::to_string(company_);
  WriteFile(dir_ + "/accounts.csv", "source,user,company,folder\n" + dir_ + "/a,91013," + company +
                                        ",Old.Mail\n" + dir_ + "/a,91999," + company + ",INBOX\n");
  std::vector<std::string> args =
      Args(0, {"--manifest", dir_ + "/accounts.csv", "--journal-dir", dir_ + "/journals"});
  args.erase(args.begin(), args.begin() + 4);  // no --user, --company
  ToolResult r = RunTool(MS_IMPORT_TOOL, args);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "Accounts: 2 of 2 run", r.out);
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "user unknown: no user 91999", r.err);
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "total: 3 items handled, 0 failed, 1 accounts not ok",
                      r.out);
  EXPECT_EQ(Links(Folders(user)["old.mail"]).size(), 3u);
  const std::string base = dir_ + "/journals/91013-" + company + "-old.mail";
  EXPECT_TRUE(std::filesystem::exists(base + ".journal"));
  EXPECT_TRUE(std::filesystem::exists(base + ".csv"));
  ToolResult again = RunTool(MS_IMPORT_TOOL, args);
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(SummaryCount(again.out, "done in an earlier run (journal)"), 3) << again.out;
  EXPECT_EQ(Links(Folders(user)["old.mail"]).size(), 3u);
}

// The dry run reads the user's rights as the library adds them up, and sees
// a directory "a.b" beside "a/b" fall into one folder.
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
  std::vector<std::string> answers = {
      "Store: user 91020 of company 91000: exists", "the import fits",
      "fall together into one folder (letter case, a level cut at 100 characters, or a.b beside "
      "a/b): Top.Open.a.b from " +
          dir_ + "/in/Open/a.b, " + dir_ + "/in/Open/a/b"};
  for (const auto& [folder, answer] :
       {std::pair{"Top.Locked", "exists; NO RIGHT to put mail in (insert)"},
        {"Top.Locked.sub", "new; NO RIGHT to create it below top.locked"},
        {"Top.Open.a.b", "new; may be created below top.open"}}) {
    answers.push_back("  " + std::string(folder) + std::string(41 - strlen(folder), ' ') + answer);
  }
  for (const auto& answer : answers) {
    EXPECT_PRED_FORMAT2(testing::IsSubstring, answer, dry.out);
  }
}

TEST_F(ImportEndToEnd, UnknownOrDeletedUserStopsBeforeImporting) {
  const int64_t deleted = NewUser(91006, 1);
  WriteFile(dir_ + "/a.eml", Mail("never"));
  ToolResult unknown = Import(91999, {dir_ + "/a.eml"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "user unknown: no user 91999", unknown.err);
  ToolResult gone = Import(deleted, {dir_ + "/a.eml"});
  EXPECT_EQ(gone.status, 2);
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "is deleted", gone.err);
  EXPECT_TRUE(Folders(deleted).empty());

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
  std::vector<std::string> args = Args(deleted, {dir_ + "/a.eml"});
  args[8] = dir_ + "/silent.reg";  // the value of --registry
  ToolResult silent_port = RunTool(MS_IMPORT_TOOL, args);
  close(silent);
  EXPECT_EQ(silent_port.status, 2) << silent_port.out << silent_port.err;
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "cannot connect to the store database",
                      silent_port.err);
}

}  // namespace
}  // namespace Nauvik::Import

#include <algorithm>
#include <functional>

#include "tools/Report.h"

namespace Nauvik::Import {
namespace {

using namespace Test;
using mstest::SummaryCount;

// Each folder (by name) with the bytes of its links in UID order, and the UIDs.
std::map<std::string, std::vector<std::string>> StoredByUid(
    const std::map<std::string, int64_t>& folders,
    const std::function<std::vector<StoreQueries::Link>(int64_t)>& links) {
  std::map<std::string, std::vector<std::string>> stored;
  for (const auto& [name, id] : folders) {
    for (const auto& l : links(id)) {
      stored[name].push_back(std::to_string(l.uid) + " " + ReadFile(l.blob_path));
    }
  }
  return stored;
}

// The report's rows, sorted (rows come in completion order), without the
// text, which says whether another user's copy was stored already.
std::vector<std::string> ReportLines(const std::string& path) {
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

// The importer lists, imports and checks a window of items at a time: any
// window size stores what one window over everything stores.
TEST_F(ImportEndToEnd, ImportedWindowByWindowAsWhole) {
  const int64_t whole = NewUser(91040), windowed = NewUser(91041), sharded = NewUser(91042);
  const std::string in = dir_ + "/in";
  WriteFile(in + "/md/cur/1700000001.M1.h:2,S", Mail("m1"));
  WriteFile(in + "/md/new/1700000002.M2.h", Mail("m2"));
  WriteFile(in + "/md/.Sub/cur/1700000003.M3.h:2,", Mail("m3"));
  WriteFile(in + "/md/.Sub/new/1700000004.M4.h", Mail("m4"));
  WriteFile(in + "/md/dovecot.index", "x");
  WriteMails(in + "/tree/a", "t", 4);
  WriteFile(in + "/tree/list.mbox", "From a@b Thu Mar  5 10:00:00 2026\n" + Mail("x1") +
                                        "\nFrom a@b Thu Mar  5 10:00:00 2026\n" + Mail("x2") +
                                        "\nFrom a@b Thu Mar  5 10:00:00 2026\n" + Mail("x1"));
  const std::vector<std::string> common = {"--threads", "1", "--verify"};
  auto run = [&](int64_t user, std::vector<std::string> extra, const char* window) {
    extra.insert(extra.begin(), common.begin(), common.end());
    extra.push_back(in);
    return Import(user, extra, {{"MAILSTORAGE_IMPORT_WINDOW", window}});
  };
  ToolResult a = run(whole, {"--report", dir_ + "/whole.csv"}, "100000");
  ASSERT_EQ(a.status, 0) << a.out << a.err;
  ToolResult b = run(windowed, {"--report", dir_ + "/windowed.csv", "--journal",
                                dir_ + "/windowed.journal"},
                     "1");
  ASSERT_EQ(b.status, 0) << b.out << b.err;
  for (const ToolResult* r : {&a, &b}) {
    EXPECT_EQ(SummaryCount(r->out, "imported") +
                  SummaryCount(r->out, "linked again (already stored)"),
              11)
        << r->out;
    EXPECT_EQ(SummaryCount(r->out, "skipped (not mail)"), 1) << r->out;
    EXPECT_NE(r->out.find("Verify: 11 mails checked, 11 match"), std::string::npos) << r->out;
  }
  const auto links = [](int64_t id) { return Links(id); };
  const auto stored = StoredByUid(Folders(whole), links);
  EXPECT_EQ(stored.size(), 4u);
  EXPECT_EQ(StoredByUid(Folders(windowed), links), stored);
  EXPECT_EQ(ReportLines(dir_ + "/windowed.csv"), ReportLines(dir_ + "/whole.csv"));

  // Resumed with other windows: nothing again.
  ToolResult again = run(windowed, {"--journal", dir_ + "/windowed.journal"}, "2");
  ASSERT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_EQ(SummaryCount(again.out, "done in an earlier run (journal)"), 12) << again.out;
  EXPECT_EQ(SummaryCount(again.out, "imported"), 0) << again.out;
  EXPECT_EQ(StoredByUid(Folders(windowed), links), stored);

  // Two shards, each a window of two at a time: every mail once.
  for (const char* shard : {"1/2", "2/2"}) {
    ToolResult s = run(sharded, {"--shard", shard}, "2");
    ASSERT_EQ(s.status, 0) << shard << s.out << s.err;
  }
  std::map<std::string, std::multiset<std::string>> expected, got;
  for (const auto& [name, id] : Folders(whole)) expected[name] = BlobsOf(id);
  for (const auto& [name, id] : Folders(sharded)) got[name] = BlobsOf(id);
  EXPECT_EQ(got, expected);
}

}  // namespace
}  // namespace Nauvik::Import
