// IMAP inputs into the private store, from the private Dovecot (its Maildir
// tree says what the store must hold) and the scripted misbehaving server.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <set>
#include <tuple>

#include "tests/tools/StoreFixture.h"

namespace Nauvik::Import {
namespace {

using namespace Test;
using mstest::Occurrences;
using mstest::SummaryCount;
namespace fs = std::filesystem;

// Users of these tests: 92000 and up; company 92000.
constexpr int64_t kCompany = 92000;
const std::string kNihon = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
const std::string kNihonUrl = "/%E6%97%A5%E6%9C%AC%E8%AA%9E";

// The scripted server for one script, on a port of its own, until the object goes.
struct ScriptedServer {
  explicit ScriptedServer(const std::string& script)
      : out(popen(("exec python3 '" MS_IMAP_SCRIPT_SERVER "' '" + script + "'").c_str(), "r")) {
    if (out && fscanf(out, "%d %d", &port, &pid) != 2) port = 0;
  }
  ~ScriptedServer() {
    if (pid > 0) kill(pid, SIGTERM);
    if (out) pclose(out);
  }
  FILE* out;
  int port = 0;
  pid_t pid = -1;
};

class ImapImport : public StoreSuite {
 protected:
  static void SetUpTestSuite() { OpenSharedStore(kCompany, "imap tests"); }

  void SetUp() override {
    StoreSuite::SetUp();
    if (!fs::exists(Fixture("/port"))) {
      GTEST_SKIP() << "no IMAP test server: dovecot-imapd is not installed (scripts/setup "
                      "installs it); see the output of the imap_fixture_start test";
    }
    port_ = Line("/port");
    tls_port_ = Line("/tls-port");
  }

  static std::string Fixture(const std::string& what) { return MS_TEST_IMAP + what; }
  static std::string Line(const std::string& what) {
    return Split(ReadFile(Fixture(what)), '\n').at(0);
  }
  static int Server(const std::string& command, const std::string& arg = "") {
    const std::string line =
        "'" MS_IMAP_FIXTURE "' " + command + " '" MS_TEST_IMAP "' " + arg + " >/dev/null";
    return system(line.c_str());
  }
  std::string Url(const std::string& folder = "") const {
    return "imap://user1@127.0.0.1:" + port_ + folder;
  }

  // The fixture's mails by store folder key below `target`, each "seen draft
  // internal-date\n" and its bytes (Dovecot's internal date: the file's mtime).
  static std::map<std::string, std::multiset<std::string>> Maildir(const std::string& target) {
    std::map<std::string, std::multiset<std::string>> out;
    const fs::path root = Fixture("/mail/user1/Maildir");
    for (const auto& e : fs::recursive_directory_iterator(root)) {
      const fs::path dir = e.path().parent_path();
      if (!e.is_regular_file() || (dir.filename() != "cur" && dir.filename() != "new")) continue;
      std::string folder = target;
      if (dir.parent_path() != root) {
        const std::string name = dir.parent_path().filename().string().substr(1);
        folder += "." + DecodeModifiedUtf7(name).value_or(name);
      }
      const auto flags = ParseMaildirFlags(e.path().filename().string());
      struct stat st {};
      stat(e.path().c_str(), &st);
      out[FolderKey(folder)].insert(std::to_string(flags.seen) + " " +
                                    std::to_string(flags.draft) + " " +
                                    std::to_string(st.st_mtime) + "\n" + ReadFile(e.path()));
    }
    return out;
  }

  // The same for the links of a store folder.
  std::multiset<std::string> Stored(int64_t folder) {
    std::map<std::string, std::string> state;
    for (const auto& r : Rows("SELECT MIF_IMAPMSGINFOLDERID, MIF_SEEN, MIF_DRAFT, "
                              "extract(epoch FROM MIF_INTERNALDATE)::bigint FROM "
                              "NV_IMAPMSGINFOLDER WHERE IMF_IMAPFOLDERID = " +
                              std::to_string(folder))) {
      state[r[0]] = r[1] + " " + r[2] + " " + r[3] + "\n";
    }
    std::multiset<std::string> out;
    for (const auto& l : Links(folder)) {
      out.insert(state[std::to_string(l.link_id)] + ReadFile(l.blob_path));
    }
    return out;
  }

  std::string Secret(const std::string& name, const std::string& text, mode_t mode = 0600) {
    WriteFile(dir_ + "/" + name, text);
    chmod((dir_ + "/" + name).c_str(), mode);
    return dir_ + "/" + name;
  }

  std::string port_, tls_port_;
  const std::string dir_ = MakeScratchDirectory(
      std::string("imap-") + testing::UnitTest::GetInstance()->current_test_info()->name());
};

// The whole account through an outage, a rerun that fetches nothing, a manifest
// (an IMAP folder read by the administrator, a local Maildir), new mail over LOGIN
// and implicit TLS, and a renumbered folder.
TEST_F(ImapImport, WholeAccountThenAManifestNewMailAndARenumberedFolderLinkNothingTwice) {
  const int64_t user = NewUser(92001);
  const auto maildir = Maildir("Mig");
  int total = 0;
  for (const auto& [key, mails] : maildir) total += static_cast<int>(mails.size());
  ASSERT_GE(total, 2000);
  const std::string fifo = dir_ + "/report.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::vector<std::string> args = {"--imap-ca", Fixture("/tls/ca.crt"), "--password-file",
                                   Fixture("/password"), "--folder", "Mig", "--threads", "2",
                                   "--journal", dir_ + "/journal"};
  ToolProcess p;
  std::vector<std::string> first = args;
  first.insert(first.end(), {"--report", fifo, Url()});
  p.Start(MS_IMPORT_TOOL, Args(user, first));
  {
    // A report row as each mail completes: after 100 the server goes away
    // with the session the importer holds. The importer cannot have the rest
    // of the account by then (it fetches at most a few megabytes ahead and
    // blocks on this pipe), so it must meet the dead session and reconnect.
    std::ifstream rows(fifo);
    int seen = 0;
    for (std::string line; std::getline(rows, line);) {
      if (++seen == 101) {
        ASSERT_EQ(Server("stop"), 0);
        ASSERT_EQ(Server("start"), 0);
      }
    }
    EXPECT_EQ(seen, total + 1);
  }
  ToolResult r = p.Wait();
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.err.find("reconnecting in 1 s"), std::string::npos) << r.err;
  EXPECT_EQ(SummaryCount(r.out, "imported"), total) << r.out;
  EXPECT_NE(r.out.find("F (flagged)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("keywords"), std::string::npos) << r.out;
  auto folders = Folders(user);
  for (const auto& [key, mails] : maildir) {
    ASSERT_TRUE(folders.count(key)) << key;
    EXPECT_TRUE(Stored(folders[key]) == mails) << key;
  }

  args.insert(args.end(), {"--verify", Url()});
  ToolResult again = Import(user, args);
  ASSERT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_EQ(SummaryCount(again.out, "imported"), 0) << again.out;
  EXPECT_EQ(SummaryCount(again.out, "done in an earlier run (journal)"), total) << again.out;
  const std::string n = std::to_string(total);
  EXPECT_NE(again.out.find("Verify: " + n + " mails checked, " + n + " match"), std::string::npos)
      << again.out;

  const int64_t nihon_user = NewUser(92002), maildir_user = NewUser(92004);
  const std::string url = "imaps://user1@localhost:" + tls_port_ + kNihonUrl;
  const std::string company = "," + std::to_string(kCompany) + ",";
  WriteFile(dir_ + "/md/cur/1.host:2,S", "From: a@x.invalid\nMessage-ID: <manifest@x>\n\nb\n");
  WriteFile(dir_ + "/accounts.csv",
            url + "," + std::to_string(nihon_user) + company +
                "Nihon,env:FIXTURE_ADMIN_PASSWORD,,admin1\n" + dir_ + "/md," +
                std::to_string(maildir_user) + company + "INBOX\n");
  args = Args(0, {"--manifest", dir_ + "/accounts.csv", "--journal-dir", dir_, "--imap-insecure"});
  args.erase(args.begin(), args.begin() + 4);  // no --user, --company
  r = RunTool(MS_IMPORT_TOOL, args, {{"FIXTURE_ADMIN_PASSWORD", Line("/admin-password")}});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Accounts: 2 of 2 run"), std::string::npos) << r.out;
  // Stored already for the first user: the library links those copies
  // (duplicates are found store-wide).
  const int64_t folder = Folders(nihon_user)["nihon"];
  const size_t before = maildir.at("mig." + kNihon).size();
  EXPECT_EQ(Links(folder).size(), before);
  EXPECT_EQ(Links(Folders(maildir_user)["inbox"]).size(), 1u);

  WriteFile(Fixture("/mail/user1/Maildir/.&ZeVnLIqe-/new/1900000000.late.fixture"),
            "From: late@example.org\r\nSubject: arrived later\r\nMessage-ID: "
            "<late@fixture.example>\r\n\r\nbody\r\n");
  args = {"--folder",    "Nihon", "--journal",       dir_ + "/92002-92000-nihon.journal",
          "--imap-auth", "login", "--imap-insecure", url};
  const std::map<std::string, std::string> env = {{"MAILSTORAGE_IMAP_PASSWORD", Line("/password")}};
  ToolResult next = Import(nihon_user, args, env);
  ASSERT_EQ(next.status, 0) << next.out << next.err;
  EXPECT_EQ(SummaryCount(next.out, "imported"), 1) << next.out;
  EXPECT_EQ(SummaryCount(next.out, "done in an earlier run (journal)"), static_cast<int>(before))
      << next.out;
  EXPECT_NE(next.out.find("certificates were NOT verified (--imap-insecure)"), std::string::npos)
      << next.out;
  const auto stored = Stored(folder);
  EXPECT_EQ(stored.size(), before + 1);

  // New UIDs under a new UIDVALIDITY: every mail is fetched again, and the
  // journal knows each one by its bytes, so none is linked a second time.
  // The host spelt in other case is the same account.
  ASSERT_EQ(Server("renumber", "'" + kNihon + "'"), 0);
  args.back() = "imaps://user1@LocalHost:" + tls_port_ + kNihonUrl;
  ToolResult renumbered = Import(nihon_user, args, env);
  ASSERT_EQ(renumbered.status, 0) << renumbered.out << renumbered.err;
  EXPECT_EQ(SummaryCount(renumbered.out, "imported"), 0) << renumbered.out;
  EXPECT_EQ(SummaryCount(renumbered.out, "linked again (already stored)"), 0) << renumbered.out;
  EXPECT_EQ(SummaryCount(renumbered.out, "done in an earlier run (journal)"),
            static_cast<int>(before) + 1)
      << renumbered.out;
  EXPECT_TRUE(Stored(folder) == stored);
}

TEST_F(ImapImport, RefusalsEndTheRunBeforeItStarts) {
  const std::string wrong = Secret("wrong-password", "not-the-password\n", 0644),
                    token = Secret("token", "tok\n");
  const std::string ca = Fixture("/tls/ca.crt"), password = Fixture("/password");
  const std::string plain = "imap://user1@127.0.0.2:" + port_;
  const std::vector<std::string> none, own = {"--password-file", password},
                                       good = {"--imap-ca", ca, "--password-file", password},
                                       bad = {"--imap-ca", ca, "--password-file", wrong};
  // Login options, the other arguments, exit status, what the run says.
  const std::tuple<std::vector<std::string>, std::vector<std::string>, int, const char*> cases[] = {
      {bad, {Url()}, 2, "can be read by other accounts"},
      {bad, {"--imap-auth", "login", Url()}, 2, "refused the login of user1 (LOGIN)"},
      {good, {"--imap-admin", "admin1", Url()}, 2,
       "refused the login of user1 as administrator admin1 (AUTHENTICATE PLAIN)"},
      {{"--imap-ca", ca, "--token-file", token}, {"--imap-auth", "oauthbearer", Url()}, 2,
       "127.0.0.1 does not offer AUTHENTICATE OAUTHBEARER, which the login of user1 needs"},
      {none, {"--imap-auth", "xoauth2", Url()}, 2,
       "an IMAP input needs a token: --token-file FILE or MAILSTORAGE_IMAP_TOKEN"},
      {none, {"--imap-admin", "admin1", "--imap-auth", "login", Url()}, 2,
       "--imap-admin logs in with AUTHENTICATE PLAIN"},
      {own, {"imap://user1@no-such-host.invalid"}, 2, "cannot resolve host no-such-host.invalid"},
      // Our CA is not in the system's store.
      {own, {Url()}, 2, "the certificate of 127.0.0.1 does not verify"},
      // The certificate is for 127.0.0.1 and localhost, not for this address.
      {good, {"imaps://user1@[::ffff:127.0.0.1]:" + tls_port_}, 2, "IP address mismatch"},
      // A partial wildcard (f*.partial.test) stands for no name; a whole
      // label wildcard (*.wild.test) does.
      {good, {"--imap-tls-name", "foo.partial.test", Url()}, 2,
       "the certificate of foo.partial.test does not verify: hostname mismatch"},
      {good, {"--imap-tls-name", "foo.wild.test", Url("/Sent")}, 0, "Mig "},
      {own, {plain}, 2, "offers no STARTTLS: refusing to send the password unencrypted"},
      {none, {Url()}, 2, "an IMAP input needs a password"},
      {good, {Url("/No/Such")}, 2, "the server has no folder No/Such"},
      // Allowed plain session; the dry run lists what the server holds.
      {own, {"--imap-plain", plain + "/Sent"}, 0, "Mig "},
  };
  for (const auto& [login, more, status, says] : cases) {
    std::vector<std::string> args = {"--folder", "Mig", "--dry-run"};
    args.insert(args.end(), login.begin(), login.end());
    args.insert(args.end(), more.begin(), more.end());
    ToolResult r = Import(92099, args);
    EXPECT_EQ(r.status, status) << says << "\n" << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(says), std::string::npos) << r.out << r.err;
  }
  ToolResult dry = Import(92099, {"--dry-run", "--folder", "Mig", "--imap-ca", ca,
                                  "--password-file", password, Url()});
  ASSERT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(SummaryCount(dry.out, "Mig.Archive.2019"),
            static_cast<int>(Maildir("Mig").at("mig.archive.2019").size()))
      << dry.out;
}

// What a server not ours may send: each case a script for the scripted
// server, and what the importer must make of it: no signal, no mail that
// did not come over TLS, nothing linked twice, and the rest of the account
// imported where one part of it is odd.
TEST_F(ImapImport, MisbehavingServersNeitherCrashNorForgeNorDouble) {
  const std::string fetch = R"("rules": [{"command": "UID FETCH .*BODY", )";
  const std::string password = Line("/password");
  // Bearer tokens: one the importer may send, one that other accounts can
  // read, and one that would add SASL fields of its own (CR LF, which would
  // add lines, is refused by the same check of every byte).
  const std::string token = Secret("token", "ya29.SECRET-x_y~z/+=\n"),
                    renewed = Secret("token-renewed", "SECRET-1\n"),
                    shared = Secret("token-shared", "SECRET", 0644),
                    ctl = Secret("token-ctl", "SECRET\x01user=other");
  const std::string sasl_ir = R"("capability": "IMAP4rev1 AUTH=PLAIN AUTH=OAUTHBEARER SASL-IR")";
  struct Case {
    const char* what;
    std::string script;
    int status;
    const char* says;    // in the output, the errors or the report
    const char* stored;  // the user's links after the run, and the folders that hold them
    std::vector<std::string> args = {};
    std::string logged = "";  // in the server's log of commands and SASL messages
    int logins = -1;          // AUTHENTICATE commands in that log, when not -1
  } cases[] = {
      {"bytes after the STARTTLS answer",
       R"("starttls": true, "rules": [{"command": "^STARTTLS", "reply": "{tag} OK go\r\n* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] forged\r\n"}])",
       2, "unencrypted bytes after its STARTTLS answer", "0 0"},
      {"a literal of a terabyte",
       fetch + R"("reply": "* 1 FETCH (UID 1 RFC822.SIZE 30 BODY[] {999999999999}\r\n"}])", 1,
       "announced a literal of 999999999999 bytes", "0 0"},
      {"a UIDVALIDITY that is no number",
       R"("rules": [{"command": "^EXAMINE", "reply": "* 2 EXISTS\r\n* OK [UIDVALIDITY abc] v\r\n{tag} OK\r\n"}])",
       2, "unreadable UIDVALIDITY", "0 0"},
      {"lists nested 500000 deep",
       R"("rules": [{"command": "^LIST", "reply": "* LIST )" + std::string(500000, '(') + R"(\r\n{tag} OK\r\n"}])",
       2, "unreadable LIST response", "0 0"},
      {"a body shorter than its RFC822.SIZE",
       R"("folders": [{"name": "INBOX", "mails": [{"uid": 1, "size": 36}, {"uid": 2}]}])", 1,
       "the server sent 20 bytes for a mail it says has 36", "1 1"},
      {"escape sequences in a refusal",
       R"("rules": [{"command": "^AUTHENTICATE", "reply": "{tag} NO \u001b[2J\u001b]0;owned\u0007 go away\r\n"}])",
       2, "?[2J?]0;owned? go away", "0 0"},
      {"an unsolicited FETCH during the listing",
       R"("folders": [{"name": "INBOX", "mails": [{"uid": 1, "flag_update": true}, {"uid": 2}, {"uid": 3, "flag_update": true}]}])",
       0, "", "3 1"},
      {"PREAUTH", R"("greeting": "* PREAUTH [CAPABILITY IMAP4rev1] you are in")", 0, "", "2 1"},
      {"LOGINDISABLED with AUTH=PLAIN, no SASL-IR",
       R"("capability": "IMAP4rev1 AUTH=PLAIN LOGINDISABLED")", 0, "", "2 1"},
      {"8-bit folder name, a folder that cannot be opened, \\All, NAMESPACE",
       R"js("capability": "IMAP4rev1 AUTH=PLAIN SASL-IR NAMESPACE",
           "namespace": "((\"\" \"/\")) ((\"Other/\" \"/\")) ((\"Public/\" \"/\"))",
           "folders": [{"name": "INBOX", "mails": 1}, {"name": "Caf\u00e9", "mails": 1},
                       {"name": "Broken", "refuse": true, "mails": 1},
                       {"name": "All Mail", "flags": "\\All", "mails": 2},
                       {"name": "Other/bob/INBOX", "mails": 1}, {"name": "Public/news", "mails": 1}])js",
       0, "/Broken,,Mig.Broken,,skipped: IMAP folder the server would not open", "2 2"},
      {"names that differ in case only, or in a \".\" for the delimiter",
       R"("folders": [{"name": "INBOX", "mails": 1}, {"name": "a.b", "mails": 1}, {"name": "a/b", "mails": 1},
                      {"name": "Foo", "mails": 1}, {"name": "foo", "mails": 1}])",
       0, "", "5 5"},
      {"BYE while listing",
       R"("rules": [{"command": "^LIST", "times": 1, "reply": "* BYE going away\r\n"}])", 0,
       "listing again in 1 s", "2 1"},
      {"\\Junk and \\Trash when asked, --imap-exclude",
       R"("folders": [{"name": "INBOX", "mails": 1}, {"name": "Spam", "flags": "\\Junk", "mails": 1},
                      {"name": "Bin", "flags": "\\Trash", "mails": 1}, {"name": "Work/a", "mails": 1},
                      {"name": "Work/b", "mails": 1}])",
       0, "", "2 2", {"--imap-skip-junk-trash", "--imap-exclude", "work/B"}},
      {"BYE in the middle of a fetch",
       fetch + R"("times": 1, "reply": "* 1 FETCH (UID 1 RFC822.SIZE 20 BODY[] {20}\r\nSubject: 1\r\n\r\nbody\r\n)\r\n* BYE shutting down\r\n"}])",
       0, "reconnecting in 1 s", "2 1"},
      {"OAUTHBEARER with an initial response", sasl_ir, 0, "", "2 1",
       {"--imap-auth", "oauthbearer", "--token-file", token},
       "SASL n,a=user1,\001auth=Bearer ya29.SECRET-x_y~z/+=\001\001\n"},
      {"XOAUTH2 on request, from a token file others can read",
       R"("capability": "IMAP4rev1 AUTH=XOAUTH2")", 0,
       "can be read by other accounts", "2 1", {"--imap-auth", "xoauth2", "--token-file", shared},
       "AUTHENTICATE XOAUTH2\nSASL user=user1\001auth=Bearer SECRET\001\001\n"},
      {"a token renewed during the run serves the reconnect",
       sasl_ir + ", " + fetch + R"("times": 1, "write": [")" + renewed + R"(", "SECRET-2\n"], "reply": "* BYE restart\r\n"}])",
       0, "reconnecting in 1 s", "2 1", {"--imap-auth", "oauthbearer", "--token-file", renewed},
       "SASL n,a=user1,\001auth=Bearer SECRET-2\001\001\n"},
      {"a refused token: its error challenge answered, its reasons shown",
       sasl_ir + R"(, "sasl_error": "eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIn0=")", 2,
       R"(refused the login of user1 (AUTHENTICATE OAUTHBEARER): [AUTHENTICATIONFAILED] refused {"status":"invalid_token"})",
       "0 0", {"--imap-auth", "oauthbearer", "--token-file", token}, "\nAQ==\n"},
      {"a token with a control byte", "", 2, "bytes a bearer token cannot have", "0 0",
       {"--imap-auth", "xoauth2", "--token-file", ctl}},
      {"an administrator's login", "", 0, "", "2 1", {"--imap-admin", "admin1"},
       "SASL user1" + std::string(1, '\0') + "admin1" + std::string(1, '\0') + password + "\n"},
      {"an administrator and a server without AUTHENTICATE PLAIN",
       R"("capability": "IMAP4rev1")", 2,
       "does not offer AUTHENTICATE PLAIN, which the login of user1 as administrator admin1 needs",
       "0 0", {"--imap-admin", "admin1"}},
      // Refused on a reconnect, three batches of mails make one more login,
      // not one per batch: the account stops.
      {"an administrator's login refused on a reconnect",
       R"("folders": [{"name": "INBOX", "mails": 450}], "rules": [
          {"command": "^AUTHENTICATE", "times": 1, "reply": "{tag} OK in\r\n"},
          {"command": "^AUTHENTICATE", "reply": "{tag} NO [AUTHENTICATIONFAILED] locked\r\n"},
          {"command": "UID FETCH .*BODY", "times": 1, "reply": "* BYE restart\r\n"}])",
       1, "failed                                  450", "0 0", {"--imap-admin", "admin1"}, "", 2},
      {"a mail expunged before its fetch",
       fetch + R"("reply": "* 1 FETCH (UID 1 RFC822.SIZE 20 BODY[] {20}\r\nSubject: 1\r\n\r\nbody\r\n)\r\n{tag} OK\r\n"}])",
       1, "no longer on the server", "1 1"},
  };
  int64_t user = 92100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NewUser(++user);
    const std::string log = dir_ + "/log-" + std::to_string(user), report = log + ".csv";
    const std::string head = R"({"tls_dir": ")" + Fixture("/tls") + R"(", "log": ")" + log + "\"";
    ScriptedServer server(Secret("script.json", head + (c.script.empty() ? "" : ", ") + c.script + "}"));
    ASSERT_NE(server.port, 0);
    // --imap-plain lets a session without STARTTLS go on; one with it is TLS.
    std::vector<std::string> args = {"--folder", "Mig", "--password-file", Fixture("/password"),
                                     "--imap-ca", Fixture("/tls/ca.crt"), "--imap-plain"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.insert(args.end(),
                {"--report", report, "imap://user1@127.0.0.1:" + std::to_string(server.port)});
    ToolResult r = Import(user, args);
    const std::string all = r.out + r.err + ReadFile(report), logged = ReadFile(log);
    EXPECT_EQ(r.status, c.status) << all;
    EXPECT_NE(all.find(c.says), std::string::npos) << all;
    for (const std::string& leak : {std::string("\x1b"), std::string("SECRET"), password}) {
      EXPECT_EQ(all.find(leak), std::string::npos) << all;
    }
    EXPECT_NE(logged.find(c.logged), std::string::npos) << logged;
    if (c.logins >= 0) {
      EXPECT_EQ(Occurrences("\n" + logged, "\nAUTHENTICATE"), static_cast<size_t>(c.logins));
    }
    EXPECT_EQ(Rows("SELECT count(*) || ' ' || count(DISTINCT MIF.IMF_IMAPFOLDERID) FROM "
                   "NV_IMAPMSGINFOLDER MIF JOIN NV_IMAPFOLDER IMF ON IMF.IMF_IMAPFOLDERID = "
                   "MIF.IMF_IMAPFOLDERID WHERE IMF.USR_USERID = " + std::to_string(user)),
              (std::vector<StoreDatabase::Row>{StoreDatabase::Row{c.stored}}))
        << all;
  }
}

}  // namespace
}  // namespace Nauvik::Import
