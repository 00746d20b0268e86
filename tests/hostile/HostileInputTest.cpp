// Hostile input through the real libMailStorage.so (dlopen), on a store of the test's own, each
// call in a child process of its own: a crash or a hang is that case's failure. For each input: a
// clear result code, a child that ended normally, nothing changed but the call's own rows, and a
// stored mail byte for byte in its blob file.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/entry/LibraryHarness.h"
#include "tests/tools/PrivateStore.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// The hostile calls go to user 501; user 502 has mail of its own that must stay exactly as it is.
constexpr const char *kUser = "501";
constexpr const char *kBystander = "502";
constexpr int32_t kNoCode = -1;

mstest::PrivateStore *g_store = nullptr;
fs::path g_dir;  // mail files of the cases; removed at the end

const auto *const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new mstest::StoreEnvironment<mstest::PrivateStore>(
        "hostile", &g_store,
        [] {
          g_dir = fs::path(g_store->Blobs()).parent_path() / "mails";
          fs::create_directories(g_dir);
          for (const char *user : {kUser, kBystander}) {
            g_store->Sql(mstest::UserSql(user, "hostile"));
          }
        },
        [] { fs::remove_all(g_dir); }));

struct Outcome {
  int32_t code = kNoCode;
  std::string end;  // "" when the child exited normally, else how it ended
  long max_rss_kb = 0;
};

// One AddMailToMailStore call (and CloseDatabase) in a child process. The parent never calls the
// library itself: a child must not inherit an open connection. A child still running after five
// minutes ends by its alarm.
Outcome CallInChild(const std::string &file, const std::string &folder, const std::string &user) {
  int fds[2];
  if (pipe(fds) != 0) return {kNoCode, "no pipe", 0};
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(300);
    const int32_t code =
        mstest::Library::Get().add(file.c_str(), folder.c_str(), user.c_str(), user.c_str(),
                                   mstest::kDate.c_str(), false, false, true);
    mstest::Library::Get().close();
    _exit(write(fds[1], &code, sizeof code) == sizeof code ? 0 : 3);
  }
  close(fds[1]);
  Outcome outcome;
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (read(fds[0], &outcome.code, sizeof outcome.code) != sizeof outcome.code)
    outcome.code = kNoCode;
  close(fds[0]);
  if (WIFSIGNALED(status)) {
    outcome.end = "killed by signal " + std::to_string(WTERMSIG(status));
  } else if (WEXITSTATUS(status) != 0) {
    outcome.end = "exit status " + std::to_string(WEXITSTATUS(status));
  }
  outcome.max_rss_kb = usage.ru_maxrss;
  return outcome;
}

// Every row of the store that a call may not change, one text per row (the whole row's digest), and
// the rows it may add, by kind. Folders, links, subscriptions and rights carry their owner, so that
// new ones can be told apart; links their message.
std::set<std::string> Snapshot() {
  const std::vector<std::string> rows = g_store->Rows(
      "SELECT 'folder|' || USR_USERID || '|' || md5(T::text) FROM NS_IMAPFOLDER T UNION ALL "
      "SELECT 'link|' || F.USR_USERID || '|' || T.IMM_IMAPMESSAGEID || '|' || md5(T::text) FROM "
      "NS_IMAPMSGINFOLDER T JOIN NS_IMAPFOLDER F USING (IMF_IMAPFOLDERID) UNION ALL "
      "SELECT 'message|' || md5(T::text) || '|' || (SELECT COUNT(*) FROM NS_IMAPBODYPART B WHERE "
      "B.IMM_IMAPMESSAGEID = T.IMM_IMAPMESSAGEID) FROM NS_IMAPMESSAGE T UNION ALL "
      "SELECT 'record|' || md5(T::text) || '|' || COALESCE(FIS_DELETED::text, 'live') FROM "
      "NS_FILESTORAGE T UNION ALL "
      "SELECT 'subscription|' || USR_USERID || '|' || md5(T::text) FROM NS_IMAPSUBSCRIPTION T "
      "UNION ALL SELECT 'right|' || F.USR_USERID || '|' || md5(T::text) FROM NS_IMAPFOLDERACCESS T "
      "JOIN NS_IMAPFOLDER F USING (IMF_IMAPFOLDERID) UNION ALL "
      "SELECT 'user|' || USR_USERID || '|' || COM_COMPANYID || '|' || USR_ROWSTATUS FROM NS_USER");
  return std::set<std::string>(rows.begin(), rows.end());
}

struct Case {
  std::string name;
  std::function<void(std::ofstream &)> write;  // the mail file's bytes
  std::set<int32_t> codes = {0};               // the clear results this input may get
  std::string folder = "INBOX.hostile";
  std::string user = kUser;
};

// Runs one case and checks everything but the store's contents specific to the case; returns what
// it saw. The mail file is removed afterwards.
Outcome Try(const Case &c) {
  SCOPED_TRACE(c.name);
  const std::string file = (g_dir / "case.eml").string();
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  c.write(out);
  out.close();
  const std::set<std::string> before = Snapshot();
  const Outcome outcome = CallInChild(file, c.folder, c.user);
  const std::set<std::string> after = Snapshot();

  EXPECT_EQ(outcome.end, "") << "the call did not end normally";
  EXPECT_TRUE(c.codes.contains(outcome.code)) << "result " << outcome.code;
  for (const std::string &row : before) {
    EXPECT_TRUE(after.contains(row)) << "changed or removed: " << row;
  }
  int links = 0, messages = 0, records = 0;
  std::string linked_message;
  for (const std::string &row : after) {
    if (before.contains(row)) continue;
    const std::vector<std::string> fields = mstest::Split(row, '|');  // kind, owner, ...
    const std::string &kind = fields[0];
    links += kind == "link";
    messages += kind == "message";
    records += kind == "record" && row.ends_with("|live");
    if (kind == "link") linked_message = fields[2];
    if (kind == "folder" || kind == "link" || kind == "subscription" || kind == "right") {
      EXPECT_EQ(fields[1], c.user) << "new row of another user: " << row;
    }
  }
  // A stored mail is linked once; a refused one is linked nowhere. A message may outlive a refusal
  // after it was stored (the store keeps it when the folder step fails), but never a live blob
  // record without its message.
  EXPECT_EQ(links, outcome.code == 0 ? 1 : 0);
  EXPECT_LE(messages, 1);
  EXPECT_LE(records, messages);
  if (outcome.code == 0 && links == 1) {
    std::string blob = g_store->Sql(
        "SELECT FSH_HOSTPATH || FIS_LOCATION FROM NS_IMAPMESSAGE JOIN NS_FILESTORAGE USING "
        "(FIS_FILESTORAGEID) JOIN NS_FILESTORAGEHOST USING (FSH_FILESTORAGEHOSTID) WHERE "
        "IMM_IMAPMESSAGEID = " +
        linked_message);
    std::replace(blob.begin(), blob.end(), '\\', '/');
    // Compared by cmp: a copy of a big mail in this process would count in the next child's RSS.
    EXPECT_EQ(std::system(("cmp -s '" + blob + "' '" + file + "'").c_str()), 0)
        << "the blob differs from the mail";
  }
  fs::remove(file);
  std::printf("[ outcome  ] %-50s result %d, max RSS %ld MB%s%s\n", c.name.c_str(), outcome.code,
              outcome.max_rss_kb / 1024, outcome.end.empty() ? "" : ", ", outcome.end.c_str());
  return outcome;
}

// A plain mail around the given header lines and body, with a Message-ID of its own unless the
// headers bring one (mails without one and of the same size count as the same mail).
std::function<void(std::ofstream &)> Mail(const std::string &headers = "Subject: s\r\n",
                                          const std::string &body = "body\r\n") {
  static int counter = 0;
  const std::string id = headers.find("Message-ID:") == std::string::npos
                             ? "Message-ID: <" + std::to_string(++counter) + "@hostile>\r\n"
                             : "";
  return [=](std::ofstream &out) {
    out << "From: a@example.invalid\r\nTo: b@example.invalid\r\nDate: " << mstest::kDate << "\r\n"
        << id << headers << "\r\n"
        << body;
  };
}

std::function<void(std::ofstream &)> Bytes(const std::string &bytes) {
  return [=](std::ofstream &out) { out << bytes; };
}

std::string Repeat(const std::string &piece, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// The bystander's mail comes first: every later case checks that it stays.
TEST(HostileInput, MailShapesAndFolderNames) {
  std::string nested_open, nested_close;
  for (int i = 0; i < 2000; ++i) {
    nested_open += "--b" + std::to_string(i) + "\r\nContent-Type: multipart/mixed; boundary=b" +
                   std::to_string(i + 1) + "\r\n\r\n";
  }
  for (int i = 2000; i-- > 0;) nested_close += "--b" + std::to_string(i) + "--\r\n";
  std::string eight_bit;
  for (int b = 0; b < 256; ++b) eight_bit += static_cast<char>(b);
  const std::vector<Case> cases = {
      {"bystander INBOX", Mail(), {0}, "INBOX", kBystander},
      {"bystander INBOX.keep", Mail(), {0}, "INBOX.keep", kBystander},
      {"0 bytes", Bytes(""), {1023}},
      {"1 byte", Bytes("x")},
      {"only headers", Bytes("From: a@example.invalid\r\nSubject: headers only\r\n")},
      {"only a body", Bytes("\r\nA body without any header.\r\n")},
      {"1 MB header line", Mail("Subject: " + std::string(1 << 20, 's') + "\r\n")},
      {"100,000 header fields", Mail(Repeat("X-Field: value\r\n", 100000))},
      {"2,000 nested multiparts",
       Mail("MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b0\r\n",
            nested_open + "Content-Type: text/plain\r\n\r\ndeep\r\n" + nested_close)},
      {"boundary that never ends",
       Mail("MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=never\r\n",
            "--never\r\nContent-Type: text/plain\r\n\r\n" + Repeat("no end in sight\r\n", 5000))},
      {"8-bit bytes in header values, every byte in the body",
       Mail("Subject: \xe4\xf6\xfc\xff\r\nX-Raw: " + eight_bit.substr(128) + "\r\n",
            eight_bit + "\r\n" + eight_bit)},
      {"NUL byte in a header name", Mail("X-N\0ul: v\r\n"s)},
      {"NUL and 8-bit bytes in header values",
       Mail("Subject: a\0b \xe4\xf6\xfc\xff\r\nX-Raw: "s + eight_bit.substr(32) + "\r\n")},
      {"encoded NUL in the Subject", Mail("Subject: =?utf-8?B?YQBi?=\r\n")},
      {"encoded word in an unknown charset",
       Mail("Subject: =?x-no-such-charset?B?aGVsbG8=?= =?utf-16?Q?=00?=\r\n")},
      {"encoded word of invalid UTF-8",
       Mail("Subject: =?utf-8?Q?=C3=28=A0=A1=F0=28=8C=BC?= raw \xc3\x28\r\nFrom: "
            "=?utf-8?B?/w==?= <x@y>\r\n")},
      {"folder INBOX..empty", Mail(), {0}, "INBOX..empty"},
      {"folder .leading", Mail(), {1023}, ".leading"},
      {"folder INBOX.trailing.", Mail(), {0}, "INBOX.trailing."},
      {"folder ..", Mail(), {1023}, ".."},
      {"folder of no name", Mail(), {1023}, ""},
      {"folder with control bytes", Mail(), {0}, "INBOX.ctl\x01\x02\x1b[2J\x7f"},
      {"folder with a tab and a line end", Mail(), {0}, "INBOX.tab\there\r\nnewline"},
      {"folder of 306 characters", Mail(), {0}, "INBOX." + std::string(300, 'f')},
      {"folder of invalid UTF-8", Mail(), {0}, "INBOX.bad\xff\xfe\xc3(utf8"},
      {"folder INBOX.dot/../slash", Mail(), {0}, "INBOX.dot/../slash"},
  };
  for (const Case &c : cases) Try(c);
}

TEST(HostileInput, TwoHundredMegabyteMail) {
  constexpr size_t kSize = 200u << 20;
  const Outcome outcome = Try({"200 MB mail", [](std::ofstream &out) {
                                 out << "From: a@example.invalid\r\nSubject: big\r\n"
                                        "Message-ID: <big@hostile>\r\n\r\n";
                                 const std::string line = std::string(998, 'b') + "\r\n";
                                 for (size_t n = 0; n < kSize; n += line.size()) out << line;
                               }});
  // The mail is mapped, not copied: its size and a little more in memory; the address sanitizer's
  // shadow and quarantine take up to its size again.
#ifdef __SANITIZE_ADDRESS__
  constexpr size_t kSlack = kSize;
#else
  constexpr size_t kSlack = 100u << 20;
#endif
  EXPECT_LT(outcome.max_rss_kb, static_cast<long>((kSize + kSlack) / 1024)) << "max RSS in KB";
  // 12 million fields of one character each, 48 MB: each field costs a few bytes of its own, not
  // ten times its size (at 40 bytes a field they took 1.3 GB). The mail, and 8 bytes a field for
  // each of the header's readers that a call keeps at once (three: 350 MB).
  constexpr size_t kFields = 12u << 20;
  const Outcome many = Try({"12 million one-character header fields", [](std::ofstream &out) {
                              out << "From: a@example.invalid\r\nMessage-ID: <tiny@hostile>\r\n";
                              const std::string block = Repeat("a:\r\n", 4096);
                              for (size_t n = 0; n < kFields; n += 4096) out << block;
                              out << "Subject: last\r\n\r\nbody\r\n";
                            }});
  EXPECT_LT(many.max_rss_kb, static_cast<long>((8 * 4 * kFields + kSlack) / 1024))
      << "max RSS in KB";
}

TEST(HostileInput, MessageIdsMadeToBreakSqlText) {
  // Quotes, backslashes and LIKE wildcards in ids: the entry tests' pattern table.
  for (const std::string &id :
       {"<a;DROP TABLE NS_USER;--@hostile>"s, "<'); DELETE FROM NS_IMAPMESSAGE; --@hostile>"s,
        "<" + std::string(10000, 'm') + "@hostile>"}) {
    const Case c = {"Message-ID " + id.substr(0, 40),
                    Mail("Message-ID: " + id + "\r\nSubject: id\r\n")};
    Try(c);
    // The header summary keeps the first 95 characters of a Message-ID.
    EXPECT_EQ(g_store->Sql("SELECT IMM_MESSAGEID FROM NS_IMAPMESSAGE ORDER BY IMM_IMAPMESSAGEID "
                           "DESC LIMIT 1"),
              id.substr(0, 95))
        << c.name;
    // The same mail again is recognised as stored (its text as its own pattern matches itself)
    // unless the text was cut.
    const int64_t count = g_store->Int("SELECT COUNT(*) FROM NS_IMAPMESSAGE");
    Try({c.name + " again", c.write});
    EXPECT_EQ(g_store->Int("SELECT COUNT(*) FROM NS_IMAPMESSAGE"), count + (id.size() > 95))
        << c.name;
  }
}

}  // namespace
