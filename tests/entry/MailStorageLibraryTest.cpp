// libMailStorage.so called as a host calls it: the rows, blob files and log lines each call leaves.

#include "tests/entry/LibraryHarness.h"

namespace mstest {
namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Each test has users of its own: 7100000 + its number * 100.
class MailStorageLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Library::Get().add && Library::Get().close) << Library::Get().error;
  }
  int32_t AddMail(const std::string& message_id, const std::string& folder,
                  const std::string& user) {
    return Add(WriteMail(MakeMail(message_id, "x")), folder, user);
  }
  // The first line of a call, and the ERROR line of a failed one with the result code's text.
  std::string Adding(const fs::path& file, const std::string& user, const std::string& folder) {
    return "STATUS: " + tid_ + ": AddMailToMailStore(): Adding file " + file.string() +
           " to IMAP storage. User: " + user + ". Folder: " + folder + ".\r\n";
  }
  std::string ErrorLine(const std::string& text) {
    return "ERROR: " + tid_ + ": AddMailToMailStore(): Error when adding file: " + text +
           ". Last exception: ";
  }
  const std::string tid_ = std::to_string(gettid());
  const std::string added_ =
      "STATUS: " + tid_ + ": AddMailToMailStore(): File added successfully.\r\n";
  LogWatch log_;
};

// Ancestors created with their own UID sequences, all rights and only the named folder subscribed;
// the flags asked for; the internal and sent dates from the texts, or now (UTC) when unreadable;
// the blob's creator and file type those of the migration tool on base tables.
TEST_F(MailStorageLibrary, NewMailIntoNewNestedFolder) {
  const std::string user = MakeUser(7100100, "Nested Owner");
  const std::string folder = "Archive.2026.Projects";
  const std::string now = "SELECT to_char(now() AT TIME ZONE 'UTC', 'YYYY/MM/DD HH24:MI:SS')";
  // {date, seen, draft, use_views, uid|seen|draft|recent|answered|flagged|deleted|date, blob}
  const std::tuple<std::string, bool, bool, bool, std::string, std::string> cases[] = {
      {kDate, false, false, true, "1|0|0|1|0|0|0|1994/11/15 07:12:31", "11|11"},
      {"15 Nov 94 08:12:31 -0330", true, false, true, "2|1|0|1|0|0|0|2094/11/15 11:42:31", "11|11"},
      {"no date at all", true, true, false, "3|1|1|1|0|0|0|", "46|21"},
  };
  for (const auto& [date, seen, draft, use_views, link, blob] : cases) {
    const std::string id = "<nested-" + link.substr(0, 1) + "@test>";
    SCOPED_TRACE(id);
    const bool bad_date = link.back() == '|';
    const std::string mail = MakeMail(id, "Nested", 0, bad_date ? date : kDate);
    const fs::path file = WriteMail(mail);
    const std::string before = Sql(now);
    ASSERT_EQ(Add(file, folder, user, date, seen, draft, use_views), kOk);
    const std::string after = Sql(now);
    // One link; one message row with its body parts, one live blob holding the mail.
    const std::vector<std::string> links = Links(FolderId(user, folder), id);
    const std::vector<std::string> stored = SqlRows(
        "SELECT to_char(IMM_SENT, 'YYYY/MM/DD HH24:MI:SS'), FIS_SIZE, FIS_CREATEDBY, "
        "FIT_FILETYPEID, EXISTS (SELECT 1 FROM NS_IMAPBODYPART B WHERE B.IMM_IMAPMESSAGEID = "
        "M.IMM_IMAPMESSAGEID), replace(FSH_HOSTPATH || FIS_LOCATION, '\\', '/') FROM "
        "NS_IMAPMESSAGE M JOIN NS_FILESTORAGE USING (FIS_FILESTORAGEID) JOIN NS_FILESTORAGEHOST "
        "USING (FSH_FILESTORAGEHOSTID) WHERE FIS_DELETED IS NULL AND IMM_MESSAGEID = " +
        Quote(id));
    ASSERT_EQ(links.size(), 1u);
    ASSERT_EQ(stored.size(), 1u);
    const std::string sent = stored[0].substr(0, 19);
    const std::string path = stored[0].substr(stored[0].rfind('|') + 1);
    EXPECT_EQ(stored[0], sent + "|" + std::to_string(mail.size()) + "|" + blob + "|t|" + path);
    EXPECT_EQ(ReadFile(path), mail);
    const std::string stamp = links[0].substr(link.size());  // the internal date when unreadable
    EXPECT_TRUE(!bad_date || (before <= stamp && stamp <= after && before <= sent && sent <= after))
        << stamp << ", " << sent << " not from " << before << " to " << after;
    EXPECT_EQ(links[0] + "|" + sent,
              link + (bad_date ? stamp + "|" + sent : "|1994/11/15 07:12:31"));
    EXPECT_EQ(log_.Take(), Adding(file, user, folder) + added_);
  }
  // The leaf found by its path, each of the three folders with its sequence and all rights.
  EXPECT_EQ(SqlRows("SELECT concat(IFA_AR_LOOKUP, IFA_AR_READ, IFA_AR_KEEP, IFA_AR_WRITE, "
                    "IFA_AR_INSERT, IFA_AR_POST, IFA_AR_CREATE, IFA_AR_DELETE_MBOX, "
                    "IFA_AR_DELETE_MESSAGE, IFA_AR_PERFORM_EXPUNGE, IFA_AR_ADMINISTER), (SELECT "
                    "COUNT(*) FROM pg_class WHERE relkind = 'S' AND relname = 'imapfolder_' || "
                    "F.IMF_IMAPFOLDERID) FROM NS_IMAPFOLDER F LEFT JOIN NS_IMAPFOLDERACCESS A ON "
                    "A.IMF_IMAPFOLDERID = F.IMF_IMAPFOLDERID AND A.USR_USERID = F.USR_USERID "
                    "WHERE F.USR_USERID = " +
                    user),
            std::vector<std::string>(3, "11111111111|1"));
  EXPECT_EQ(
      SqlRows("SELECT IMF_SUBSCRIPTIONNAME FROM NS_IMAPSUBSCRIPTION WHERE USR_USERID = " + user),
      std::vector<std::string>{folder});
}

// 1020 without the insert right (the message row written first stays), also for a folder shared for
// lookup only, which takes the mail once granted. A folder level longer than its name column is
// cut, and logs the table layer's ERROR line once, when its row is written.
TEST_F(MailStorageLibrary, InsertRightIsRequired) {
  const std::string owner = MakeUser(7100400, "Ship.Office");
  const std::string other = MakeUser(7100401, "Other User");
  ASSERT_EQ(AddMail("<right-0@test>", "Crew", owner), kOk);
  const std::string crew = std::to_string(FolderId(owner, "Crew"));
  Sql("UPDATE NS_IMAPFOLDERACCESS SET IFA_AR_INSERT = 0 WHERE IMF_IMAPFOLDERID = " + crew);
  log_.Take();
  EXPECT_EQ(AddMail("<right-1@test>", "Crew", owner), kAccessDenied);
  EXPECT_EQ(Count("NS_IMAPMESSAGE", "IMM_MESSAGEID = '<right-1@test>'"), 1);
  EXPECT_EQ(Count("NS_IMAPMSGINFOLDER", "IMF_IMAPFOLDERID = " + crew), 1);
  EXPECT_TRUE(Contains(log_.Take(), ErrorLine("Access denied to IMAP folder") + "\r\n"));
  Sql("INSERT INTO NS_IMAPFOLDERACCESS (IFA_IMAPFOLDERACCESSID, IMF_IMAPFOLDERID, USR_USERID, "
      "IFA_AR_LOOKUP) VALUES (nextval('NS_IMAPFOLDERACCESS_SEQ'), " +
      crew + ", " + other + ", 1)");
  const std::string shared = "#Shared.Ship_Office (" + owner + ").Crew";
  EXPECT_EQ(AddMail("<right-2@test>", shared, other), kAccessDenied);
  Sql("UPDATE NS_IMAPFOLDERACCESS SET IFA_AR_INSERT = 1 WHERE USR_USERID = " + other);
  EXPECT_EQ(AddMail("<right-3@test>", shared, other), kOk);
  EXPECT_EQ(Links(std::stoll(crew), "<right-3@test>").size(), 1u);
  EXPECT_EQ(Count("NS_IMAPFOLDER", "USR_USERID = " + other), 0);
  // Even with the create right, no folder of one user below another's: the later calls of both
  // users go on as before.
  Sql("UPDATE NS_IMAPFOLDERACCESS SET IFA_AR_CREATE = 1 WHERE USR_USERID = " + other);
  EXPECT_EQ(AddMail("<right-4@test>", shared + ".Sub", other), 1022);
  EXPECT_EQ(AddMail("<right-5@test>", "INBOX", other), kOk);
  EXPECT_EQ(AddMail("<right-6@test>", "INBOX", other), kOk);
  EXPECT_EQ(AddMail("<right-7@test>", "Crew.Sub", owner), kOk);
  EXPECT_EQ(AddMail("<right-8@test>", shared, other), kOk);
  EXPECT_EQ(Count("NS_IMAPFOLDER", "USR_USERID = " + other), 1);
  // Two cut levels, and the subscription of the whole path, which the table layer cuts itself; the
  // next mail finds the folders and logs none.
  const std::string cut = "INBOX." + std::string(150, 'g') + ".mid." + std::string(120, 'h');
  const std::string line =
      "ERROR: " + tid_ + ": Truncating string field before input to database\r\n";
  log_.Take();
  for (const size_t lines : {3u, 0u}) {
    ASSERT_EQ(AddMail("<cut-" + std::to_string(lines) + "@test>", cut, owner), kOk);
    EXPECT_EQ(Occurrences(log_.Take(), line), lines);
  }
}

// 1023 for a missing, empty or unmappable file (a directory: root ignores permissions) and for ids
// without digits; ids are read as _atoi64 reads them. The mail stored at last has its header
// columns decoded (raw 8-bit text as ISO-8859-1), cut to their byte limits in UTF-8, an absent
// field NULL, the Message-ID raw.
TEST_F(MailStorageLibrary, InvalidInputGives1023) {
  const std::string user = MakeUser(7100500, "Invalid Input");
  std::string to;
  for (int i = 0; i < 40; ++i) to += "rcpt" + std::to_string(100 + i) + "@example.test, ";
  const std::string id = "<summary-" + std::string(120, 'i') + "@test>";
  const std::string tail(200, 'x');
  const fs::path good = WriteMail(MakeMail("<atoi-1@test>", "x"));
  const fs::path summary = WriteMail(
      "Date: " + kDate + "\r\nFrom: J\xF8rgen =?utf-8?q?M=C3=B8ller?= <j@test>\r\nTo: " + to +
      "\r\nCc: =?iso-8859-1?b?S+VyZSDFcyA8a0B0ZXN0Pg==?=\r\nSubject: Re: [list] Fwd: "
      "=?utf-8?q?BL=C3=85B=C3=86R?= " +
      tail + "\r\nMessage-ID: " + id + "\r\n\r\nbody\r\n");
  const fs::path empty = WriteMail("");
  const fs::path directory = empty.parent_path() / "directory.eml";
  fs::create_directory(directory);
  const std::tuple<fs::path, std::string, std::string, int32_t> cases[] = {
      {empty.parent_path() / "missing.eml", user, user, kInvalidInput},
      {empty, user, user, kInvalidInput},
      {directory, user, user, kInvalidInput},
      {good, "abc", user, kInvalidInput},
      {good, user, "", kInvalidInput},
      {good, "'; DROP TABLE NS_USER; --", user, kInvalidInput},
      {good, "0x6c5854", user, kInvalidInput},  // the user's id in hex: decimal only
      {summary, " +" + user + "abc", user + ".5", kOk},
  };
  log_.Take();
  for (const auto& [file, user_text, company_text, code] : cases) {
    SCOPED_TRACE(file.string() + " " + user_text + " / " + company_text);
    EXPECT_EQ(Library::Get().add(file.c_str(), "Atoi", user_text.c_str(), company_text.c_str(), "",
                                 false, false, true),
              code);
    const std::string unmapped =
        "ERROR: " + tid_ + ": Failed to open memory mapped file: " + file.string() + "\r\n";
    EXPECT_EQ(log_.Take(), Adding(file, user_text, "Atoi") +
                               (code == kOk ? added_
                                            : (file == good ? "" : unmapped) +
                                                  ErrorLine("Invalid input to function") + "\r\n"));
    EXPECT_EQ(Count("NS_IMAPFOLDER", "USR_USERID IN (0, " + user + ")"), code == kOk ? 1 : 0);
  }
  EXPECT_EQ(Links(FolderId(user, "Atoi"), id.substr(0, 95)).size(), 1u);
  const std::string subject = "Re: [list] Fwd: BL\u00C5B\u00C6R " + tail;
  EXPECT_EQ(
      SqlRows("SELECT unnest(ARRAY[IMM_FROM, IMM_TO, IMM_CC, COALESCE(IMM_BCC, '(null)'), "
              "IMM_SUBJECT, IMM_SORTSUBJECT]) FROM NS_IMAPMESSAGE WHERE IMM_MESSAGEID = " +
              Quote(id.substr(0, 95))),
      (std::vector<std::string>{"J\xC3\xB8rgen M\xC3\xB8ller <j@test>", to.substr(0, 475),
                                "K\xC3\xA5re \xC3\x85s <k@test>", "(null)", subject.substr(0, 190),
                                "bl\u00E5b\u00E6r " + tail.substr(0, 28)}));
}

// One connection per thread until CloseDatabase, a killed server process (which the next call
// meets at the vessel lookup, logs, and replaces) or a database error (the folder's UID sequence
// dropped: 1001 with the driver's text in the WARNING and ERROR lines); after an error the next
// call links the message row committed before the failure. Each round reads a registry file of its
// own, which holds the password: the first call warns when other accounts can read it, later calls
// do not look again.
TEST_F(MailStorageLibrary, ConnectionPerThread) {
  const std::string user = MakeUser(7100700, "Connections");
  const std::string original = std::getenv("MAILSTORAGE_REGISTRY");
  const std::pair<std::string, int> rounds[] = {
      {"nothing", 0644}, {"CloseDatabase", 0640}, {"kill", 0600}, {"error", 0644}};
  for (const auto& [between, mode] : rounds) {
    SCOPED_TRACE(between);
    const fs::path registry = fs::path(original).replace_extension(between + ".reg");
    fs::copy_file(original, registry, fs::copy_options::overwrite_existing);
    fs::permissions(registry, fs::perms(mode));
    ASSERT_EQ(setenv("MAILSTORAGE_REGISTRY", registry.c_str(), 1), 0);
    const std::string warning = "WARNING: " + tid_ + ": AddMailToMailStore(): The registry file " +
                                registry.string() +
                                " can be read by other accounts, and it holds the database "
                                "password. Allow only its owner to read it (chmod 600).\r\n";
    const std::string first = "<conn-" + between + "-1@test>";
    const std::string second = "<conn-" + between + "-2@test>";
    ASSERT_EQ(AddMail(first, "Conn", user), kOk);
    EXPECT_EQ(Contains(log_.Take(), warning), mode != 0600);
    const int64_t backend = BackendOfLastCall(first);
    ASSERT_GT(backend, 0);
    if (between == "CloseDatabase") Library::Get().close();
    if (between == "kill") {
      ASSERT_EQ(Sql("SELECT pg_terminate_backend(" + std::to_string(backend) + ", 10000)"), "t");
    }
    if (between == "error") {
      const std::string folder = std::to_string(FolderId(user, "Conn"));
      Sql("DROP SEQUENCE IMAPFOLDER_" + folder);
      EXPECT_EQ(AddMail(second, "Conn", user), kOracleError);
      const std::string log = log_.Take();
      const std::string prefix =
          "WARNING: " + tid_ + ": ImapMailStorage::LinkMessageToFolder(): Oracle error: ";
      const size_t start = log.find(prefix);
      ASSERT_NE(start, std::string::npos) << log;
      const std::string text =
          log.substr(start + prefix.size(), log.find("\r\n", start) - start - prefix.size());
      EXPECT_TRUE(Contains(text, "imapfolder_" + folder)) << text;
      EXPECT_TRUE(Contains(log, ErrorLine("Oracle error") + text + "\r\n")) << log;
    }
    const std::string folder = between == "error" ? "Healthy" : "Conn";
    ASSERT_EQ(AddMail(second, folder, user), kOk);
    const std::string log = log_.Take();
    EXPECT_EQ(Contains(log, "WARNING: " + tid_ +
                                ": ImapMailStorage::ImapMailStorage(): Unable to get vessel ID. Is "
                                "this really a ship installation? Will continue with 0 as vessel "
                                "ID. Error: "),
              between == "kill")
        << log;
    EXPECT_FALSE(Contains(log, warning)) << log;
    const int64_t next_backend = BackendOfLastCall(second);
    EXPECT_GT(next_backend, 0);
    EXPECT_EQ(next_backend == backend, between == "nothing");
    EXPECT_EQ(Count("NS_IMAPMESSAGE", "IMM_MESSAGEID = " + Quote(second)), 1);
    EXPECT_EQ(Links(FolderId(user, folder), second).size(), 1u);
  }
  Library::Get().close();
  setenv("MAILSTORAGE_REGISTRY", original.c_str(), 1);
}

// The Message-ID is a LIKE pattern, as the duplicate rule has always had it: quotes and backslashes
// match themselves, "%" and "_" are wildcards; mails with an empty (" ") or absent ("") Message-ID
// are never taken for one another, even with the same bytes. A message or body-part row skipped by
// a trigger (success with information to the driver): 1001 or 1007, the transaction rolled back,
// and the new blob removed afterwards in a transaction of its own.
TEST_F(MailStorageLibrary, MessageRowsMatchAsLikePatternOrAreRefused) {
  const std::string user = MakeUser(7101000, "Like Pattern");
  // {stored, incoming, links|messages|links to a message with the stored id}: two mails of one size
  const std::tuple<std::string, std::string, std::string> likes[] = {
      {"<o'brien@test>", "<o'brien@test>", "2|1|2"},
      {"<back\\slash@test>", "<back\\slash@test>", "2|1|2"},
      {"<back\\%x@test>", "<back\\%x@test>", "2|1|2"},
      {"<one\\x@test>", "<one\\\\x@test>", "2|2|1"},
      {"<under-x@test>", "<under_x@test>", "2|1|2"},
      {"<under_y@test>", "<under-y@test>", "2|2|1"},
      {"<percent-abc@test>", "<percent-%@test>", "2|1|2"},
      {"<inject-a@test>", "<x' OR '1'='1@test>", "2|2|1"},
      {" ", " ", "2|2|0"},
      {"", "", "2|2|0"},
      {" ", "", "2|2|0"},
  };
  int n = 0;
  for (const auto& [stored, incoming, links] : likes) {
    SCOPED_TRACE(stored + " then " + incoming);
    const std::string folder = "Like" + std::to_string(n++);
    ASSERT_EQ(Add(WriteMail(MakeMail(stored, "like", 600)), folder, user), kOk);
    ASSERT_EQ(Add(WriteMail(MakeMail(incoming, "like", 600)), folder, user), kOk);
    EXPECT_EQ(Sql("SELECT COUNT(*) || '|' || COUNT(DISTINCT IMM_IMAPMESSAGEID) || '|' || COUNT(*) "
                  "FILTER (WHERE IMM_MESSAGEID = " +
                  Quote(stored) +
                  ") FROM NS_IMAPMSGINFOLDER "
                  "JOIN NS_IMAPMESSAGE USING (IMM_IMAPMESSAGEID) WHERE IMF_IMAPFOLDERID = " +
                  std::to_string(FolderId(user, folder))),
              links);
  }
  Sql("CREATE OR REPLACE FUNCTION ms_test_refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN IF "
      "COALESCE(to_jsonb(NEW)->>'imm_messageid', (SELECT IMM_MESSAGEID FROM NS_IMAPMESSAGE M WHERE "
      "M.IMM_IMAPMESSAGEID = NEW.IMM_IMAPMESSAGEID)) LIKE TG_ARGV[0] THEN RAISE WARNING 'refused'; "
      "RETURN NULL; END IF; RETURN NEW; END $$; CREATE OR REPLACE TRIGGER ms_test_refuse BEFORE "
      "INSERT ON NS_IMAPMESSAGE FOR EACH ROW EXECUTE FUNCTION ms_test_refuse('<refuse-message%'); "
      "CREATE OR REPLACE TRIGGER ms_test_refuse BEFORE INSERT ON NS_IMAPBODYPART FOR EACH ROW "
      "EXECUTE FUNCTION ms_test_refuse('<refuse-part%')");
  // Records whether the blob deletion runs without the message table's locks.
  Sql("CREATE TABLE IF NOT EXISTS ms_test_blob_deletion (FIS_FILESTORAGEID bigint, OWN_TRANSACTION "
      "boolean); CREATE OR REPLACE FUNCTION ms_test_blob_deletion() RETURNS trigger LANGUAGE "
      "plpgsql AS $$ BEGIN INSERT INTO ms_test_blob_deletion VALUES (NEW.FIS_FILESTORAGEID, NOT "
      "EXISTS (SELECT 1 FROM pg_locks WHERE pid = pg_backend_pid() AND relation = "
      "'nv_imapmessage'::regclass)); RETURN NEW; END $$; CREATE OR REPLACE TRIGGER "
      "ms_test_blob_deletion BEFORE UPDATE ON NS_FILESTORAGE FOR EACH ROW WHEN (NEW.FIS_DELETED IS "
      "NOT NULL AND NEW.FIS_SIZE BETWEEN 4321 AND 4421) EXECUTE FUNCTION ms_test_blob_deletion()");
  const std::tuple<std::string, int32_t, std::string> cases[] = {
      {"<refuse-message-1@test>", kOracleError, "Oracle error"},
      {"<refuse-part-1@test>", 1007, "Unable to parse mail"}};
  for (const auto& [message_id, code, text] : cases) {
    SCOPED_TRACE(message_id);
    // The size tells this mail's blob from other tests' (ids say nothing).
    const std::string size = std::to_string(4321 + message_id.size());
    const std::string last_blob = std::to_string(SqlInt(
        "SELECT COALESCE(MAX(FIS_FILESTORAGEID), 0) FROM NS_FILESTORAGE WHERE FIS_SIZE = " + size));
    log_.Take();
    EXPECT_EQ(Add(WriteMail(MakeMail(message_id, "x", std::stoul(size))), "Refused", user), code);
    EXPECT_EQ(Count("NS_IMAPMESSAGE", "IMM_MESSAGEID = " + Quote(message_id)), 0);
    EXPECT_EQ(
        SqlRows(
            "SELECT (FIS_DELETED IS NOT NULL) || '|' || COALESCE(FIS_LOCATION, '-') || '|' || "
            "(SELECT string_agg(OWN_TRANSACTION::text, ',') FROM ms_test_blob_deletion D WHERE "
            "D.FIS_FILESTORAGEID = F.FIS_FILESTORAGEID) FROM NS_FILESTORAGE F WHERE FIS_SIZE = " +
            size + " AND FIS_FILESTORAGEID > " + last_blob),
        std::vector<std::string>{"true|-|true"});
    EXPECT_TRUE(Contains(log_.Take(), ErrorLine(text) + "\r\n"));
  }
  Sql("DROP FUNCTION ms_test_refuse CASCADE; DROP FUNCTION ms_test_blob_deletion CASCADE; DROP "
      "TABLE ms_test_blob_deletion");
}

}  // namespace
}  // namespace mstest
