// mailstorage-import with imap:// and imaps:// inputs against the private
// Dovecot server (scripts/imap-fixture) and the private PostgreSQL store:
// the whole account with folders, flags and dates while the server is
// stopped and started again mid-run, the rerun that fetches nothing, new
// mail and a renumbered folder, and the refusals that end a run before it
// starts. What the store must hold is read from the fixture's own Maildir
// tree, which the server serves.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <optional>
#include <set>

#include "tests/tools/StoreFixture.h"

namespace Nauvik::Import {
namespace {

using namespace Test;
namespace fs = std::filesystem;

// Users of these tests: 92000 and up, one per test; company 92000.
constexpr int64_t kCompany = 92000;

struct MaildirMail {
  std::string bytes;
  bool seen = false;
  bool draft = false;
  std::string date;  // RFC 822 text of the file's modification time
};

class ImapImport : public StoreSuite {
 protected:
  static void SetUpTestSuite() { OpenSharedStore(kCompany, "imap tests"); }

  void SetUp() override {
    StoreSuite::SetUp();
    if (!fs::exists(fs::path(MS_TEST_IMAP) / "port")) {
      GTEST_SKIP() << "no IMAP test server: dovecot-imapd is not installed (scripts/setup "
                      "installs it); see the output of the imap_fixture_start test";
    }
    port_ = Trim(ReadFile(std::string(MS_TEST_IMAP) + "/port"));
    tls_port_ = Trim(ReadFile(std::string(MS_TEST_IMAP) + "/tls-port"));
  }

  static std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
  }
  static std::string Fixture(const std::string& what) { return std::string(MS_TEST_IMAP) + what; }
  static int Server(const std::string& command, const std::string& arg = "") {
    const std::string line =
        "'" MS_IMAP_FIXTURE "' " + command + " '" MS_TEST_IMAP "' " + arg + " >/dev/null";
    return system(line.c_str());
  }

  std::string Url(const std::string& folder = "") const {
    return "imap://user1@127.0.0.1:" + port_ + folder;
  }
  std::vector<std::string> Secure() const {
    return {"--imap-ca", Fixture("/tls/ca.crt"), "--password-file", Fixture("/password")};
  }

  // The fixture's Maildir by store folder (lower case, below `target`).
  static std::map<std::string, std::vector<MaildirMail>> Maildir(const std::string& target) {
    std::map<std::string, std::vector<MaildirMail>> out;
    const fs::path root = Fixture("/mail/user1/Maildir");
    std::vector<fs::path> dirs{root};
    for (const auto& e : fs::directory_iterator(root)) {
      if (e.is_directory() && e.path().filename().string().starts_with(".")) dirs.push_back(e);
    }
    for (const fs::path& dir : dirs) {
      std::string folder = target;
      if (dir != root) {
        const std::string name = dir.filename().string().substr(1);
        folder += "." + DecodeModifiedUtf7(name).value_or(name);
      }
      auto& mails = out[FolderKey(folder)];
      for (const char* sub : {"cur", "new"}) {
        for (const auto& f : fs::directory_iterator(dir / sub)) {
          MaildirMail m;
          m.bytes = ReadFile(f.path());
          const auto flags = ParseMaildirFlags(f.path().filename().string());
          m.seen = flags.seen;
          m.draft = flags.draft;
          struct stat st {};
          stat(f.path().c_str(), &st);
          m.date = Rfc822DateFromEpoch(st.st_mtime);
          mails.push_back(std::move(m));
        }
      }
    }
    return out;
  }

  // Per link: blob bytes -> "seen draft date" as the store has them.
  std::multimap<std::string, std::string> Stored(int64_t folder) {
    const auto rows = Rows(
        "SELECT MIF.MIF_IMAPMSGINFOLDERID, MIF.MIF_SEEN, MIF.MIF_DRAFT, "
        "to_char(MIF.MIF_INTERNALDATE, 'YYYY-MM-DD HH24:MI:SS') FROM NV_IMAPMSGINFOLDER MIF "
        "WHERE MIF.IMF_IMAPFOLDERID = " +
        std::to_string(folder));
    std::map<std::string, std::string> state;
    for (const auto& r : rows) state[r[0]] = r[1] + " " + r[2] + " " + r[3];
    std::multimap<std::string, std::string> out;
    for (const auto& l : Links(folder)) {
      out.emplace(ReadFile(l.blob_path), state[std::to_string(l.link_id)]);
    }
    return out;
  }
  std::set<std::string> BlobPaths(int64_t folder) {
    std::set<std::string> paths;
    for (const auto& l : Links(folder)) {
      paths.insert(l.blob_path);
    }
    return paths;
  }

  // The store's internal date text for an RFC 822 UTC date.
  static std::string StoreDate(const std::string& rfc822_utc) {
    // "Thu, 5 Mar 2026 10:00:00 +0000" -> "2026-03-05 10:00:00"
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int day = 0, year = 0;
    char month[4] = {}, time[9] = {};
    sscanf(rfc822_utc.c_str(), "%*3s, %d %3s %d %8s", &day, month, &year, time);
    int m = 0;
    for (int i = 0; i < 12; ++i) {
      if (std::string(month) == months[i]) m = i + 1;
    }
    char out[32];
    snprintf(out, sizeof out, "%04d-%02d-%02d %s", year, m, day, time);
    return out;
  }

  // Every Maildir mail of the folders below `target` is in its store folder
  // exactly once, with its seen and draft flags and its internal date.
  void ExpectStoreHoldsMaildir(int64_t user, const std::string& target, size_t expected_total) {
    auto folders = Folders(user);
    size_t total = 0;
    for (const auto& [key, mails] : Maildir(target)) {
      ASSERT_TRUE(folders.count(key)) << key;
      std::multimap<std::string, std::string> want;
      for (const auto& m : mails) {
        want.emplace(m.bytes, std::string(m.seen ? "1" : "0") + " " + (m.draft ? "1" : "0") + " " +
                                  StoreDate(m.date));
      }
      EXPECT_TRUE(Stored(folders[key]) == want) << key;
      total += mails.size();
    }
    EXPECT_EQ(total, expected_total);
  }

  static size_t Count(const std::string& summary, const std::string& what) {
    const size_t at = summary.find("  " + what + " ");
    if (at == std::string::npos) return 0;
    return std::stoul(summary.substr(summary.find_first_not_of(' ', at + what.size() + 2)));
  }

  std::string port_;
  std::string tls_port_;
  const std::string dir_ = MakeScratchDirectory(
      std::string("imap-") + testing::UnitTest::GetInstance()->current_test_info()->name());
};

TEST_F(ImapImport, WholeAccountThroughAServerOutageThenARerunFetchesNothing) {
  const int64_t user = NewUser(92001);
  const size_t total = [] {
    size_t n = 0;
    for (const auto& [key, mails] : Maildir("Mig")) n += mails.size();
    return n;
  }();
  ASSERT_GE(total, 2000u);
  const std::string fifo = dir_ + "/report.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::vector<std::string> args = Secure();
  args.insert(args.end(), {"--folder", "Mig", "--threads", "2", "--journal", dir_ + "/journal"});
  ToolProcess p;
  std::vector<std::string> first = args;
  first.insert(first.end(), {"--report", fifo, Url()});
  p.Start(MS_IMPORT_TOOL, Args(user, first));
  {
    // A report row as each mail completes: after 100 the server goes away
    // for a while, with most of the account still to be fetched.
    std::ifstream rows(fifo);
    int seen = 0;
    for (std::string line; std::getline(rows, line);) {
      if (++seen == 101) {
        ASSERT_EQ(Server("stop"), 0);
        sleep(2);
        ASSERT_EQ(Server("start"), 0);
      }
    }
    EXPECT_EQ(seen, static_cast<int>(total) + 1);
  }
  ToolResult r = p.Wait();
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.err.find("reconnecting in 1 s"), std::string::npos) << r.err;
  EXPECT_EQ(Count(r.out, "imported"), total) << r.out;
  EXPECT_NE(r.out.find("F (flagged)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("keywords"), std::string::npos) << r.out;
  ExpectStoreHoldsMaildir(user, "Mig", total);

  args.insert(args.end(), {"--verify", Url()});
  ToolResult again = RunTool(MS_IMPORT_TOOL, Args(user, args));
  ASSERT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_EQ(Count(again.out, "imported"), 0u) << again.out;
  EXPECT_EQ(Count(again.out, "done in an earlier run (journal)"), total) << again.out;
  const std::string verified =
      "Verify: " + std::to_string(total) + " mails checked, " + std::to_string(total) + " match";
  EXPECT_NE(again.out.find(verified), std::string::npos) << again.out;
}

TEST_F(ImapImport, NewMailIsPickedUpAndARenumberedFolderComesBackAsDuplicates) {
  const int64_t user = NewUser(92002);
  // A folder named in UTF-8 in the URL, LOGIN with the password from the
  // environment, implicit TLS without the certificate check.
  const std::vector<std::string> args = {
      "--folder",        "Nihon",
      "--journal",       dir_ + "/journal",
      "--imap-auth",     "login",
      "--imap-insecure", "imaps://user1@localhost:" + tls_port_ + "/%E6%97%A5%E6%9C%AC%E8%AA%9E"};
  const std::map<std::string, std::string> env = {
      {"MAILSTORAGE_IMAP_PASSWORD", Trim(ReadFile(Fixture("/password")))}};
  const size_t before = Maildir("Nihon").at("nihon.\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E").size();

  // Stored already when another test imported the whole account: the
  // library links those copies (duplicates are found store-wide).
  ToolResult r = RunTool(MS_IMPORT_TOOL, Args(user, args), env);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(Count(r.out, "imported") + Count(r.out, "linked again (already stored)"), before)
      << r.out;
  EXPECT_NE(r.out.find("certificates were NOT verified (--imap-insecure)"), std::string::npos)
      << r.out;

  const std::string mail =
      "From: late@example.org\r\nSubject: arrived later\r\nMessage-ID: <late@fixture.example>\r\n"
      "\r\nbody\r\n";
  const fs::path drop = Fixture("/mail/user1/Maildir/.&ZeVnLIqe-/new/1900000000.late.fixture");
  WriteFile(drop.string(), mail);
  ToolResult next = RunTool(MS_IMPORT_TOOL, Args(user, args), env);
  ASSERT_EQ(next.status, 0) << next.out << next.err;
  EXPECT_EQ(Count(next.out, "imported"), 1u) << next.out;
  EXPECT_EQ(Count(next.out, "done in an earlier run (journal)"), before) << next.out;
  const int64_t folder = Folders(user)["nihon"];
  const std::set<std::string> blobs = BlobPaths(folder);
  EXPECT_EQ(blobs.size(), before + 1);

  // New UIDs under a new UIDVALIDITY: every mail is fetched again and the
  // store recognises each one as stored already, so no blob is added.
  ASSERT_EQ(Server("renumber", "'\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E'"), 0);
  ToolResult renumbered = RunTool(MS_IMPORT_TOOL, Args(user, args), env);
  ASSERT_EQ(renumbered.status, 0) << renumbered.out << renumbered.err;
  EXPECT_EQ(Count(renumbered.out, "imported"), 0u) << renumbered.out;
  EXPECT_EQ(Count(renumbered.out, "linked again (already stored)"), before + 1) << renumbered.out;
  EXPECT_EQ(BlobPaths(folder), blobs);
}

// Two accounts in one manifest: an IMAP folder whose password is in an
// environment variable that the manifest names, and a local Maildir.
TEST_F(ImapImport, ManifestWithAnImapAndAMaildirAccount) {
  const int64_t imap_user = NewUser(92003), maildir_user = NewUser(92004);
  WriteFile(dir_ + "/md/cur/1.host:2,S", "From: a@x.invalid\nMessage-ID: <manifest@x>\n\nb\n");
  const std::string company = std::to_string(kCompany);
  WriteFile(dir_ + "/accounts.csv", Url("/%E6%97%A5%E6%9C%AC%E8%AA%9E") + "," +
                                        std::to_string(imap_user) + "," + company +
                                        ",Nihon,env:FIXTURE_PASSWORD\n" + dir_ + "/md," +
                                        std::to_string(maildir_user) + "," + company + ",INBOX\n");
  std::vector<std::string> args =
      Args(0, {"--manifest", dir_ + "/accounts.csv", "--journal-dir", dir_ + "/journals",
               "--imap-ca", Fixture("/tls/ca.crt")});
  args.erase(args.begin(), args.begin() + 4);  // no --user, --company
  ToolResult r = RunTool(MS_IMPORT_TOOL, args,
                         {{"FIXTURE_PASSWORD", Trim(ReadFile(Fixture("/password")))}});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Accounts: 2 of 2 run"), std::string::npos) << r.out;
  EXPECT_EQ(BlobPaths(Folders(imap_user)["nihon"]).size(),
            Maildir("Nihon").at("nihon.\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E").size());
  EXPECT_EQ(BlobPaths(Folders(maildir_user)["inbox"]).size(), 1u);
}

TEST_F(ImapImport, RefusalsEndTheRunBeforeItStarts) {
  const std::string wrong = dir_ + "/wrong-password";
  WriteFile(wrong, "not-the-password\n");
  const std::string ca = Fixture("/tls/ca.crt");
  const std::string password = Fixture("/password");
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* says;
  } cases[] = {
      {{"--imap-ca", ca, "--password-file", wrong, Url()},
       2,
       "refused the login of user1 (AUTHENTICATE PLAIN)"},
      {{"--imap-ca", ca, "--password-file", wrong, "--imap-auth", "login", Url()},
       2,
       "refused the login of user1 (LOGIN)"},
      {{"--password-file", password, "imap://user1@no-such-host.invalid"},
       2,
       "cannot resolve host no-such-host.invalid"},
      {{"--password-file", password, Url()},  // our CA is not in the system's store
       2,
       "the certificate of 127.0.0.1 does not verify"},
      {{"--password-file", password, "imap://user1@127.0.0.2:" + port_},
       2,
       "offers no STARTTLS: refusing to send the password unencrypted"},
      {{Url()}, 2, "an IMAP input needs a password"},
      {{"--imap-ca", ca, "--password-file", password, Url("/No/Such")},
       2,
       "the server has no folder No/Such"},
      // Allowed plain session; the dry run lists what the server holds.
      {{"--imap-plain", "--password-file", password, "imap://user1@127.0.0.2:" + port_ + "/Sent"},
       0,
       "Mig "},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--folder", "Mig", "--dry-run"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ToolResult r = RunTool(MS_IMPORT_TOOL, Args(92099, args));
    EXPECT_EQ(r.status, c.status) << c.args.back() << "\n" << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
  }
  ToolResult dry = RunTool(MS_IMPORT_TOOL, Args(92099, {"--dry-run", "--folder", "Mig", "--imap-ca",
                                                        ca, "--password-file", password, Url()}));
  ASSERT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(Count(dry.out, "Mig.Archive.2019"), Maildir("Mig").at("mig.archive.2019").size())
      << dry.out;
}

}  // namespace
}  // namespace Nauvik::Import
