// The real mailstorage-import binary against a test double of the library
// that records its calls: arguments, bytes, order, threads, interruption and
// resume, failures, report and configuration errors. No database: the runs
// use --no-check.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>

#include "tests/tools/MailShapes.h"
#include "tests/tools/ToolRunner.h"
#include "tools/MailText.h"

namespace Nauvik::Import {
namespace {

using namespace Test;

struct Call {
  std::string thread, folder, date, file, bytes, id;  // id: the mail's X-Id header
  bool seen = false, draft = false, views = false;
  int start = 0, end = 0, result = 0;
};

class ImportTool : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_ + "/copies");
    std::filesystem::create_directories(dir_ + "/tmp");
    WriteFile(registry_, "REGEDIT4\n");
  }

  ToolResult Run(std::vector<std::string> args, std::map<std::string, std::string> env = {},
                 std::vector<std::string> prefix = {}) {
    args.insert(args.begin(), {"--user", "42", "--company", "7", "--no-check", "--quiet",
                               "--library", MS_FAKE_LIBRARY, "--registry", registry_});
    env["FAKE_MAILSTORAGE_LOG"] = log_;
    env["FAKE_MAILSTORAGE_COPIES"] = dir_ + "/copies";
    env["TMPDIR"] = dir_ + "/tmp";
    if (prefix.empty()) return RunTool(MS_IMPORT_TOOL, args, env);
    // Run through a launcher (setpriv): the launcher's arguments, then the tool's.
    prefix.push_back(MS_IMPORT_TOOL);
    args.insert(args.begin(), prefix.begin() + 1, prefix.end());
    return RunTool(prefix[0], args, env);
  }

  // The calls in the order they ended; the user and company are always 42 and 7.
  std::vector<Call> Calls() {
    std::vector<Call> calls;
    for (const auto& line : Split(ReadFile(log_), '\n')) {
      const auto f = Split(line, '\t');
      if (f[0] != "call") continue;
      EXPECT_EQ(f[4] + "/" + f[5], "42/7");
      const std::string bytes = ReadFile(dir_ + "/copies/" + f[1] + ".eml");
      calls.push_back({f[2], f[3], f[6], f[14], bytes, HeaderField(bytes, "X-Id").value_or(""),
                       f[7] == "1", f[8] == "1", f[9] == "1", std::stoi(f[11]), std::stoi(f[12]),
                       std::stoi(f[13])});
    }
    return calls;
  }

  std::vector<std::string> Closes() {
    std::vector<std::string> threads;
    for (const auto& line : Split(ReadFile(log_), '\n')) {
      if (line.starts_with("close\t")) threads.push_back(line.substr(6));
    }
    return threads;
  }

  static std::string Mail(const std::string& id, const std::string& extra = "") {
    return "From: a@example.org\nSubject: mail " + id + "\nMessage-ID: <" + id +
           "@example.org>\nDate: Tue, 3 Feb 2026 04:05:06 +0100\nX-Id: " + id + "\n" + extra +
           "\nbody of " + id + "\n";
  }

  const std::string dir_ =
      MakeScratchDirectory(testing::UnitTest::GetInstance()->current_test_info()->name());
  const std::string log_ = dir_ + "/calls.log";
  const std::string registry_ = dir_ + "/registry.reg";
};

// Which items, folders, flags and dates a tree gives is tested on the parts;
// here, what the binary hands the library: bytes, dates, and temporary files.
TEST_F(ImportTool, GivesTheLibraryEachMailWithFolderFlagsDateAndCrlfBytes) {
  const std::string md = dir_ + "/in/Maildir";
  WriteFile(md + "/cur/1767261600.M1.h:2,S", Mail("m1"));
  WriteFile(md + "/.Drafts/cur/1767261700.M2.h:2,RDa", Mail("m2"));
  WriteFile(md + "/dovecot.index", "x");
  WriteFile(dir_ + "/in/extra/.hidden", "x");  // in a tree: not mail
  // The second mbox message has CRLF line ends.
  WriteFile(dir_ + "/in/box.mbox", "From x@y Fri Jan  9 08:00:00 2026\n" +
                                       Mail("b1", "X-Note: q\n") +
                                       ">From the body\n\nFrom x@y Sat Jan 10 09:30:00 2026\r\n" +
                                       Crlf(Mail("b2")) + "\r\n");
  const std::string crlf = "Subject: crlf\r\nX-Id: c1\r\n\r\nalready CRLF\r\n";
  WriteFile(dir_ + "/in/c1.eml", crlf);
  std::filesystem::last_write_time(dir_ + "/in/c1.eml",
                                   std::chrono::file_clock::from_sys(
                                       std::chrono::sys_seconds(std::chrono::seconds(1767262000))));
  ToolResult r = Run({md, dir_ + "/in/extra", dir_ + "/in/box.mbox", dir_ + "/in/c1.eml"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const auto calls = Calls();
  const std::tuple<std::string, std::string, std::string, bool, bool, std::string> expected[] = {
      {"m1", "INBOX", "Thu, 1 Jan 2026 10:00:00 +0000", true, false, Crlf(Mail("m1"))},
      {"m2", "INBOX.Drafts", "Thu, 1 Jan 2026 10:01:40 +0000", false, true, Crlf(Mail("m2"))},
      // mbox: no "From " line, quoting undone, separator line dropped.
      {"b1", "INBOX", "Fri, 9 Jan 2026 08:00:00 +0000", false, false,
       Crlf(Mail("b1", "X-Note: q\n") + "From the body\n")},
      {"b2", "INBOX", "Sat, 10 Jan 2026 09:30:00 +0000", false, false, Crlf(Mail("b2"))},
      {"c1", "INBOX", "Thu, 1 Jan 2026 10:06:40 +0000", false, false, crlf},  // its mtime
  };
  ASSERT_EQ(calls.size(), std::size(expected));
  for (size_t i = 0; i < calls.size(); ++i) {
    const Call& c = calls[i];
    EXPECT_EQ(std::tie(c.id, c.folder, c.date, c.seen, c.draft, c.bytes), expected[i]) << i;
    EXPECT_TRUE(c.views);
  }
  // A CRLF file is passed by its own path, the others as in-memory files;
  // nothing is written to the temporary directory.
  EXPECT_EQ(calls[4].file, dir_ + "/in/c1.eml");
  for (size_t i : {0, 1, 2, 3}) {
    EXPECT_TRUE(calls[i].file.starts_with("/proc/self/fd/")) << calls[i].file;
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir_ + "/tmp"));
  EXPECT_NE(r.out.find("imported                                  5"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("R (answered) 1, keywords 1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("skipped (not mail)                        2"), std::string::npos) << r.out;
  EXPECT_EQ(Closes().size(), 1u);
}

// A file that is one mail stays one mail, whatever "From " lines it holds:
// only an envelope line at its start goes, with the empty line that ends a
// message in an mbox.
TEST_F(ImportTool, SingleMailFilesAreNeverSplitAndLoseOnlyTheirEnvelopeLine) {
  const std::string envelope = "From MAILER-DAEMON Mon Jan 12 10:00:00 2026\n";
  WriteFile(dir_ + "/in/tree/bounce.eml", envelope + Bounce() + "X-Id: bounce\n\n");
  // A corpus of one file per mail, each with its envelope line: mails of the
  // tree's folder, not an mbox folder each. Two messages make an mbox.
  WriteFile(dir_ + "/in/tree/corpus/00001.7848dde1", envelope + WithPatch() + "X-Id: corpus\n\n");
  WriteFile(dir_ + "/in/tree/lists/ops",
            envelope + "X-Id: ops1\n\n>From a\n\n" + envelope + "X-Id: ops2\n\nb\n");
  WriteFile(dir_ + "/in/tree/notes/headerline", WithPatch() + "X-Id: header\n");
  WriteFile(dir_ + "/in/Maildir/cur/1767261600.M1.h:2,S", envelope + WithPatch() + "X-Id: md\n\n");
  WriteFile(dir_ + "/in/given.eml", envelope + WithPatch() + "X-Id: given\n");
  ToolResult r =
      Run({"--keep-line-ends", dir_ + "/in/tree", dir_ + "/in/Maildir", dir_ + "/in/given.eml"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::vector<std::tuple<std::string, std::string, std::string>> got;  // folder, bytes, date
  for (const Call& c : Calls()) got.emplace_back(c.folder, c.bytes, c.date.substr(0, 16));
  const std::string modified = Calls()[0].date.substr(0, 16);  // bounce.eml: its mtime
  EXPECT_EQ(got, (std::vector<std::tuple<std::string, std::string, std::string>>{
                     {"INBOX", Bounce() + "X-Id: bounce\n", modified},
                     {"INBOX.corpus", WithPatch() + "X-Id: corpus\n", "Mon, 12 Jan 2026"},
                     {"INBOX.lists.ops", "X-Id: ops1\n\nFrom a\n", "Mon, 12 Jan 2026"},
                     {"INBOX.lists.ops", "X-Id: ops2\n\nb\n", "Mon, 12 Jan 2026"},
                     {"INBOX.notes", WithPatch() + "X-Id: header\n", modified},
                     {"INBOX", WithPatch() + "X-Id: md\n", "Thu, 1 Jan 2026 "},
                     {"INBOX", WithPatch() + "X-Id: given\n", modified},
                 }));
}

// FIFOs, sockets, devices, dangling links and what cannot be read are
// counted and reported as skipped with the reason, in a tree and on the
// command line, and the rest is imported.
TEST_F(ImportTool, InputsThatAreNotReadableFilesAreSkippedWithTheReason) {
  namespace fs = std::filesystem;
  const std::string in = dir_ + "/in";
  WriteFile(in + "/tree/good.eml", Mail("good"));
  WriteFile(in + "/tree/secret.eml", Mail("secret"));
  WriteFile(in + "/tree/closed/inner.eml", Mail("inner"));
  WriteFile(in + "/closed-given/x.eml", Mail("x"));
  WriteFile(in + "/other/real.eml", Mail("real"));
  fs::permissions(in + "/tree/secret.eml", fs::perms::none);
  fs::permissions(in + "/tree/closed", fs::perms::none);
  fs::permissions(in + "/closed-given", fs::perms::none);
  ASSERT_EQ(mkfifo((in + "/tree/pipe").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo((in + "/given-pipe").c_str(), 0644), 0);
  fs::create_symlink(in + "/nowhere", in + "/tree/dangling");
  fs::create_symlink(in + "/nowhere", in + "/given-dangling");
  fs::create_symlink("/dev/null", in + "/tree/null");
  fs::create_directory_symlink(in + "/other", in + "/tree/loop");
  // The scratch path is too long for a socket address: bind through the directory's fd.
  const int tree_fd = open((in + "/tree").c_str(), O_PATH | O_DIRECTORY);
  const std::string socket_path = "/proc/self/fd/" + std::to_string(tree_fd) + "/sock";
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socket_path.copy(address.sun_path, socket_path.size());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(tree_fd);
  // Permissions do not bind root: the tool then runs as nobody.
  std::vector<std::string> as_nobody;
  if (geteuid() == 0) {
    if (!fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "root without setpriv";
    as_nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    for (const auto& dir : {dir_, dir_ + "/copies"}) fs::permissions(dir, fs::perms::all);
  }
  const std::string report = dir_ + "/report.csv";
  ToolResult r = Run({"--report", report, in + "/tree", in + "/given-pipe", in + "/given-dangling",
                      in + "/closed-given"},
                     {}, as_nobody);
  close(sock);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::vector<std::string> ids;
  for (const Call& c : Calls()) ids.push_back(c.id);
  EXPECT_EQ(ids, std::vector<std::string>{"good"});
  EXPECT_NE(r.out.find("skipped (not mail)                       10"), std::string::npos) << r.out;
  const std::map<std::string, std::string> expected = {
      {in + "/tree/secret.eml", "skipped: unreadable (Permission denied)"},
      {in + "/tree/closed", "skipped: unreadable directory (Permission denied)"},
      {in + "/tree/pipe", "skipped: FIFO (not a regular file)"},
      {in + "/tree/sock", "skipped: socket (not a regular file)"},
      {in + "/tree/null", "skipped: device (not a regular file)"},
      {in + "/tree/dangling", "skipped: dangling symbolic link"},
      {in + "/tree/loop", "skipped: link to a directory (not followed)"},
      {in + "/given-pipe", "skipped: FIFO (not a regular file)"},
      {in + "/given-dangling", "skipped: dangling symbolic link"},
      {in + "/closed-given", "skipped: unreadable directory (Permission denied)"},
  };
  std::map<std::string, std::string> rows;
  for (const auto& row : Split(ReadFile(report), '\n')) {
    const auto f = Split(row, ',');
    if (f.size() >= 5 && f[0] != in + "/tree/good.eml" && f[0] != "source") rows[f[0]] = f[4];
  }
  EXPECT_EQ(rows, expected);
  for (const auto& [path, reason] : expected) {
    const std::string shown = reason.substr(9, reason.find(" (") - 9);
    EXPECT_NE(r.out.find(shown), std::string::npos) << shown << "\n" << r.out;
  }
  for (const auto& dir : {in + "/tree/closed", in + "/closed-given"}) {
    fs::permissions(dir, fs::perms::owner_all);
  }
}

TEST_F(ImportTool, OptionsChangeDatesLineEndsTablesAndFolder) {
  WriteFile(dir_ + "/in/a.eml", Mail("a"));
  ToolResult r = Run({"--date", "header", "--keep-line-ends", "--tables", "--folder",
                      "Archive.2026", dir_ + "/in/a.eml"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const auto calls = Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].date, "Tue, 3 Feb 2026 04:05:06 +0100");
  EXPECT_EQ(calls[0].bytes, Mail("a"));
  EXPECT_EQ(calls[0].file, dir_ + "/in/a.eml");
  EXPECT_FALSE(calls[0].views);
  EXPECT_EQ(calls[0].folder, "Archive.2026");
}

TEST_F(ImportTool, FailuresAreCountedReportedRetriedAndSetExitStatus1) {
  // A Message-ID that a spreadsheet would run as a formula.
  const std::string formula = "Message-ID: =HYPERLINK(\"http://x.invalid\",\"ok\")\n" + Mail("ok");
  WriteFile(dir_ + "/in/1.eml", formula);
  WriteFile(dir_ + "/in/2.eml", Mail("bad", "X-Fake-Result: 1004\n"));
  WriteFile(dir_ + "/in/3.eml", Mail("flaky", "X-Fake-Result: 1001 once\n"));
  WriteFile(dir_ + "/in/4.eml", "");
  const std::string report = dir_ + "/report.csv";
  ToolResult r = Run({"--report", report, "--status-file", dir_ + "/status.json", dir_ + "/in"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  const std::string status = ReadFile(dir_ + "/status.json");
  for (const char* part : {"\"finished\": true", "\"done\": 3, \"total\": 3, \"failed\": 1"}) {
    EXPECT_NE(status.find(part), std::string::npos) << status;
  }
  const auto calls = Calls();
  ASSERT_EQ(calls.size(), 4u) << "the database error is retried once";
  EXPECT_EQ(calls[2].result, 1001);
  EXPECT_EQ(calls[3].result, 0);
  EXPECT_EQ(calls[3].id, "flaky");
  EXPECT_NE(r.out.find("1 x 1004 Invalid mail content (Not RFC822 compliant)"), std::string::npos)
      << r.out;
  const auto rows = Split(ReadFile(report), '\n');
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0], "source,mbox_offset,folder,result,text,size,message_id,uid,run\r");
  const std::string in = dir_ + "/in/";
  auto size = [](const std::string& mail) { return "," + std::to_string(Crlf(mail).size()) + ","; };
  EXPECT_EQ(std::set<std::string>(rows.begin() + 1, rows.end()),
            (std::set<std::string>{
                in + "1.eml,,INBOX,0,OK" + size(formula) +
                    "\"'=HYPERLINK(\"\"http://x.invalid\"\",\"\"ok\"\")\",,1\r",
                in + "2.eml,,INBOX,1004,Invalid mail content (Not RFC822 compliant)" +
                    size(Mail("bad", "X-Fake-Result: 1004\n")) + "<bad@example.org>,,1\r",
                in + "3.eml,,INBOX,0,OK" + size(Mail("flaky", "X-Fake-Result: 1001 once\n")) +
                    "<flaky@example.org>,,1\r",
                in + "4.eml,,INBOX,,skipped: empty file,0,,,1\r"}));
}

TEST_F(ImportTool, ThreadsTakeOneCallPerFolderAtATimeFirstMailFirstAndCloseTheirConnections) {
  std::multiset<std::string> ids;
  for (const char* folder : {"A", "B", "C"}) {
    for (int i = 0; i < 8; ++i) {
      const std::string id = folder + std::to_string(i);
      // A's first mail fails: it may not have made the folder, so A's next
      // mail is a first mail again and waits for no other folder's creation.
      WriteFile(dir_ + "/in/" + folder + "/" + id + ".eml",
                Mail(id, id == "A0" ? "X-Fake-Result: 1004\n" : ""));
      ids.insert(id);
    }
  }
  ToolResult r = Run({"--threads", "4", dir_ + "/in"}, {{"FAKE_MAILSTORAGE_DELAY_MS", "5"}});
  ASSERT_EQ(r.status, 1) << r.out << r.err;
  const auto calls = Calls();
  std::multiset<std::string> called;
  std::map<std::string, const Call*> first;  // per folder, the call that started first
  std::set<std::string> threads;
  for (const auto& c : calls) {
    called.insert(c.id);
    threads.insert(c.thread);
    if (c.result == 0 && (!first.count(c.folder) || c.start < first[c.folder]->start)) {
      first[c.folder] = &c;
    }
  }
  EXPECT_EQ(called, ids);
  for (const auto& c : calls) {
    const Call* f = first[c.folder];
    if (&c != f && c.result == 0) {
      EXPECT_GT(c.start, f->end) << c.id << " started before " << f->id << " ended";
    }
  }
  // Calls into one folder never overlap: the store draws a UID inside the
  // insert, and two calls at once could commit in the other order.
  for (const auto& a : calls) {
    for (const auto& b : calls) {
      if (&a != &b && a.folder == b.folder) {
        EXPECT_TRUE(a.end < b.start || b.end < a.start) << a.id << " and " << b.id;
      }
    }
  }
  // Folder creations do not overlap each other.
  for (const auto& [folder_a, a] : first) {
    for (const auto& [folder_b, b] : first) {
      if (a != b) {
        EXPECT_TRUE(a->end < b->start || b->end < a->start) << folder_a << folder_b;
      }
    }
  }
  EXPECT_GT(threads.size(), 1u) << "the work was spread over threads";
  const auto closes = Closes();
  EXPECT_EQ(closes.size(), 4u);
  for (const auto& t : threads) EXPECT_EQ(std::count(closes.begin(), closes.end(), t), 1) << t;
}

TEST_F(ImportTool, CtrlCFinishesTheCallInFlightExits130AndTheJournalResumes) {
  std::multiset<std::string> ids;
  for (int i = 0; i < 10; ++i) {
    WriteFile(dir_ + "/in/" + std::to_string(i) + ".eml", Mail("i" + std::to_string(i)));
    ids.insert("i" + std::to_string(i));
  }
  const std::vector<std::string> args = {"--journal", dir_ + "/run.journal", dir_ + "/in"};
  ToolResult first = Run(args, {{"FAKE_MAILSTORAGE_INTERRUPT_AT", "3"}});
  EXPECT_EQ(first.status, 130) << first.out << first.err;
  EXPECT_NE(first.err.find("run the same command again to resume"), std::string::npos);
  ASSERT_EQ(Calls().size(), 3u);
  ToolResult second = Run(args);
  EXPECT_EQ(second.status, 0) << second.out << second.err;
  EXPECT_NE(second.out.find("done in an earlier run (journal)          3"), std::string::npos)
      << second.out;
  std::multiset<std::string> called;
  for (const auto& c : Calls()) called.insert(c.id);
  EXPECT_EQ(called, ids);
  // A third run finds everything done.
  EXPECT_EQ(Run(args).status, 0);
  EXPECT_EQ(Calls().size(), 10u);
}

// A second run on the same journal, while the first is inside a call, stops
// at once with 2 and names the journal and the first run's process; the
// first run completes undisturbed.
TEST_F(ImportTool, SecondRunOnTheSameJournalStopsAtOnceAndNamesTheFirst) {
  for (int i = 0; i < 3; ++i) WriteFile(dir_ + "/in/" + std::to_string(i) + ".eml", Mail("j"));
  const std::string journal = dir_ + "/run.journal";
  CallHold hold(dir_ + "/hold");
  std::map<std::string, std::string> env = hold.Env();
  env["FAKE_MAILSTORAGE_LOG"] = log_;
  ToolProcess first;
  first.Start(MS_IMPORT_TOOL, {"--user", "42", "--company", "7", "--no-check", "--quiet",
                               "--library", MS_FAKE_LIBRARY, "--registry", registry_,
                               "--journal", journal, dir_ + "/in"},
              env);
  hold.Reached();
  const ToolResult second = Run({"--journal", journal, dir_ + "/in"});
  EXPECT_EQ(second.status, 2) << second.out << second.err;
  EXPECT_NE(second.err.find("the journal " + journal + " is in use by another run (process " +
                            std::to_string(first.pid()) + ")"),
            std::string::npos)
      << second.err;
  hold.Release();
  const ToolResult r = first.Wait();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(Calls().size(), 3u);
}

TEST_F(ImportTool, BadUsageAndConfigurationExitWith2AndSayWhy) {
  const std::string in = dir_ + "/in/a.eml";
  WriteFile(in, Mail("a"));
  WriteFile(dir_ + "/nohost.reg",
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Nauvik\\Ostrel]\n\"DatabaseName\"=\"x\"\n");
  const std::string lib = MS_FAKE_LIBRARY;
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"--no-check", "--registry", registry_, "--library", dir_ + "/nowhere/lib.so", in},
       "library not found: "},
      {{"--no-check", "--registry", dir_ + "/none.reg", "--library", lib, in},
       "registry file missing: "},
      {{"--no-check", "--registry", registry_, "--library", in, in}, "cannot load the library"},
      {{"--no-check", "--registry", registry_, "--library", MS_FAKE_OTHER_VERSION, in},
       "is libMailStorage 0.0.1, this tool needs version " MAILSTORAGE_VERSION},
      {{"--registry", registry_, "--library", lib, in}, "has no key Software\\Nauvik\\Ostrel"},
      {{"--registry", dir_ + "/nohost.reg", "--library", lib, in}, "names no DatabaseHost"},
      {{"--no-check", "--registry", registry_, "--library", lib, dir_ + "/in/missing.eml"},
       "no such file or directory"},
  };
  for (auto [args, message] : cases) {
    args.insert(args.begin(), {"--user", "42", "--company", "7"});
    ToolResult r = RunTool(MS_IMPORT_TOOL, args, {{"FAKE_MAILSTORAGE_LOG", log_}});
    EXPECT_EQ(r.status, 2) << message << "\n" << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
  }
  ToolResult no_user = RunTool(MS_IMPORT_TOOL, {"--company", "7", in});
  EXPECT_EQ(no_user.status, 2);
  EXPECT_NE(no_user.err.find("--user is required"), std::string::npos) << no_user.err;
  EXPECT_TRUE(Calls().empty());
}

// The registry file holds the database password, and the journal and the
// report name mail files: a registry file others can read is warned about
// (the run goes on); a new journal and report are the owner's alone.
TEST_F(ImportTool, ReadableRegistryWarnedJournalAndReportPrivate) {
  WriteFile(dir_ + "/in/a.eml", Mail("a"));
  const std::string warning = "warning: " + registry_ + " can be read by other accounts";
  for (const mode_t mode : {0644, 0600}) {
    ASSERT_EQ(chmod(registry_.c_str(), mode), 0);
    const std::string journal = dir_ + "/run" + std::to_string(mode) + ".journal";
    const std::string report = dir_ + "/run" + std::to_string(mode) + ".csv";
    ToolResult r = Run({"--journal", journal, "--report", report, dir_ + "/in"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find(warning) != std::string::npos, mode == 0644) << r.err;
    for (const std::string& file : {journal, report}) {
      struct stat st;
      ASSERT_EQ(stat(file.c_str(), &st), 0) << file;
      EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
    }
  }
}

// A dry run calls nothing; it counts what the journal has done, leaves the
// journal as it was, and names folders that would fall together.
TEST_F(ImportTool, DryRunCallsNothing) {
  WriteFile(dir_ + "/in/a.eml", Mail("a"));
  WriteFile(dir_ + "/in/sub/b.eml", Mail("b"));
  WriteFile(dir_ + "/in/Sub/c.eml", Mail("c"));
  const std::string journal = dir_ + "/run.journal";
  ASSERT_EQ(Run({"--journal", journal, dir_ + "/in/a.eml"}).status, 0);
  const std::string before = ReadFile(journal);
  ToolResult r = RunTool(MS_IMPORT_TOOL, {"--user", "42", "--company", "7", "--dry-run",
                                          "--journal", journal, "--library", dir_ + "/none.so",
                                          dir_ + "/in"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Dry run: 3 items, 0 not mail, 1 done in an earlier run"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("INBOX.sub"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("fall together into one folder (letter case, a level cut at 100 "
                       "characters, or a.b beside a/b): INBOX.Sub, INBOX.sub"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(ReadFile(journal), before);
  ToolResult other = RunTool(MS_IMPORT_TOOL, {"--user", "43", "--company", "7", "--dry-run",
                                              "--journal", journal, dir_ + "/in"});
  EXPECT_EQ(other.status, 2) << other.out;
}

}  // namespace
}  // namespace Nauvik::Import
