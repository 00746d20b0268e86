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
Outcome CallInChild(const std::string &file, const std::string &folder, const std::string &user,
                    const std::string &company) {
  int fds[2];
  if (pipe(fds) != 0) return {kNoCode, "no pipe", 0};
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(300);
    const int32_t code =
        mstest::Library::Get().add(file.c_str(), folder.c_str(), user.c_str(), company.c_str(),
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

// Every row of the store that a call may not change, one text per row, and the rows it may add, by
// kind. Folders, links, subscriptions and rights carry their owner, so that new ones can be told
// apart.
std::set<std::string> Snapshot() {
  const std::vector<std::string> rows = g_store->Rows(
      "SELECT 'folder|' || USR_USERID || '|' || IMF_IMAPFOLDERID || '|' || "
      "COALESCE(IMF_IMAPFOLDERID_PARENT, 0) || '|' || md5(COALESCE(IMF_FOLDERNAME, '')) || '|' || "
      "IMF_UID || '|' || IMF_NOSELECT FROM NS_IMAPFOLDER "
      "UNION ALL SELECT 'link|' || F.USR_USERID || '|' || MIF_IMAPMSGINFOLDERID || '|' || "
      "IMM_IMAPMESSAGEID || '|' || MIF_UID || '|' || MIF_SEEN || MIF_DRAFT || MIF_RECENT || "
      "MIF_ANSWERED || MIF_FLAGGED || MIF_DELETED || '|' || MIF_INTERNALDATE FROM "
      "NS_IMAPMSGINFOLDER MIF JOIN NS_IMAPFOLDER F USING (IMF_IMAPFOLDERID) "
      "UNION ALL SELECT 'message|' || IMM_IMAPMESSAGEID || '|' || FIS_FILESTORAGEID || '|' || "
      "md5(COALESCE(IMM_MESSAGEID, '') || COALESCE(IMM_SUBJECT, '') || COALESCE(IMM_FROM, '')) "
      "|| '|' || (SELECT COUNT(*) FROM NS_IMAPBODYPART B WHERE B.IMM_IMAPMESSAGEID = "
      "M.IMM_IMAPMESSAGEID) FROM NS_IMAPMESSAGE M "
      "UNION ALL SELECT 'record|' || FIS_FILESTORAGEID || '|' || COALESCE(FIS_LOCATION, '') || "
      "'|' || FIS_SIZE || '|' || COALESCE(FIS_DELETED::text, 'live') FROM NS_FILESTORAGE "
      "UNION ALL SELECT 'subscription|' || USR_USERID || '|' || IMS_IMAPSUBSCRIPTIONID FROM "
      "NS_IMAPSUBSCRIPTION "
      "UNION ALL SELECT 'right|' || F.USR_USERID || '|' || IFA_IMAPFOLDERACCESSID || '|' || "
      "A.USR_USERID || '|' || IFA_AR_INSERT FROM NS_IMAPFOLDERACCESS A JOIN NS_IMAPFOLDER F "
      "USING (IMF_IMAPFOLDERID) "
      "UNION ALL SELECT 'user|' || USR_USERID || '|' || COM_COMPANYID || '|' || USR_ROWSTATUS "
      "FROM NS_USER");
  return std::set<std::string>(rows.begin(), rows.end());
}

// The blob file of the newest link of a user.
std::string NewestBlob(const std::string &user) {
  std::string path = g_store->Sql(
      "SELECT FSH_HOSTPATH || FIS_LOCATION FROM NS_IMAPMSGINFOLDER MIF JOIN NS_IMAPFOLDER F "
      "USING (IMF_IMAPFOLDERID) JOIN NS_IMAPMESSAGE M ON M.IMM_IMAPMESSAGEID = "
      "MIF.IMM_IMAPMESSAGEID JOIN NS_FILESTORAGE FIS ON FIS.FIS_FILESTORAGEID = "
      "M.FIS_FILESTORAGEID JOIN NS_FILESTORAGEHOST H ON H.FSH_FILESTORAGEHOSTID = "
      "FIS.FSH_FILESTORAGEHOSTID WHERE F.USR_USERID = " +
      user + " ORDER BY MIF_IMAPMSGINFOLDERID DESC LIMIT 1");
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

struct Case {
  std::string name;
  std::function<void(std::ofstream &)> write;  // the mail file's bytes
  std::string folder = "INBOX.hostile";
  std::string user = kUser;
  std::string company = kUser;
  std::set<int32_t> codes = {0};  // the clear results this input may get
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
  const Outcome outcome = CallInChild(file, c.folder, c.user, c.company);
  const std::set<std::string> after = Snapshot();

  EXPECT_EQ(outcome.end, "") << "the call did not end normally";
  EXPECT_TRUE(c.codes.contains(outcome.code)) << "result " << outcome.code;
  for (const std::string &row : before) {
    EXPECT_TRUE(after.contains(row)) << "changed or removed: " << row;
  }
  const std::string owner = std::to_string(std::strtoll(c.user.c_str(), nullptr, 10));
  int links = 0, messages = 0, records = 0;
  for (const std::string &row : after) {
    if (before.contains(row)) continue;
    const std::vector<std::string> fields = mstest::Split(row, '|');  // kind, owner, ...
    const std::string &kind = fields[0];
    links += kind == "link";
    messages += kind == "message";
    records += kind == "record" && row.ends_with("|live");
    if (kind == "folder" || kind == "link" || kind == "subscription" || kind == "right") {
      EXPECT_EQ(fields[1], owner) << "new row of another user: " << row;
    }
  }
  // A stored mail is linked once; a refused one is linked nowhere. A message may outlive a refusal
  // after it was stored (the store keeps it when the folder step fails), but never a live blob
  // record without its message.
  EXPECT_EQ(links, outcome.code == 0 ? 1 : 0);
  EXPECT_LE(messages, 1);
  EXPECT_LE(records, messages);
  if (outcome.code == 0 && links == 1) {
    // Compared by cmp: a copy of a big mail in this process would count in the next child's RSS.
    EXPECT_EQ(std::system(("cmp -s '" + NewestBlob(owner) + "' '" + file + "'").c_str()), 0)
        << "the blob differs from the mail";
  }
  fs::remove(file);
  std::printf("[ outcome  ] %-40s result %d, max RSS %ld MB%s%s\n", c.name.c_str(), outcome.code,
              outcome.max_rss_kb / 1024, outcome.end.empty() ? "" : ", ", outcome.end.c_str());
  return outcome;
}

// A plain mail around the given header lines and body, with a Message-ID of its own unless the
// headers bring one (mails without one and of the same size count as the same mail).
std::function<void(std::ofstream &)> Mail(const std::string &headers, const std::string &body) {
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

Case Shape(const std::string &name, std::function<void(std::ofstream &)> write,
           std::set<int32_t> codes = {0}) {
  return Case{name, std::move(write), "INBOX.hostile", kUser, kUser, std::move(codes)};
}

std::function<void(std::ofstream &)> Bytes(const std::string &bytes) {
  return [=](std::ofstream &out) { out << bytes; };
}

std::string Repeat(const std::string &piece, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// The bystander's mail, stored first: everything above checks it stays.
TEST(HostileInput, BystanderMailIsStoredFirst) {
  for (const char *folder : {"INBOX", "INBOX.keep"}) {
    Try(Case{std::string("bystander ") + folder, Mail("Subject: mine\r\n", "body\r\n"), folder,
             kBystander, kBystander});
  }
}

TEST(HostileInput, MailShapes) {
  std::string nested_open, nested_close;
  for (int i = 0; i < 2000; ++i) {
    nested_open += "--b" + std::to_string(i) + "\r\nContent-Type: multipart/mixed; boundary=b" +
                   std::to_string(i + 1) + "\r\n\r\n";
  }
  for (int i = 2000; i-- > 0;) nested_close += "--b" + std::to_string(i) + "--\r\n";
  std::string eight_bit;
  for (int b = 0; b < 256; ++b) eight_bit += static_cast<char>(b);
  const std::vector<Case> cases = {
      Shape("0 bytes", Bytes(""), {1023}),
      Shape("1 byte", Bytes("x")),
      Shape("only headers", Bytes("From: a@example.invalid\r\nSubject: headers only\r\n")),
      Shape("only a body", Bytes("\r\nA body without any header.\r\n")),
      Shape("1 MB header line", Mail("Subject: " + std::string(1 << 20, 's') + "\r\n", "body\r\n")),
      Shape("100,000 header fields", Mail(Repeat("X-Field: value\r\n", 100000), "body\r\n")),
      Shape("2,000 nested multiparts",
            Mail("MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b0\r\n",
                 nested_open + "Content-Type: text/plain\r\n\r\ndeep\r\n" + nested_close)),
      Shape("boundary that never ends", Mail("MIME-Version: 1.0\r\nContent-Type: multipart/mixed; "
                                             "boundary=never\r\n",
                                             "--never\r\nContent-Type: text/plain\r\n\r\n" +
                                                 Repeat("no end in sight\r\n", 5000))),
      Shape("8-bit bytes in header values, every byte in the body",
            Mail("Subject: \xe4\xf6\xfc\xff\r\nX-Raw: " + eight_bit.substr(128) + "\r\n",
                 eight_bit + "\r\n" + eight_bit)),
      Shape("NUL byte in a header name", Mail("X-N\0ul: v\r\n"s, "body\r\n")),
      Shape("NUL and 8-bit bytes in header values",
            Mail("Subject: a\0b \xe4\xf6\xfc\xff\r\nX-Raw: "s + eight_bit.substr(32) + "\r\n",
                 "body\r\n")),
      Shape("encoded NUL in the Subject", Mail("Subject: =?utf-8?B?YQBi?=\r\n", "body\r\n")),
      Shape("encoded word in an unknown charset",
            Mail("Subject: =?x-no-such-charset?B?aGVsbG8=?= =?utf-16?Q?=00?=\r\n", "body\r\n")),
      Shape("encoded word of invalid UTF-8",
            Mail("Subject: =?utf-8?Q?=C3=28=A0=A1=F0=28=8C=BC?= raw \xc3\x28\r\nFrom: "
                 "=?utf-8?B?/w==?= <x@y>\r\n",
                 "body\r\n")),
  };
  for (const Case &c : cases) Try(c);
}

TEST(HostileInput, TwoHundredMegabyteMail) {
  constexpr size_t kSize = 200u << 20;
  const Case big = Shape("200 MB mail", [](std::ofstream &out) {
    out << "From: a@example.invalid\r\nSubject: big\r\nMessage-ID: <big@hostile>\r\n\r\n";
    const std::string line = std::string(998, 'b') + "\r\n";
    for (size_t written = 0; written < kSize; written += line.size()) out << line;
  });
  const Outcome outcome = Try(big);
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
  const Case tiny = Shape("12 million one-character header fields", [](std::ofstream &out) {
    out << "From: a@example.invalid\r\nMessage-ID: <tiny-fields@hostile>\r\n";
    const std::string block = Repeat("a:\r\n", 4096);
    for (size_t written = 0; written < kFields; written += 4096) out << block;
    out << "Subject: last\r\n\r\nbody\r\n";
  });
  const Outcome many = Try(tiny);
  EXPECT_LT(many.max_rss_kb, static_cast<long>((8 * 4 * kFields + kSlack) / 1024))
      << "max RSS in KB";
}

TEST(HostileInput, MessageIdsMadeToBreakSqlText) {
  // Quotes, backslashes and LIKE wildcards in ids: the entry tests' pattern table.
  const std::vector<std::string> ids = {
      "<a;DROP TABLE NS_USER;--@hostile>",
      "<'); DELETE FROM NS_IMAPMESSAGE; --@hostile>",
      "<" + std::string(10000, 'm') + "@hostile>",
  };
  for (const std::string &id : ids) {
    const std::string label = "Message-ID " + id.substr(0, 40);
    const Case c = Shape(label, Mail("Message-ID: " + id + "\r\nSubject: id\r\n", "body\r\n"));
    Try(c);
    // The header summary keeps the first 95 characters of a Message-ID.
    EXPECT_EQ(g_store->Sql("SELECT IMM_MESSAGEID FROM NS_IMAPMESSAGE ORDER BY IMM_IMAPMESSAGEID "
                           "DESC LIMIT 1"),
              id.substr(0, 95))
        << label;
    // The same mail again is recognised as stored (its text as its own pattern matches itself)
    // unless the text was cut.
    const int64_t count = g_store->Int("SELECT COUNT(*) FROM NS_IMAPMESSAGE");
    Try(Shape(label + " again", c.write));
    EXPECT_EQ(g_store->Int("SELECT COUNT(*) FROM NS_IMAPMESSAGE"), count + (id.size() > 95))
        << label;
  }
}

TEST(HostileInput, FolderNames) {
  const std::vector<std::pair<std::string, std::set<int32_t>>> folders = {
      {"INBOX..empty", {0}},
      {".leading", {1023}},
      {"INBOX.trailing.", {0}},
      {"..", {1023}},
      {"", {1023}},
      {"INBOX.ctl\x01\x02\x1b[2J\x7f", {0}},
      {"INBOX.tab\there\r\nnewline", {0}},
      {"INBOX." + std::string(300, 'f'), {0}},
      {"INBOX.bad\xff\xfe\xc3(utf8", {0}},
      {"INBOX.dot/../slash", {0}},
  };
  for (const auto &[folder, codes] : folders) {
    std::string label;
    for (unsigned char ch : folder.substr(0, 30)) {
      label += ch >= 0x20 && ch < 0x7f ? std::string(1, static_cast<char>(ch)) : "?";
    }
    Try(Case{"folder \"" + label + "\"", Mail("Subject: folder\r\n", "body\r\n"), folder, kUser,
             kUser, codes});
  }
}

}  // namespace
