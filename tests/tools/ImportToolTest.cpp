// The real mailstorage-import binary against a test double of the library
// that records its calls: arguments, bytes, order, threads, interruption and
// resume, shards, failures, report and configuration errors. No database:
// the runs use --no-check.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <set>

#include "tests/tools/ToolRunner.h"
#include "tools/MailText.h"

namespace Nauvik::Import {
namespace {

using namespace Test;

struct Call {
  int number = 0;
  std::string thread, folder, user, company, date;
  bool seen = false, draft = false, views = false;
  size_t size = 0;
  int start = 0, end = 0, result = 0;
  std::string file;
  std::string bytes;  // the copy the fake kept
  std::string id;     // X-Id header of the mail
};

class ImportTool : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeScratchDirectory(testing::UnitTest::GetInstance()->current_test_info()->name());
    copies_ = dir_ + "/copies";
    std::filesystem::create_directories(copies_);
    log_ = dir_ + "/calls.log";
    registry_ = dir_ + "/registry.reg";
    WriteFile(registry_, "REGEDIT4\n");
    tmp_ = dir_ + "/tmp";
    std::filesystem::create_directories(tmp_);
  }

  ToolResult Run(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
    std::vector<std::string> all = {"--user",     "42",      "--company", "7",
                                    "--no-check", "--quiet", "--library", MS_FAKE_LIBRARY,
                                    "--registry", registry_};
    all.insert(all.end(), args.begin(), args.end());
    env["FAKE_MAILSTORAGE_LOG"] = log_;
    env["FAKE_MAILSTORAGE_COPIES"] = copies_;
    env["TMPDIR"] = tmp_;
    return RunTool(MS_IMPORT_TOOL, all, env);
  }

  std::vector<Call> Calls() {
    std::vector<Call> calls;
    for (const auto& line : SplitLines(ReadFile(log_))) {
      auto f = SplitTabs(line);
      if (f[0] != "call") continue;
      Call c;
      c.number = std::stoi(f[1].substr(f[1].find('-') + 1));
      c.thread = f[2];
      c.folder = f[3];
      c.user = f[4];
      c.company = f[5];
      c.date = f[6];
      c.seen = f[7] == "1";
      c.draft = f[8] == "1";
      c.views = f[9] == "1";
      c.size = std::stoul(f[10]);
      c.start = std::stoi(f[11]);
      c.end = std::stoi(f[12]);
      c.result = std::stoi(f[13]);
      c.file = f[14];
      c.bytes = ReadFile(copies_ + "/" + f[1] + ".eml");
      c.id = HeaderField(c.bytes, "X-Id").value_or("");
      calls.push_back(c);
    }
    return calls;  // in the order the calls ended
  }

  std::vector<std::string> Closes() {
    std::vector<std::string> threads;
    for (const auto& line : SplitLines(ReadFile(log_))) {
      auto f = SplitTabs(line);
      if (f[0] == "close") threads.push_back(f[1]);
    }
    return threads;
  }

  static std::string Mail(const std::string& id, const std::string& extra = "") {
    return "From: a@example.org\nSubject: mail " + id + "\nMessage-ID: <" + id +
           "@example.org>\nDate: Tue, 3 Feb 2026 04:05:06 +0100\nX-Id: " + id + "\n" + extra +
           "\nbody of " + id + "\n";
  }

  std::string dir_, copies_, log_, registry_, tmp_;
};

TEST_F(ImportTool, GivesTheLibraryEachMailWithFolderFlagsDateAndCrlfBytes) {
  const std::string md = dir_ + "/in/Maildir";
  WriteFile(md + "/cur/1767261600.M1.h:2,S", Mail("m1"));
  WriteFile(md + "/cur/1767261700.M2.h:2,RSa", Mail("m2"));
  WriteFile(md + "/new/1767261800.M3.h", Mail("m3"));
  WriteFile(md + "/.Drafts/cur/1767261900.M4.h:2,D", Mail("m4"));
  WriteFile(md + "/dovecot.index", "x");
  WriteFile(dir_ + "/in/box.mbox",
            "From x@y Fri Jan  9 08:00:00 2026\n" + Mail("b1", "X-Note: q\n") +
                ">From the body\n\nFrom x@y Sat Jan 10 09:30:00 2026\n" + Mail("b2") + "\n");
  const std::string crlf = "Subject: crlf\r\nX-Id: c1\r\n\r\nalready CRLF\r\n";
  WriteFile(dir_ + "/in/c1.eml", crlf);

  ToolResult r = Run({md, dir_ + "/in/box.mbox", dir_ + "/in/c1.eml"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  auto calls = Calls();
  ASSERT_EQ(calls.size(), 7u);
  struct Expect {
    const char* id;
    const char* folder;
    const char* date;
    bool seen, draft;
  } expect[] = {
      {"m1", "INBOX", "Thu, 1 Jan 2026 10:00:00 +0000", true, false},
      {"m2", "INBOX", "Thu, 1 Jan 2026 10:01:40 +0000", true, false},
      {"m3", "INBOX", "Thu, 1 Jan 2026 10:03:20 +0000", false, false},
      {"m4", "INBOX.Drafts", "Thu, 1 Jan 2026 10:05:00 +0000", false, true},
      {"b1", "INBOX", "Fri, 9 Jan 2026 08:00:00 +0000", false, false},
      {"b2", "INBOX", "Sat, 10 Jan 2026 09:30:00 +0000", false, false},
      {"c1", "INBOX", nullptr, false, false},
  };
  for (size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE(expect[i].id);
    EXPECT_EQ(calls[i].id, expect[i].id);
    EXPECT_EQ(calls[i].folder, expect[i].folder);
    if (expect[i].date) {
      EXPECT_EQ(calls[i].date, expect[i].date);
    }
    EXPECT_EQ(calls[i].seen, expect[i].seen);
    EXPECT_EQ(calls[i].draft, expect[i].draft);
    EXPECT_EQ(calls[i].user, "42");
    EXPECT_EQ(calls[i].company, "7");
    EXPECT_TRUE(calls[i].views);
    EXPECT_EQ(calls[i].bytes.find("\n", 0), calls[i].bytes.find("\r\n") + 1) << "CRLF ends";
  }
  std::string expected_m1;
  ConvertToCrlf(Mail("m1"), &expected_m1);
  EXPECT_EQ(calls[0].bytes, expected_m1);
  // mbox: no "From " line, quoting undone, separator line dropped.
  std::string expected_b1;
  ConvertToCrlf(Mail("b1", "X-Note: q\n") + "From the body\n", &expected_b1);
  EXPECT_EQ(calls[4].bytes, expected_b1);
  // A CRLF file is passed by its own path; converted ones went through
  // temporary files that are gone after the run.
  EXPECT_EQ(calls[6].file, dir_ + "/in/c1.eml");
  EXPECT_EQ(calls[6].bytes, crlf);
  EXPECT_NE(calls[4].file.find(tmp_), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(calls[4].file));
  EXPECT_TRUE(std::filesystem::is_empty(tmp_));
  // The summary names what the store cannot take.
  EXPECT_NE(r.out.find("imported                                  7"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("R (answered) 1, keywords 1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("skipped (not mail)                        1"), std::string::npos) << r.out;
  EXPECT_EQ(Closes().size(), 1u);
}

TEST_F(ImportTool, OptionsChangeDatesLineEndsTablesAndFolder) {
  WriteFile(dir_ + "/in/a.eml", Mail("a"));
  ToolResult r = Run({"--date", "header", "--keep-line-ends", "--tables", "--folder",
                      "Archive.2026", dir_ + "/in/a.eml"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  auto calls = Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].date, "Tue, 3 Feb 2026 04:05:06 +0100");
  EXPECT_EQ(calls[0].bytes, Mail("a"));
  EXPECT_EQ(calls[0].file, dir_ + "/in/a.eml");
  EXPECT_FALSE(calls[0].views);
  EXPECT_EQ(calls[0].folder, "Archive.2026");
}

TEST_F(ImportTool, FailuresAreCountedReportedRetriedAndSetExitStatus1) {
  WriteFile(dir_ + "/in/1.eml", Mail("ok"));
  WriteFile(dir_ + "/in/2.eml", Mail("bad", "X-Fake-Result: 1004\n"));
  WriteFile(dir_ + "/in/3.eml", Mail("flaky", "X-Fake-Result: 1001 once\n"));
  WriteFile(dir_ + "/in/4.eml", "");
  const std::string report = dir_ + "/report.csv";
  ToolResult r = Run({"--report", report, dir_ + "/in"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  auto calls = Calls();
  ASSERT_EQ(calls.size(), 4u) << "the database error is retried once";
  EXPECT_EQ(calls[2].result, 1001);
  EXPECT_EQ(calls[3].result, 0);
  EXPECT_EQ(calls[3].id, "flaky");
  EXPECT_NE(r.out.find("1 x 1004 Invalid mail content (Not RFC822 compliant)"), std::string::npos)
      << r.out;
  auto rows = SplitLines(ReadFile(report));
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0], "source,mbox_offset,folder,result,text,size,message_id\r");
  std::set<std::string> got(rows.begin() + 1, rows.end());
  const std::string in = dir_ + "/in/";
  const size_t ok_size = Mail("ok").size() + 7;  // seven lines gained a CR
  EXPECT_TRUE(
      got.count(in + "1.eml,,INBOX,0,OK," + std::to_string(ok_size) + ",<ok@example.org>\r"))
      << rows[1] << rows[2];
  EXPECT_TRUE(got.count(in + "4.eml,,INBOX,,skipped: empty file,0,\r"));
  bool saw_bad = false;
  for (const auto& row : rows) {
    saw_bad |=
        row.starts_with(in + "2.eml,,INBOX,1004,Invalid mail content (Not RFC822 compliant),");
  }
  EXPECT_TRUE(saw_bad);
}

TEST_F(ImportTool, ThreadsImportAFoldersFirstMailBeforeTheOthersAndCloseTheirConnections) {
  std::set<std::string> ids;
  for (const char* folder : {"A", "B", "C"}) {
    for (int i = 0; i < 8; ++i) {
      const std::string id = std::string(folder) + std::to_string(i);
      WriteFile(dir_ + "/in/" + folder + "/" + id + ".eml", Mail(id));
      ids.insert(id);
    }
  }
  ToolResult r = Run({"--threads", "4", dir_ + "/in"}, {{"FAKE_MAILSTORAGE_DELAY_MS", "5"}});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  auto calls = Calls();
  ASSERT_EQ(calls.size(), ids.size());
  std::set<std::string> called;
  std::map<std::string, const Call*> first;
  std::set<std::string> threads;
  for (const auto& c : calls) {
    called.insert(c.id);
    threads.insert(c.thread);
    if (!first.count(c.folder) || c.start < first[c.folder]->start) first[c.folder] = &c;
  }
  EXPECT_EQ(called, ids);
  for (const auto& c : calls) {
    const Call* f = first[c.folder];
    if (&c != f) {
      EXPECT_GT(c.start, f->end) << c.id << " started before " << f->id << " ended";
    }
  }
  // Folder creations do not overlap each other.
  std::vector<const Call*> firsts;
  for (auto& [folder, c] : first) firsts.push_back(c);
  for (size_t i = 0; i < firsts.size(); ++i) {
    for (size_t k = i + 1; k < firsts.size(); ++k) {
      EXPECT_TRUE(firsts[i]->end < firsts[k]->start || firsts[k]->end < firsts[i]->start);
    }
  }
  EXPECT_GT(threads.size(), 1u) << "the work was spread over threads";
  auto closes = Closes();
  EXPECT_EQ(closes.size(), 4u);
  for (const auto& t : threads) {
    EXPECT_NE(std::find(closes.begin(), closes.end(), t), closes.end()) << t;
  }
}

TEST_F(ImportTool, CtrlCFinishesTheCallInFlightExits130AndTheJournalResumes) {
  for (int i = 0; i < 10; ++i) {
    WriteFile(dir_ + "/in/" + std::to_string(i) + ".eml", Mail("i" + std::to_string(i)));
  }
  const std::string journal = dir_ + "/run.journal";
  ToolResult first =
      Run({"--journal", journal, dir_ + "/in"}, {{"FAKE_MAILSTORAGE_INTERRUPT_AT", "3"}});
  EXPECT_EQ(first.status, 130) << first.out << first.err;
  EXPECT_NE(first.err.find("run the same command again to resume"), std::string::npos);
  ASSERT_EQ(Calls().size(), 3u);
  ToolResult second = Run({"--journal", journal, dir_ + "/in"});
  EXPECT_EQ(second.status, 0) << second.out << second.err;
  EXPECT_NE(second.out.find("done in an earlier run (journal)          3"), std::string::npos)
      << second.out;
  auto calls = Calls();
  std::multiset<std::string> ids;
  for (const auto& c : calls) ids.insert(c.id);
  EXPECT_EQ(calls.size(), 10u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(ids.count("i" + std::to_string(i)), 1u) << i;
  // A third run finds everything done.
  ToolResult third = Run({"--journal", journal, dir_ + "/in"});
  EXPECT_EQ(third.status, 0);
  EXPECT_EQ(Calls().size(), 10u);
}

TEST_F(ImportTool, ShardsTogetherCoverEveryItemExactlyOnce) {
  std::string mbox;
  for (int i = 0; i < 7; ++i) {
    WriteFile(dir_ + "/in/f" + std::to_string(i) + ".eml", Mail("f" + std::to_string(i)));
    mbox += "From x Fri Jan  9 08:00:00 2026\n" + Mail("b" + std::to_string(i)) + "\n";
  }
  WriteFile(dir_ + "/in/z.mbox", mbox);
  for (int k = 1; k <= 3; ++k) {
    ToolResult r = Run({"--shard", std::to_string(k) + "/3", dir_ + "/in"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
  }
  std::multiset<std::string> ids;
  for (const auto& c : Calls()) ids.insert(c.id);
  EXPECT_EQ(ids.size(), 14u);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(ids.count("f" + std::to_string(i)), 1u);
    EXPECT_EQ(ids.count("b" + std::to_string(i)), 1u);
  }
}

TEST_F(ImportTool, BadUsageAndConfigurationExitWith2AndSayWhy) {
  WriteFile(dir_ + "/in/a.eml", Mail("a"));
  const std::string in = dir_ + "/in/a.eml";
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"--user", "42", "--company", "7", "--no-check", "--registry", registry_, "--library",
        dir_ + "/nowhere/libMailStorage.so", in},
       "library not found: "},
      {{"--user", "42", "--company", "7", "--no-check", "--registry", dir_ + "/none.reg",
        "--library", MS_FAKE_LIBRARY, in},
       "registry file missing: "},
      {{"--user", "42", "--company", "7", "--no-check", "--registry", registry_, "--library", in,
        in},
       "cannot load the library"},
      {{"--user", "42", "--company", "7", "--registry", registry_, "--library", MS_FAKE_LIBRARY,
        in},
       "has no key Software\\Nauvik\\Ostrel"},
      {{"--user", "42", "--company", "7", "--no-check", "--registry", registry_, "--library",
        MS_FAKE_LIBRARY, dir_ + "/in/missing.eml"},
       "no such file or directory"},
      {{"--user", "42", "--company", "7", "--shard", "3/2", in}, "--shard takes K/N"},
      {{"--company", "7", in}, "--user is required"},
  };
  for (const auto& c : cases) {
    ToolResult r = RunTool(MS_IMPORT_TOOL, c.args, {{"FAKE_MAILSTORAGE_LOG", log_}});
    EXPECT_EQ(r.status, 2) << c.message << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_TRUE(Calls().empty());
}

TEST_F(ImportTool, DryRunCallsNothing) {
  WriteFile(dir_ + "/in/a.eml", Mail("a"));
  WriteFile(dir_ + "/in/sub/b.eml", Mail("b"));
  ToolResult r = RunTool(MS_IMPORT_TOOL, {"--user", "1", "--company", "1", "--dry-run", "--library",
                                          dir_ + "/none.so", dir_ + "/in"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Dry run: 2 items"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("INBOX.sub"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace Nauvik::Import
