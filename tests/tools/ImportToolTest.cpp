// The real mailstorage-import against the recording double of the library; no database.

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
using mstest::SummaryCount;
namespace fs = std::filesystem;
using Env = std::map<std::string, std::string>;

struct Call {
  std::string thread, folder, date, file, bytes, id;  // id: the mail's X-Id header
  bool seen = false, draft = false, views = false;
  int start = 0, end = 0, result = 0;
};

class ImportTool : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* sub : {"/copies", "/tmp"}) fs::create_directories(dir_ + sub);
    WriteFile(registry_, "REGEDIT4\n");
  }

  std::vector<std::string> Args(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--user", "42", "--company", "7", "--no-check", "--quiet",
                               "--library", MS_FAKE_LIBRARY, "--registry", registry_});
    return args;
  }
  Env With(Env env = {}) const {
    env["FAKE_MAILSTORAGE_LOG"] = log_;
    env["FAKE_MAILSTORAGE_COPIES"] = dir_ + "/copies";
    env["TMPDIR"] = dir_ + "/tmp";
    return env;
  }
  ToolResult Run(const std::vector<std::string>& args, const Env& env = {}) const {
    return RunTool(MS_IMPORT_TOOL, Args(args), With(env));
  }

  // The calls in the order they ended (the user and company are always 42
  // and 7), and the threads that closed their connection.
  std::vector<Call> Calls(std::vector<std::string>* closes = nullptr) const {
    std::vector<Call> calls;
    for (const auto& line : Split(ReadFile(log_), '\n')) {
      const auto f = Split(line, '\t');
      if (closes != nullptr && f[0] == "close") closes->push_back(f[1]);
      if (f[0] != "call") continue;
      EXPECT_EQ(f[4] + "/" + f[5], "42/7");
      const std::string bytes = ReadFile(dir_ + "/copies/" + f[1] + ".eml");
      calls.push_back({f[2], f[3], f[6], f[14], bytes, HeaderField(bytes, "X-Id").value_or(""),
                       f[7] == "1", f[8] == "1", f[9] == "1", std::stoi(f[11]), std::stoi(f[12]),
                       std::stoi(f[13])});
    }
    return calls;
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

// A file that is one mail stays one mail: only an envelope line at its start
// goes. What is not mail or no readable file is skipped with the reason.
TEST_F(ImportTool, GivesTheLibraryEachMailWithFolderFlagsDateAndCrlfBytes) {
  const std::string in = dir_ + "/in", md = in + "/Maildir", tree = in + "/tree";
  const std::string envelope = "From MAILER-DAEMON Mon Jan 12 10:00:00 2026\n";
  const std::string crlf = "Subject: crlf\r\nX-Id: c1\r\n\r\nalready CRLF\r\n";
  const std::pair<std::string, std::string> files[] = {
      {md + "/cur/1767261600.M1.h:2,S", Mail("m1")},
      {md + "/new/1767261650.M4.h", Mail("m4")},
      {md + "/cur/1767261800.M3.h:2,S", envelope + WithPatch() + "\n"},
      {md + "/new/1767261900.M5.h", ""},
      {md + "/cur/msg.1767261600:2,Sab", Mail("m6")},  // no delivery time: its mtime
      {md + "/tmp/1767262100.M6.h", "partial"},
      {md + "/.Drafts.Old/cur/1767261700.M2.h:2,RDa", Mail("m2")},
      {md + "/.notmaildir/file", "x"},
      {md + "/dovecot.index", "x"},
      {tree + "/.hidden", "x"},
      // No ">From" unquoting outside an mbox: the line is the mail's own.
      {tree + "/bounce.eml", envelope + Bounce() + ">From me\n\n"},
      {tree + "/closed/inner.eml", Mail("inner")},
      // One file per mail, each with its envelope line: mails of the tree's
      // folder, not an mbox folder each. Two messages make an mbox.
      {tree + "/corpus/00001.7848dde1", envelope + WithPatch() + "\n"},
      {tree + "/lists/ops",
       envelope + "X-Id: ops1\n\n>From a\n\n" + envelope + "X-Id: ops2\n\nb\n"},
      {tree + "/notes/headerline", WithPatch()},
      {tree + "/secret.eml", Mail("secret")},
      {in + "/closed-given/x.eml", Mail("x")},
      {in + "/other/real.eml", Mail("real")},
      {in + "/box.mbox", "From x@y Fri Jan  9 08:00:00 2026\n" + Mail("b1") + ">From the body\n\n" +
                             envelope + Bounce() + "\n" +
                             Crlf(envelope + WithPatch() + "\nFrom x@y Sat Jan 10 09:30:00 2026\n" +
                                  Mail("b2") + "\n")},
      {in + "/c1.eml", crlf},
  };
  for (const auto& [path, bytes] : files) {
    WriteFile(path, bytes);
    fs::last_write_time(path, std::chrono::file_clock::from_sys(
                                  std::chrono::sys_seconds(std::chrono::seconds(1767262000))));
  }
  for (const char* closed : {"/tree/secret.eml", "/tree/closed", "/closed-given"}) {
    fs::permissions(in + closed, fs::perms::none);
  }
  ASSERT_EQ(mkfifo((tree + "/pipe").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo((in + "/given-pipe").c_str(), 0644), 0);
  fs::create_symlink(in + "/nowhere", tree + "/dangling");
  fs::create_symlink(in + "/nowhere", in + "/given-dangling");
  fs::create_symlink("/dev/null", tree + "/null");
  fs::create_directory_symlink(in + "/other", tree + "/loop");
  // The scratch path is too long for a socket address: bind through the directory's fd.
  const int tree_fd = open(tree.c_str(), O_PATH | O_DIRECTORY);
  const std::string socket_path = "/proc/self/fd/" + std::to_string(tree_fd) + "/sock";
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  socket_path.copy(address.sun_path, socket_path.size());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(tree_fd);
  std::string program = MS_IMPORT_TOOL;
  std::vector<std::string> args =
      Args({"--report", dir_ + "/report.csv", md, tree, in + "/box.mbox", in + "/c1.eml",
            in + "/given-pipe", in + "/given-dangling", in + "/closed-given"});
  // Permissions do not bind root: the tool then runs as nobody.
  if (geteuid() == 0) {
    if (!fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "root without setpriv";
    args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", program});
    program = "/usr/bin/setpriv";
    for (const auto& dir : {dir_, dir_ + "/copies", dir_ + "/tmp"}) {
      fs::permissions(dir, fs::perms::all);
    }
  }
  ToolResult r = RunTool(program, args, With());
  close(sock);
  for (const auto& dir : {tree + "/closed", in + "/closed-given"}) {
    fs::permissions(dir, fs::perms::owner_all);
  }
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string modified = "Thu, 1 Jan 2026 10:06:40 +0000";
  const std::string enveloped = "Mon, 12 Jan 2026 10:00:00 +0000";
  const std::tuple<std::string, std::string, bool, bool, std::string> expected[] = {
      {"INBOX", "Thu, 1 Jan 2026 10:00:00 +0000", true, false, Crlf(Mail("m1"))},
      {"INBOX", "Thu, 1 Jan 2026 10:00:50 +0000", false, false, Crlf(Mail("m4"))},
      {"INBOX", "Thu, 1 Jan 2026 10:03:20 +0000", true, false, Crlf(WithPatch())},
      {"INBOX", modified, true, false, Crlf(Mail("m6"))},
      {"INBOX.Drafts.Old", "Thu, 1 Jan 2026 10:01:40 +0000", false, true, Crlf(Mail("m2"))},
      {"INBOX", modified, false, false, Crlf(Bounce() + ">From me\n")},
      {"INBOX.corpus", enveloped, false, false, Crlf(WithPatch())},
      {"INBOX.lists.ops", enveloped, false, false, Crlf("X-Id: ops1\n\nFrom a\n")},
      {"INBOX.lists.ops", enveloped, false, false, Crlf("X-Id: ops2\n\nb\n")},
      {"INBOX.notes", modified, false, false, Crlf(WithPatch())},
      // mbox: no "From " line, quoting undone, separator line dropped.
      {"INBOX", "Fri, 9 Jan 2026 08:00:00 +0000", false, false,
       Crlf(Mail("b1") + "From the body\n")},
      {"INBOX", enveloped, false, false, Crlf(Bounce())},
      {"INBOX", enveloped, false, false, Crlf(WithPatch())},
      {"INBOX", "Sat, 10 Jan 2026 09:30:00 +0000", false, false, Crlf(Mail("b2"))},
      {"INBOX", modified, false, false, crlf},
  };
  const auto calls = Calls();
  ASSERT_EQ(calls.size(), std::size(expected));
  for (size_t i = 0; i < calls.size(); ++i) {
    const Call& c = calls[i];
    EXPECT_EQ(std::tie(c.folder, c.date, c.seen, c.draft, c.bytes), expected[i]) << i;
    EXPECT_TRUE(c.views);
    // A CRLF file is passed by its own path, the others as in-memory files.
    EXPECT_EQ(c.file.starts_with("/proc/self/fd/"), c.file != in + "/c1.eml") << c.file;
  }
  EXPECT_TRUE(fs::is_empty(dir_ + "/tmp"));
  const std::map<std::string, std::string> skipped = {
      {"/Maildir/new/1767261900.M5.h", "empty file"},
      {"/Maildir/tmp/1767262100.M6.h", "Maildir tmp/"},
      {"/Maildir/.notmaildir", "directory that is no Maildir folder"},
      {"/Maildir/dovecot.index", "not mail"},
      {"/tree/.hidden", "not mail"},
      {"/tree/secret.eml", "unreadable (Permission denied)"},
      {"/tree/closed", "unreadable directory (Permission denied)"},
      {"/tree/pipe", "FIFO (not a regular file)"},
      {"/tree/sock", "socket (not a regular file)"},
      {"/tree/null", "device (not a regular file)"},
      {"/tree/dangling", "dangling symbolic link"},
      {"/tree/loop", "link to a directory (not followed)"},
      {"/given-pipe", "FIFO (not a regular file)"},
      {"/given-dangling", "dangling symbolic link"},
      {"/closed-given", "unreadable directory (Permission denied)"},
  };
  std::map<std::string, std::string> rows;  // the report's skipped rows
  for (const auto& row : Split(ReadFile(dir_ + "/report.csv"), '\n')) {
    const auto f = Split(row, ',');
    if (f.size() > 4 && f[4].starts_with("skipped: ")) {
      rows[f[0].substr(in.size())] = f[4].substr(9);
    }
  }
  EXPECT_EQ(rows, skipped);
  for (const auto& [path, reason] : skipped) {
    EXPECT_NE(r.out.find(reason), std::string::npos) << reason << " in the summary\n" << r.out;
  }
  EXPECT_EQ(SummaryCount(r.out, "imported"), 15) << r.out;
  EXPECT_EQ(SummaryCount(r.out, "skipped (not mail)"), 15) << r.out;
  EXPECT_NE(r.out.find("R (answered) 1, keywords 3"), std::string::npos) << r.out;
}

// The registry file holds the database password, the journal and report name
// mail files: a readable registry is warned about, a new journal and report
// are the owner's alone. A dry run calls nothing and leaves the journal as it was.
TEST_F(ImportTool, FailuresAreCountedReportedRetriedAndSetExitStatus1) {
  // A Message-ID that a spreadsheet would run as a formula.
  const std::string formula = "Message-ID: =HYPERLINK(\"http://x.invalid\",\"ok\")\n" + Mail("ok");
  const std::string bad = Mail("bad", "X-Fake-Result: 1004\n");
  const std::string flaky = Mail("flaky", "X-Fake-Result: 1001 once\n");
  const std::string in = dir_ + "/in/", report = dir_ + "/report.csv";
  const std::string journal = dir_ + "/run.journal", opt = dir_ + "/opt";
  const std::string warning = "warning: " + registry_ + " can be read by other accounts";
  WriteFile(in + "1.eml", formula);
  WriteFile(in + "2.eml", bad);
  WriteFile(in + "3.eml", flaky);
  WriteFile(in + "4.eml", "");
  ASSERT_EQ(chmod(registry_.c_str(), 0644), 0);
  ToolResult r = Run({"--report", report, "--status-file", dir_ + "/status.json", dir_ + "/in"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find(warning), std::string::npos) << r.err;
  const std::string status = ReadFile(dir_ + "/status.json");
  for (const char* part : {"\"finished\": true", "\"done\": 3, \"total\": 3, \"failed\": 1"}) {
    EXPECT_NE(status.find(part), std::string::npos) << status;
  }
  auto calls = Calls();
  ASSERT_EQ(calls.size(), 4u) << "the database error is retried once";
  EXPECT_EQ(std::tie(calls[2].result, calls[3].result, calls[3].id),
            std::make_tuple(1001, 0, std::string("flaky")));
  EXPECT_NE(r.out.find("1 x 1004 Invalid mail content (Not RFC822 compliant)"), std::string::npos)
      << r.out;
  const auto rows = Split(ReadFile(report), '\n');
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0], "source,mbox_offset,folder,result,text,size,message_id,uid,run\r");
  auto size = [](const std::string& mail) { return "," + std::to_string(Crlf(mail).size()) + ","; };
  EXPECT_EQ(
      std::set<std::string>(rows.begin() + 1, rows.end()),
      (std::set<std::string>{in + "1.eml,,INBOX,0,OK" + size(formula) +
                                 "\"'=HYPERLINK(\"\"http://x.invalid\"\",\"\"ok\"\")\",,1\r",
                             in + "2.eml,,INBOX,1004,Invalid mail content (Not RFC822 compliant)" +
                                 size(bad) + "<bad@example.org>,,1\r",
                             in + "3.eml,,INBOX,0,OK" + size(flaky) + "<flaky@example.org>,,1\r",
                             in + "4.eml,,INBOX,,skipped: empty file,0,,,1\r"}));

  WriteFile(opt + "/a.eml", Mail("a"));
  WriteFile(opt + "/sub/b.eml", Mail("b"));
  WriteFile(opt + "/Sub/c.eml", Mail("c"));
  ASSERT_EQ(chmod(registry_.c_str(), 0600), 0);
  r = Run({"--journal", journal, "--report", report, "--date", "header", "--keep-line-ends",
           "--tables", "--folder", "Archive.2026", opt + "/a.eml"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find(warning), std::string::npos) << r.err;
  for (const std::string& file : {journal, report}) {
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0) << file;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
  }
  calls = Calls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(std::tie(calls[4].date, calls[4].bytes, calls[4].file, calls[4].views, calls[4].folder),
            std::make_tuple("Tue, 3 Feb 2026 04:05:06 +0100", Mail("a"), opt + "/a.eml", false,
                            "Archive.2026"));
  const std::string before = ReadFile(journal);
  std::vector<std::string> dry = {"--user",       "42",        "--company",       "7",
                                  "--dry-run",    "--journal", journal,           "--folder",
                                  "Archive.2026", "--library", dir_ + "/none.so", opt};
  r = RunTool(MS_IMPORT_TOOL, dry);
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char* part : {"Dry run: 3 items, 0 not mail, 1 done in an earlier run",
                           "fall together into one folder (letter case, a level cut at 100 "
                           "characters, or a.b beside a/b): Archive.2026.Sub, Archive.2026.sub"}) {
    EXPECT_NE(r.out.find(part), std::string::npos) << r.out;
  }
  EXPECT_EQ(ReadFile(journal), before);
  dry[1] = "43";  // the journal is another user's import
  EXPECT_EQ(RunTool(MS_IMPORT_TOOL, dry).status, 2);
  EXPECT_EQ(Calls().size(), 5u);
}

// A second run on the same journal, while the first is inside a call, stops
// at once with 2 and names the journal and the first run's process. Ctrl-C
// lets the call in flight finish and exits 130; the journal resumes the rest,
// here at four threads: calls into one folder never overlap (the store draws
// a UID inside the insert, and two calls at once could commit in the other
// order), a folder's first mail goes before its others, one folder is made at
// a time, and each thread closes its connection once.
TEST_F(ImportTool, SecondRunOnTheSameJournalStopsAtOnceAndNamesTheFirst) {
  std::multiset<std::string> ids, called;
  for (const char* folder : {"0", "A", "B", "C"}) {  // the first run takes folder 0's three
    for (int i = 0; i < (*folder == '0' ? 3 : 8); ++i) {
      const std::string id = folder + std::to_string(i);
      // A's first mail fails: it may not have made the folder, so A's next
      // mail is a first mail again and waits for no other folder's creation.
      WriteFile(dir_ + "/in/" + folder + "/" + id + ".eml",
                Mail(id, id == "A0" ? "X-Fake-Result: 1004\n" : ""));
      ids.insert(id);
    }
  }
  const std::string journal = dir_ + "/run.journal";
  const std::vector<std::string> args = {"--journal", journal, dir_ + "/in"};
  CallHold hold(dir_ + "/hold");
  Env env = hold.Env();
  env["FAKE_MAILSTORAGE_INTERRUPT_AT"] = "3";  // Ctrl-C in the third call
  ToolProcess first;
  first.Start(MS_IMPORT_TOOL, Args(args), With(env));
  hold.Reached();
  const ToolResult second = Run(args);
  EXPECT_EQ(second.status, 2) << second.out << second.err;
  EXPECT_NE(second.err.find("the journal " + journal + " is in use by another run (process " +
                            std::to_string(first.pid()) + ")"),
            std::string::npos)
      << second.err;
  hold.Release();
  const ToolResult interrupted = first.Wait();
  EXPECT_EQ(interrupted.status, 130) << interrupted.out << interrupted.err;
  EXPECT_NE(interrupted.err.find("run the same command again to resume"), std::string::npos);
  ASSERT_EQ(Calls().size(), 3u);
  ToolResult resumed = Run({"--threads", "4", "--journal", journal, dir_ + "/in"},
                           {{"FAKE_MAILSTORAGE_DELAY_MS", "5"}});
  ASSERT_EQ(resumed.status, 1) << resumed.out << resumed.err;
  EXPECT_EQ(SummaryCount(resumed.out, "done in an earlier run (journal)"), 3) << resumed.out;
  std::vector<std::string> closes;
  auto calls = Calls(&closes);
  for (const auto& c : calls) called.insert(c.id);
  EXPECT_EQ(called, ids);
  calls.erase(calls.begin(), calls.begin() + 3);    // the resumed run's
  std::map<std::string, const Call*> first_stored;  // per folder
  std::set<std::string> threads;
  for (const auto& c : calls) {
    threads.insert(c.thread);
    const Call*& f = first_stored[c.folder];
    if (c.result == 0 && (f == nullptr || c.start < f->start)) f = &c;
  }
  for (const auto& a : calls) {
    const Call* f = first_stored[a.folder];
    if (&a != f && a.result == 0) {
      EXPECT_GT(a.start, f->end) << a.id << " started before " << f->id << " ended";
    }
    for (const auto& b : calls) {
      if (&a != &b && (a.folder == b.folder || (&a == f && &b == first_stored[b.folder]))) {
        EXPECT_TRUE(a.end < b.start || b.end < a.start) << a.id << " and " << b.id;
      }
    }
  }
  EXPECT_GT(threads.size(), 1u) << "the work was spread over threads";
  for (const auto& t : threads) EXPECT_EQ(std::count(closes.begin(), closes.end(), t), 1) << t;
  EXPECT_EQ(closes.size(), 5u);  // one of the first run, four of the resumed one
}

TEST_F(ImportTool, BadUsageAndConfigurationExitWith2AndSayWhy) {
  const std::string in = dir_ + "/in dir/a.eml", reg = registry_, lib = MS_FAKE_LIBRARY;
  WriteFile(in, Mail("a"));
  WriteFile(dir_ + "/nohost.reg",
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Nauvik\\Ostrel]\n\"DatabaseName\"=\"x\"\n");
  // With the user and company before, and the input after.
  const auto line = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--user", "42", "--company", "7"});
    args.push_back(in);
    return args;
  };
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"--company", "7", in}, "--user is required"},
      {{"--user", "abc", "--company", "7", in}, "--user and --company take decimal ids above 0"},
      {{"--user", "42", "--company", "0", in}, "--user and --company take decimal ids above 0"},
      {line({"--shard", "0/3"}), "--shard takes K/N with 1 <= K <= N, not '0/3'"},
      {line({"--shard", "4/3"}), "not '4/3'"},
      {line({"--shard", "1-3"}), "not '1-3'"},
      {line({"--threads", "0"}), "--threads: Value 0 not in range 1 to 64"},
      {line({"--date", "sent"}), "--date: sent not in {file,header}"},
      {line({"--folder", "A..B"}), "--folder 'A..B' is not a folder name"},
      {line({"--verify", "--no-check"}), "--verify reads the database; it cannot"},
      {{"--user", "42", "--company", "7"}, "inputs is required"},
      {line({"--no-check", "--registry", reg, "--library", dir_ + "/nowhere/lib.so"}),
       "library not found: "},
      {line({"--no-check", "--registry", dir_ + "/none.reg", "--library", lib}),
       "registry file missing: "},
      {line({"--no-check", "--registry", reg, "--library", in}), "cannot load the library"},
      {line({"--no-check", "--registry", reg, "--library", MS_FAKE_OTHER_VERSION}),
       "is libMailStorage 0.0.1, this tool needs version " MAILSTORAGE_VERSION},
      {line({"--registry", reg, "--library", lib}), "has no key Software\\Nauvik\\Ostrel"},
      {line({"--registry", dir_ + "/nohost.reg", "--library", lib}), "names no DatabaseHost"},
      {{"--user", "42", "--company", "7", "--no-check", "--registry", reg, "--library", lib,
        dir_ + "/in dir/missing.eml"},
       "no such file or directory"},
  };
  for (const auto& [args, message] : cases) {
    ToolResult r = RunTool(MS_IMPORT_TOOL, args, With());
    EXPECT_EQ(r.status, 2) << testing::PrintToString(args) << "\n" << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
  }
  EXPECT_TRUE(Calls().empty());
  EXPECT_EQ(RunTool(MS_IMPORT_TOOL, {"--version"}).out,
            "mailstorage-import " MAILSTORAGE_VERSION "\n");
}

}  // namespace
}  // namespace Nauvik::Import
