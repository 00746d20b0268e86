// libMailStorage.so end to end: every test loads the built library with
// dlopen, calls the exported functions as a host would, and checks the rows,
// blob files and log lines each call leaves in the private PostgreSQL store.

#include <chrono>
#include <ctime>
#include <set>
#include <thread>

#include "tests/entry/LibraryHarness.h"

namespace mstest {
namespace {

constexpr int32_t kOk = 0;
constexpr int32_t kOracleError = 1001;
constexpr int32_t kAccessDenied = 1020;
constexpr int32_t kInvalidInput = 1023;

// Each test owns a user id range: 7100000 + test number * 100.
int64_t UserBase(int test) { return 7100000 + test * 100; }

std::string Q(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += c;
  }
  return out + "'";
}

std::string UtcNowText() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y/%m/%d %H:%M:%S", &tm);
  return buffer;
}

class MailStorageLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    Library& library = Library::Get();
    ASSERT_NE(library.add, nullptr) << library.path << ": " << library.error;
    ASSERT_NE(library.close, nullptr);
  }

  int32_t Add(const fs::path& file, const std::string& folder, const TestUser& user,
              const std::string& date = "Tue, 15 Nov 1994 08:12:31 +0100", bool seen = false,
              bool draft = false, bool use_views = true) {
    return Library::Get().add(file.c_str(), folder.c_str(), user.IdText().c_str(),
                              user.CompanyText().c_str(), date.c_str(), seen, draft, use_views);
  }

  // The folder id of a full name ("a.b.c") of the user, or 0.
  static int64_t FolderId(const TestUser& user, const std::string& full_name) {
    int64_t parent = 0;
    size_t start = 0;
    while (true) {
      const size_t dot = full_name.find('.', start);
      const std::string part = full_name.substr(start, dot - start);
      const std::string parent_condition =
          parent == 0 ? "IMF_IMAPFOLDERID_PARENT IS NULL"
                      : "IMF_IMAPFOLDERID_PARENT = " + std::to_string(parent);
      const std::string name_condition = parent == 0 && (part == "INBOX" || part == "inbox")
                                             ? "IMF_INBOX = 1"
                                             : "IMF_FOLDERNAME = " + Q(part);
      const int64_t id =
          SqlInt("SELECT IMF_IMAPFOLDERID FROM NS_IMAPFOLDER WHERE USR_USERID = " + user.IdText() +
                 " AND " + parent_condition + " AND " + name_condition);
      if (id <= 0) return 0;
      parent = id;
      if (dot == std::string::npos) return parent;
      start = dot + 1;
    }
  }

  static int64_t MessageCount(const std::string& message_id) {
    return SqlInt("SELECT COUNT(*) FROM NS_IMAPMESSAGE WHERE IMM_MESSAGEID = " + Q(message_id));
  }

  // "uid|seen|draft|recent|answered|flagged|deleted|internal date" of the
  // links of a message id in a folder, in UID order.
  static std::vector<std::string> Links(int64_t folder, const std::string& message_id) {
    return SqlRows(
        "SELECT MIF_UID, COALESCE(MIF_SEEN,0), COALESCE(MIF_DRAFT,0), COALESCE(MIF_RECENT,0), "
        "COALESCE(MIF_ANSWERED,0), COALESCE(MIF_FLAGGED,0), COALESCE(MIF_DELETED,0), "
        "to_char(MIF_INTERNALDATE, 'YYYY/MM/DD HH24:MI:SS') FROM NS_IMAPMSGINFOLDER MIF JOIN "
        "NS_IMAPMESSAGE IMM ON MIF.IMM_IMAPMESSAGEID = IMM.IMM_IMAPMESSAGEID WHERE "
        "IMF_IMAPFOLDERID = " +
        std::to_string(folder) + " AND IMM_MESSAGEID = " + Q(message_id) + " ORDER BY MIF_UID");
  }

  // The link id of the newest link of a message id.
  static int64_t NewestLink(const std::string& message_id) {
    return SqlInt(
        "SELECT MAX(MIF_IMAPMSGINFOLDERID) FROM NS_IMAPMSGINFOLDER MIF JOIN NS_IMAPMESSAGE IMM "
        "ON MIF.IMM_IMAPMESSAGEID = IMM.IMM_IMAPMESSAGEID WHERE IMM_MESSAGEID = " +
        Q(message_id));
  }

  // The server process of this thread's connection, found through the last
  // statement of the call that linked `message_id`: the read-back of its link.
  static int64_t BackendOfLastCall(const std::string& message_id) {
    return BackendWithLastStatement("MIF_IMAPMSGINFOLDERID=" +
                                    std::to_string(NewestLink(message_id)));
  }

  ScratchDir scratch_;
  LogWatch log_;
};

// A new mail into a folder that does not exist: every ancestor is created
// with its own UID sequence, the user gets every right on each and a
// subscription to the folder named; the mail is stored once with its blob
// and linked with UID 1, then two more with UIDs 2 and 3; flags words 0x20,
// 0x28, 0x38; the internal date from the date text, or now (UTC) when the
// text cannot be read.
TEST_F(MailStorageLibrary, NewMailIntoNewNestedFolder) {
  const TestUser user = MakeUser(UserBase(1), "Nested Owner");
  const std::string folder = "Archive.2026.Projects";
  struct Case {
    std::string message_id;
    bool seen;
    bool draft;
    std::string date;
    std::string flags;  // seen|draft|recent|answered|flagged|deleted
  };
  const std::vector<Case> cases = {
      {"<nested-1@test>", false, false, "Tue, 15 Nov 1994 08:12:31 +0100", "0|0|1|0|0|0"},
      {"<nested-2@test>", true, false, "15 Nov 94 08:12:31 -0330", "1|0|1|0|0|0"},
      {"<nested-3@test>", true, true, "no date at all", "1|1|1|0|0|0"},
  };
  const std::vector<std::string> expected_dates = {"1994/11/15 07:12:31", "2094/11/15 11:42:31",
                                                   ""};

  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].message_id);
    const std::string mail = MakeMail(cases[i].message_id, "Nested " + std::to_string(i));
    const fs::path file = scratch_.Write("nested" + std::to_string(i) + ".eml", mail);
    const std::string before = UtcNowText();
    ASSERT_EQ(Add(file, folder, user, cases[i].date, cases[i].seen, cases[i].draft), kOk);
    const std::string after = UtcNowText();

    const int64_t leaf = FolderId(user, folder);
    ASSERT_GT(leaf, 0);
    const std::vector<std::string> links = Links(leaf, cases[i].message_id);
    ASSERT_EQ(links.size(), 1u);
    const std::string uid = std::to_string(i + 1);
    EXPECT_EQ(links[0].substr(0, links[0].rfind('|')), uid + "|" + cases[i].flags);
    const std::string date = links[0].substr(links[0].rfind('|') + 1);
    if (!expected_dates[i].empty()) {
      EXPECT_EQ(date, expected_dates[i]);
    } else {
      EXPECT_GE(date, before);
      EXPECT_LE(date, after);
    }

    // One message row, one live blob record, the blob file holds the mail.
    EXPECT_EQ(MessageCount(cases[i].message_id), 1);
    const int64_t blob =
        SqlInt("SELECT FIS_FILESTORAGEID FROM NS_IMAPMESSAGE WHERE IMM_MESSAGEID = " +
               Q(cases[i].message_id));
    EXPECT_EQ(SqlValue("SELECT FIS_SIZE || '|' || COALESCE(FIS_CREATEDBY,0) || '|' || "
                       "COALESCE(FIT_FILETYPEID,0) FROM NS_FILESTORAGE WHERE "
                       "FIS_DELETED IS NULL AND FIS_FILESTORAGEID = " +
                       std::to_string(blob)),
              std::to_string(mail.size()) + "|11|11");
    EXPECT_EQ(ReadFile(BlobPath(blob)), mail);
    EXPECT_GE(SqlInt("SELECT COUNT(*) FROM NS_IMAPBODYPART BP JOIN NS_IMAPMESSAGE IMM ON "
                     "BP.IMM_IMAPMESSAGEID = IMM.IMM_IMAPMESSAGEID WHERE IMM_MESSAGEID = " +
                     Q(cases[i].message_id)),
              1);

    const std::string log = log_.Take();
    EXPECT_NE(log.find("STATUS: "), std::string::npos);
    EXPECT_NE(log.find("AddMailToMailStore(): Adding file " + file.string() +
                       " to IMAP storage. User: " + user.IdText() + ". Folder: " + folder + "."),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("AddMailToMailStore(): File added successfully."), std::string::npos);
    EXPECT_EQ(log.find("ERROR: "), std::string::npos) << log;
  }

  // Three folders, top-down, each with its sequence, all rights, and only
  // the folder named is subscribed.
  const int64_t top = FolderId(user, "Archive");
  const int64_t middle = FolderId(user, "Archive.2026");
  const int64_t leaf = FolderId(user, folder);
  ASSERT_GT(top, 0);
  ASSERT_GT(middle, 0);
  EXPECT_EQ(SqlInt("SELECT COUNT(*) FROM NS_IMAPFOLDER WHERE USR_USERID = " + user.IdText()), 3);
  for (int64_t id : {top, middle, leaf}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(SqlInt("SELECT COUNT(*) FROM pg_class WHERE relkind = 'S' AND relname = "
                     "'imapfolder_" +
                     std::to_string(id) + "'"),
              1);
    EXPECT_EQ(SqlValue("SELECT concat(IFA_AR_LOOKUP, IFA_AR_READ, IFA_AR_KEEP, IFA_AR_WRITE, "
                       "IFA_AR_INSERT, IFA_AR_POST, IFA_AR_CREATE, IFA_AR_DELETE_MBOX, "
                       "IFA_AR_DELETE_MESSAGE, IFA_AR_PERFORM_EXPUNGE, IFA_AR_ADMINISTER) "
                       "FROM NS_IMAPFOLDERACCESS WHERE USR_USERID = " +
                       user.IdText() + " AND IMF_IMAPFOLDERID = " + std::to_string(id)),
              "11111111111");
  }
  EXPECT_EQ(SqlRows("SELECT IMF_SUBSCRIPTIONNAME FROM NS_IMAPSUBSCRIPTION WHERE USR_USERID = " +
                    user.IdText()),
            std::vector<std::string>{folder});
}

// The same mail into a second folder is only linked; the same Message-ID
// with another size is another mail.
TEST_F(MailStorageLibrary, KnownMailIsLinkedNotStoredAgain) {
  const TestUser user = MakeUser(UserBase(2), "Duplicate Owner");
  // Sizes no other test uses, so that the blob counts see only this test's.
  const std::string mail = MakeMail("<dup-1@test>", "Once", 1733);
  const fs::path file = scratch_.Write("dup.eml", mail);
  auto blobs_of_size = [](size_t size) {
    return SqlInt("SELECT COUNT(*) FROM NS_FILESTORAGE WHERE FIS_SIZE = " + std::to_string(size));
  };
  ASSERT_EQ(Add(file, "First", user), kOk);
  ASSERT_EQ(Add(file, "Second", user), kOk);
  EXPECT_EQ(blobs_of_size(mail.size()), 1);
  EXPECT_EQ(MessageCount("<dup-1@test>"), 1);
  EXPECT_EQ(Links(FolderId(user, "First"), "<dup-1@test>").size(), 1u);
  EXPECT_EQ(Links(FolderId(user, "Second"), "<dup-1@test>").size(), 1u);
  // Into the same folder again: a second link with the next UID.
  ASSERT_EQ(Add(file, "Second", user), kOk);
  const std::vector<std::string> links = Links(FolderId(user, "Second"), "<dup-1@test>");
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(links[0].substr(0, 2), "1|");
  EXPECT_EQ(links[1].substr(0, 2), "2|");

  const std::string longer = MakeMail("<dup-1@test>", "Once", 1741);
  ASSERT_EQ(Add(scratch_.Write("dup-longer.eml", longer), "First", user), kOk);
  EXPECT_EQ(MessageCount("<dup-1@test>"), 2);
  EXPECT_EQ(blobs_of_size(mail.size()), 1);
  EXPECT_EQ(blobs_of_size(longer.size()), 1);
}

// "INBOX" at the top level is the one inbox whatever its letter case; below
// another folder it is an ordinary name.
TEST_F(MailStorageLibrary, InboxInAnyCase) {
  const TestUser user = MakeUser(UserBase(3), "Inbox Owner");
  const std::vector<std::string> names = {"inbox", "InBox", "INBOX", "Inbox.Sent", "Archive.INBOX"};
  for (size_t i = 0; i < names.size(); ++i) {
    const fs::path file = scratch_.Write("inbox" + std::to_string(i) + ".eml",
                                         MakeMail("<inbox-" + std::to_string(i) + "@test>", "x"));
    ASSERT_EQ(Add(file, names[i], user), kOk) << names[i];
  }
  EXPECT_EQ(SqlRows("SELECT COALESCE(IMF_FOLDERNAME, '-') || '|' || COALESCE(IMF_INBOX, 0) FROM "
                    "NS_IMAPFOLDER WHERE IMF_IMAPFOLDERID_PARENT IS NULL AND USR_USERID = " +
                    user.IdText() + " ORDER BY 1"),
            (std::vector<std::string>{"-|1", "Archive|0"}));
  const int64_t inbox = FolderId(user, "INBOX");
  EXPECT_EQ(SqlInt("SELECT COUNT(*) FROM NS_IMAPMSGINFOLDER WHERE IMF_IMAPFOLDERID = " +
                   std::to_string(inbox)),
            3);
  EXPECT_GT(FolderId(user, "INBOX.Sent"), 0);
  const int64_t archive_inbox = FolderId(user, "Archive.INBOX");
  ASSERT_GT(archive_inbox, 0);
  EXPECT_EQ(SqlValue("SELECT IMF_FOLDERNAME || '|' || COALESCE(IMF_INBOX, 0) FROM NS_IMAPFOLDER "
                     "WHERE IMF_IMAPFOLDERID = " +
                     std::to_string(archive_inbox)),
            "INBOX|0");
}

// Without the insert right the call fails with 1020 and the message row it
// wrote first stays; a folder shared for lookup only is found under the
// shared namespace but refuses the mail the same way, and takes it once the
// insert right is granted.
TEST_F(MailStorageLibrary, InsertRightIsRequired) {
  const TestUser owner = MakeUser(UserBase(4), "Ship.Office");
  const TestUser other = MakeUser(UserBase(4) + 1, "Other User");
  ASSERT_EQ(Add(scratch_.Write("r0.eml", MakeMail("<right-0@test>", "x")), "Crew", owner), kOk);
  const int64_t crew = FolderId(owner, "Crew");

  Sql("UPDATE NS_IMAPFOLDERACCESS SET IFA_AR_INSERT = 0 WHERE IMF_IMAPFOLDERID = " +
      std::to_string(crew));
  log_.Take();
  EXPECT_EQ(Add(scratch_.Write("r1.eml", MakeMail("<right-1@test>", "x")), "Crew", owner),
            kAccessDenied);
  EXPECT_EQ(MessageCount("<right-1@test>"), 1);
  EXPECT_EQ(SqlInt("SELECT COUNT(*) FROM NS_IMAPMSGINFOLDER WHERE IMF_IMAPFOLDERID = " +
                   std::to_string(crew)),
            1);
  EXPECT_NE(log_.Take().find("AddMailToMailStore(): Error when adding file: Access denied to "
                             "IMAP folder. Last exception: \r\n"),
            std::string::npos);

  // Shared with `other` for lookup only, then with insert too.
  Sql("INSERT INTO NS_IMAPFOLDERACCESS (IFA_IMAPFOLDERACCESSID, IMF_IMAPFOLDERID, USR_USERID, "
      "IFA_AR_LOOKUP) VALUES (nextval('NS_IMAPFOLDERACCESS_SEQ'), " +
      std::to_string(crew) + ", " + other.IdText() + ", 1)");
  const std::string shared = "#Shared.Ship_Office (" + owner.IdText() + ").Crew";
  EXPECT_EQ(Add(scratch_.Write("r2.eml", MakeMail("<right-2@test>", "x")), shared, other),
            kAccessDenied);
  Sql("UPDATE NS_IMAPFOLDERACCESS SET IFA_AR_INSERT = 1 WHERE USR_USERID = " + other.IdText());
  EXPECT_EQ(Add(scratch_.Write("r3.eml", MakeMail("<right-3@test>", "x")), shared, other), kOk);
  EXPECT_EQ(Links(crew, "<right-3@test>").size(), 1u);
  EXPECT_EQ(SqlInt("SELECT COUNT(*) FROM NS_IMAPFOLDER WHERE USR_USERID = " + other.IdText()), 0);
}

// No content, no store: a missing file, an empty file and one that cannot be
// mapped (a directory; the tests run as root, so permissions would not stop
// the read) give 1023 and leave nothing behind.
TEST_F(MailStorageLibrary, MailFileWithoutContent) {
  const TestUser user = MakeUser(UserBase(5), "No Content");
  const fs::path empty = scratch_.Write("empty.eml", "");
  fs::create_directory(scratch_.path() / "directory.eml");
  const std::vector<fs::path> files = {scratch_.path() / "missing.eml", empty,
                                       scratch_.path() / "directory.eml"};
  for (const fs::path& file : files) {
    SCOPED_TRACE(file);
    log_.Take();
    EXPECT_EQ(Add(file, "Never", user), kInvalidInput);
    const std::string log = log_.Take();
    EXPECT_NE(log.find("ERROR: "), std::string::npos) << log;
    EXPECT_NE(log.find("AddMailToMailStore(): Error when adding file: Invalid input to function. "
                       "Last exception: \r\n"),
              std::string::npos)
        << log;
  }
  EXPECT_EQ(SqlInt("SELECT COUNT(*) FROM NS_IMAPFOLDER WHERE USR_USERID = " + user.IdText()), 0);
}

// User and company ids are read as _atoi64 reads them: white space and a
// sign first, digits up to the first other character, 0 without digits
// (and no folder can be made for user 0).
TEST_F(MailStorageLibrary, DecimalTextsReadAsAtoi64) {
  const TestUser user = MakeUser(UserBase(12), "Atoi");
  const fs::path file = scratch_.Write("atoi.eml", MakeMail("<atoi-1@test>", "x"));
  struct Case {
    std::string user_text;
    std::string company_text;
    int32_t code;
  };
  for (const Case& c :
       {Case{" +" + user.IdText() + "abc", user.CompanyText() + ".5", kOk},
        Case{"abc", user.CompanyText(), kInvalidInput}, Case{user.IdText(), "", kInvalidInput}}) {
    SCOPED_TRACE(c.user_text + " / " + c.company_text);
    EXPECT_EQ(Library::Get().add(file.c_str(), "Atoi", c.user_text.c_str(), c.company_text.c_str(),
                                 "", false, false, true),
              c.code);
  }
  EXPECT_EQ(Links(FolderId(user, "Atoi"), "<atoi-1@test>").size(), 1u);
  EXPECT_EQ(SqlInt("SELECT COUNT(*) FROM NS_IMAPFOLDER WHERE USR_USERID = 0"), 0);
}

// A database error inside the call (the folder's UID sequence has gone)
// becomes 1001 with the driver's text in the WARNING line and as the last
// exception of the ERROR line; the connection is closed, and the next call
// works on a new one.
TEST_F(MailStorageLibrary, DatabaseErrorBecomesOracleError) {
  const TestUser user = MakeUser(UserBase(6), "Broken Sequence");
  ASSERT_EQ(Add(scratch_.Write("e0.eml", MakeMail("<err-0@test>", "x")), "Broken", user), kOk);
  const int64_t backend = BackendOfLastCall("<err-0@test>");
  ASSERT_GT(backend, 0);
  const int64_t folder = FolderId(user, "Broken");
  Sql("DROP SEQUENCE IMAPFOLDER_" + std::to_string(folder));
  log_.Take();

  EXPECT_EQ(Add(scratch_.Write("e1.eml", MakeMail("<err-1@test>", "x")), "Broken", user),
            kOracleError);
  const std::string log = log_.Take();
  const size_t warning = log.find("WARNING: ");
  ASSERT_NE(warning, std::string::npos) << log;
  const std::string prefix = "ImapMailStorage::LinkMessageToFolder(): Oracle error: ";
  const size_t text_start = log.find(prefix);
  ASSERT_NE(text_start, std::string::npos) << log;
  const std::string text = log.substr(text_start + prefix.size(),
                                      log.find("\r\n", text_start) - text_start - prefix.size());
  EXPECT_NE(text.find("imapfolder_" + std::to_string(folder)), std::string::npos) << text;
  EXPECT_NE(log.find("AddMailToMailStore(): Error when adding file: Oracle error. Last "
                     "exception: " +
                     text + "\r\n"),
            std::string::npos)
      << log;

  // The message row was committed before the failing link; the next call
  // into another folder finds it and links it, on a new connection.
  ASSERT_EQ(Add(scratch_.Write("e1.eml", MakeMail("<err-1@test>", "x")), "Healthy", user), kOk);
  EXPECT_EQ(MessageCount("<err-1@test>"), 1);
  const int64_t next_backend = BackendOfLastCall("<err-1@test>");
  EXPECT_GT(next_backend, 0);
  EXPECT_NE(next_backend, backend);
}

// A server process killed between two calls: the next call notices the
// broken connection at its first statement (the vessel lookup of the store
// object), logs the driver's text, closes the connection and carries on
// with a new one.
TEST_F(MailStorageLibrary, KilledBackendBetweenCalls) {
  const TestUser user = MakeUser(UserBase(7), "Killed Backend");
  ASSERT_EQ(Add(scratch_.Write("k0.eml", MakeMail("<kill-0@test>", "x")), "Kill", user), kOk);
  const int64_t backend = BackendOfLastCall("<kill-0@test>");
  ASSERT_GT(backend, 0);
  ASSERT_EQ(SqlValue("SELECT pg_terminate_backend(" + std::to_string(backend) + ", 10000)"), "t");
  log_.Take();

  const int32_t code = Add(scratch_.Write("k1.eml", MakeMail("<kill-1@test>", "x")), "Kill", user);
  const std::string log = log_.Take();
  EXPECT_NE(log.find("WARNING: "), std::string::npos) << log;
  EXPECT_NE(log.find("ImapMailStorage::ImapMailStorage(): Unable to get vessel ID. Is this "
                     "really a ship installation? Will continue with 0 as vessel ID. Error: "),
            std::string::npos)
      << log;
  EXPECT_EQ(code, kOk) << log;
  const int64_t next_backend = BackendOfLastCall("<kill-1@test>");
  EXPECT_GT(next_backend, 0);
  EXPECT_NE(next_backend, backend);
  EXPECT_EQ(Links(FolderId(user, "Kill"), "<kill-1@test>").size(), 1u);
}

// A message row or a body-part row the database refuses without an error
// (a trigger that skips the row with a warning, which the driver reports as
// success with information): the mail's transaction is rolled back and its
// new blob removed, with 1001 for the message row and 1007 for the body
// parts. Triggers act only on mails whose Message-ID begins with "<refuse-".
// The blob is removed after the rollback, in automatic commit: its record's
// update is a transaction of its own, which holds no lock of the statements
// before it (the wrapper's count of the message rows that use the blob).
TEST_F(MailStorageLibrary, RefusedRowsLeaveNoMessageAndNoBlob) {
  const TestUser user = MakeUser(UserBase(11), "Refused Rows");
  Sql("CREATE OR REPLACE FUNCTION ms_test_refuse_message() RETURNS trigger LANGUAGE plpgsql AS "
      "$$ BEGIN IF NEW.IMM_MESSAGEID LIKE '<refuse-message%' THEN RAISE WARNING 'refused'; "
      "RETURN NULL; END IF; RETURN NEW; END $$");
  Sql("CREATE OR REPLACE FUNCTION ms_test_refuse_part() RETURNS trigger LANGUAGE plpgsql AS $$ "
      "BEGIN IF EXISTS (SELECT 1 FROM NS_IMAPMESSAGE WHERE IMM_IMAPMESSAGEID = "
      "NEW.IMM_IMAPMESSAGEID AND IMM_MESSAGEID LIKE '<refuse-part%') THEN RAISE WARNING "
      "'refused'; RETURN NULL; END IF; RETURN NEW; END $$");
  Sql("CREATE OR REPLACE TRIGGER ms_test_refuse_message BEFORE INSERT ON NS_IMAPMESSAGE FOR EACH "
      "ROW EXECUTE FUNCTION ms_test_refuse_message()");
  Sql("CREATE OR REPLACE TRIGGER ms_test_refuse_part BEFORE INSERT ON NS_IMAPBODYPART FOR EACH "
      "ROW EXECUTE FUNCTION ms_test_refuse_part()");
  Sql("CREATE TABLE IF NOT EXISTS ms_test_blob_deletion (FIS_FILESTORAGEID bigint, "
      "OWN_TRANSACTION boolean)");
  Sql("CREATE OR REPLACE FUNCTION ms_test_blob_deletion() RETURNS trigger LANGUAGE plpgsql AS "
      "$$ BEGIN INSERT INTO ms_test_blob_deletion VALUES (NEW.FIS_FILESTORAGEID, NOT EXISTS "
      "(SELECT 1 FROM pg_locks WHERE pid = pg_backend_pid() AND relation = "
      "'nv_imapmessage'::regclass)); RETURN NEW; END $$");
  Sql("CREATE OR REPLACE TRIGGER ms_test_blob_deletion BEFORE UPDATE ON NS_FILESTORAGE FOR EACH "
      "ROW WHEN (NEW.FIS_DELETED IS NOT NULL AND NEW.FIS_SIZE BETWEEN 4321 AND 4421) EXECUTE "
      "FUNCTION ms_test_blob_deletion()");
  struct Case {
    std::string message_id;
    int32_t code;
    std::string text;
  };
  for (const Case& c : {Case{"<refuse-message-1@test>", kOracleError, "Oracle error"},
                        Case{"<refuse-part-1@test>", 1007, "Unable to parse mail"}}) {
    SCOPED_TRACE(c.message_id);
    // An unusual size tells this mail's blob from those of tests running
    // meanwhile (some of which insert records with ids far above the
    // sequence, so the newest id overall says nothing).
    const size_t size = 4321 + c.message_id.size();
    const int64_t last_blob = SqlInt(
        "SELECT COALESCE(MAX(FIS_FILESTORAGEID), 0) FROM NS_FILESTORAGE WHERE FIS_SIZE = " +
        std::to_string(size));
    log_.Take();
    EXPECT_EQ(Add(scratch_.Write(c.message_id, MakeMail(c.message_id, "x", size)), "Refused", user),
              c.code);
    EXPECT_EQ(MessageCount(c.message_id), 0);
    // The blob written for the mail is marked deleted and its file is gone.
    const std::vector<std::string> blobs = SqlRows(
        "SELECT FIS_FILESTORAGEID || '|' || (FIS_DELETED IS NOT NULL) || '|' || "
        "COALESCE(FIS_LOCATION, '-') FROM NS_FILESTORAGE WHERE FIS_SIZE = " +
        std::to_string(size) + " AND FIS_FILESTORAGEID > " + std::to_string(last_blob));
    ASSERT_EQ(blobs.size(), 1u);
    EXPECT_EQ(blobs[0].substr(blobs[0].find('|')), "|true|-");
    EXPECT_EQ(SqlRows("SELECT OWN_TRANSACTION FROM ms_test_blob_deletion WHERE "
                      "FIS_FILESTORAGEID = " +
                      blobs[0].substr(0, blobs[0].find('|'))),
              std::vector<std::string>{"t"});
    const std::string log = log_.Take();
    EXPECT_NE(log.find("AddMailToMailStore(): Error when adding file: " + c.text +
                       ". Last exception: \r\n"),
              std::string::npos)
        << log;
  }
  Sql("DROP TRIGGER ms_test_refuse_message ON NS_IMAPMESSAGE");
  Sql("DROP TRIGGER ms_test_refuse_part ON NS_IMAPBODYPART");
  Sql("DROP TRIGGER ms_test_blob_deletion ON NS_FILESTORAGE");
  Sql("DROP TABLE ms_test_blob_deletion");
}

// Calls on one thread share one connection until CloseDatabase; the call
// after it opens a new one.
TEST_F(MailStorageLibrary, CloseDatabaseEndsTheThreadsConnection) {
  const TestUser user = MakeUser(UserBase(8), "Close Database");
  struct Case {
    bool close_between;
    bool same_backend;
  };
  int n = 0;
  for (const Case& c : {Case{false, true}, Case{true, false}}) {
    SCOPED_TRACE(c.close_between);
    const std::string first = "<close-" + std::to_string(n++) + "@test>";
    const std::string second = "<close-" + std::to_string(n++) + "@test>";
    ASSERT_EQ(Add(scratch_.Write(first, MakeMail(first, "x")), "Close", user), kOk);
    const int64_t backend = BackendOfLastCall(first);
    if (c.close_between) Library::Get().close();
    ASSERT_EQ(Add(scratch_.Write(second, MakeMail(second, "x")), "Close", user), kOk);
    EXPECT_EQ(BackendOfLastCall(second) == backend, c.same_backend);
  }
  Library::Get().close();
}

// Base tables instead of views: the same rows, with the migration tool's
// blob creator and file type.
TEST_F(MailStorageLibrary, ViewsAndBaseTables) {
  const TestUser user = MakeUser(UserBase(9), "Views Tables");
  struct Case {
    bool use_views;
    std::string message_id;
    std::string creator_and_type;
  };
  for (const Case& c :
       {Case{true, "<views-1@test>", "11|11"}, Case{false, "<tables-1@test>", "46|21"}}) {
    SCOPED_TRACE(c.message_id);
    const std::string mail = MakeMail(c.message_id, "x");
    ASSERT_EQ(Add(scratch_.Write(c.message_id, mail), "Tables.Sub", user,
                  "Tue, 15 Nov 1994 08:12:31 +0100", false, false, c.use_views),
              kOk);
    const int64_t blob = SqlInt(
        "SELECT FIS_FILESTORAGEID FROM NS_IMAPMESSAGE WHERE "
        "IMM_MESSAGEID = " +
        Q(c.message_id));
    EXPECT_EQ(SqlValue("SELECT FIS_CREATEDBY || '|' || FIT_FILETYPEID FROM NS_FILESTORAGE "
                       "WHERE FIS_FILESTORAGEID = " +
                       std::to_string(blob)),
              c.creator_and_type);
    EXPECT_EQ(ReadFile(BlobPath(blob)), mail);
    EXPECT_EQ(Links(FolderId(user, "Tables.Sub"), c.message_id).size(), 1u);
  }
  EXPECT_EQ(SqlInt("SELECT COUNT(*) FROM NS_IMAPFOLDER WHERE USR_USERID = " + user.IdText()), 2);
}

// The Message-ID is a LIKE pattern, as the duplicate rule has always had it:
// quotes and backslashes match themselves, "%" and "_" are wildcards. Each
// row stores `stored` first, then `incoming` of the same size.
TEST_F(MailStorageLibrary, MessageIdMatchesAsLikePattern) {
  const TestUser user = MakeUser(UserBase(10), "Like Pattern");
  struct Case {
    std::string stored;
    std::string incoming;
    bool same_message;
  };
  const std::vector<Case> cases = {
      {"<o'brien@test>", "<o'brien@test>", true},
      {"<back\\slash@test>", "<back\\slash@test>", true},
      {"<back\\%x@test>", "<back\\%x@test>", true},
      {"<one\\x@test>", "<one\\\\x@test>", false},
      {"<under-x@test>", "<under_x@test>", true},
      {"<under_y@test>", "<under-y@test>", false},
      {"<percent-abc@test>", "<percent-%@test>", true},
      {"<inject-a@test>", "<x' OR '1'='1@test>", false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored + " then " + c.incoming);
    const std::string stored_mail = MakeMail(c.stored, "like", 600);
    const std::string incoming_mail = MakeMail(c.incoming, "like", 600);
    ASSERT_EQ(stored_mail.size(), incoming_mail.size());
    const std::string folder = "Like" + std::to_string(n++);
    ASSERT_EQ(Add(scratch_.Write("stored.eml", stored_mail), folder, user), kOk);
    ASSERT_EQ(Add(scratch_.Write("incoming.eml", incoming_mail), folder, user), kOk);
    const int64_t stored_messages = MessageCount(c.stored);
    EXPECT_EQ(stored_messages, 1);
    if (c.same_message) {
      EXPECT_EQ(Links(FolderId(user, folder), c.stored).size(), 2u);
      if (c.incoming != c.stored) {
        EXPECT_EQ(MessageCount(c.incoming), 0);
      }
    } else {
      EXPECT_EQ(Links(FolderId(user, folder), c.stored).size(), 1u);
      EXPECT_EQ(MessageCount(c.incoming), 1);
    }
  }
}

// Mails whose Message-ID is empty or absent are never taken for one another,
// even with equal sizes: an empty text is stored as NULL (as Oracle stores
// ''), so "IMM_MESSAGEID LIKE ''" finds none of them and each is stored.
TEST_F(MailStorageLibrary, EmptyMessageIdsNeverMatch) {
  const TestUser user = MakeUser(UserBase(14), "Empty Ids");
  auto with_empty_id = [](const std::string& subject) {
    std::string mail = MakeMail("", subject, 700);
    mail.insert(mail.find("Content-Type:"), "Message-ID: \r\n");
    return mail.substr(0, 700);
  };
  const std::string a = with_empty_id("empty-a");
  const std::string b = with_empty_id("empty-b");
  const std::string c = MakeMail("", "absent-c", 700);
  ASSERT_EQ(a.size(), b.size());
  ASSERT_EQ(a.size(), c.size());
  ASSERT_NE(a.find("Message-ID: \r\n"), std::string::npos);
  for (const std::string* mail : {&a, &b, &c, &a}) {
    ASSERT_EQ(Add(scratch_.Write("empty-id.eml", *mail), "EmptyIds", user), kOk);
  }
  const std::string folder = std::to_string(FolderId(user, "EmptyIds"));
  EXPECT_EQ(SqlInt("SELECT COUNT(*) FROM NS_IMAPMSGINFOLDER WHERE IMF_IMAPFOLDERID = " + folder), 4);
  // Four messages: even the same bytes again are a new message, since
  // nothing identifies them.
  EXPECT_EQ(SqlInt("SELECT COUNT(DISTINCT IMM_IMAPMESSAGEID) FROM NS_IMAPMSGINFOLDER WHERE "
                   "IMF_IMAPFOLDERID = " + folder),
            4);
  EXPECT_EQ(SqlInt("SELECT COUNT(*) FROM NS_IMAPMESSAGE IMM JOIN NS_IMAPMSGINFOLDER MIF ON "
                   "MIF.IMM_IMAPMESSAGEID = IMM.IMM_IMAPMESSAGEID WHERE IMM.IMM_MESSAGEID IS NULL "
                   "AND MIF.IMF_IMAPFOLDERID = " + folder),
            4);
}

// The header summary of the message row: the Date read into IMM_SENT (UTC),
// To, Cc and From decoded (encoded words, raw 8-bit text as ISO-8859-1) and
// cut to their byte limits, an absent Bcc left NULL, the Message-ID raw and
// cut to 95 bytes, the subject cut to 190 bytes of UTF-8 and the sort
// subject to 35 UTF-16 units; an unreadable Date gives the current UTC time.
TEST_F(MailStorageLibrary, HeaderSummaryOfTheMessageRow) {
  const TestUser user = MakeUser(UserBase(13), "Header Summary");
  std::string to = "To: ";
  for (int i = 0; i < 40; ++i) to += "rcpt" + std::to_string(100 + i) + "@example.test, ";
  const std::string long_id = "<summary-" + std::string(120, 'i') + "@test>";
  const std::string tail(200, 'x');
  const std::string head =
      "Date: Tue, 15 Nov 1994 08:12:31 +0100\r\n"
      "From: J\xF8rgen =?utf-8?q?M=C3=B8ller?= <j@test>\r\n" +
      to + "\r\n" +
      "Cc: =?iso-8859-1?b?S+VyZSDFcyA8a0B0ZXN0Pg==?=\r\n"
      "Subject: Re: [list] Fwd: =?utf-8?q?BL=C3=85B=C3=86R?= " +
      tail + "\r\nMessage-ID: " + long_id + "\r\n\r\nbody\r\n";
  ASSERT_EQ(Add(scratch_.Write("summary.eml", head), "Summary", user), kOk);
  const std::string where =
      " FROM NS_IMAPMESSAGE WHERE IMM_MESSAGEID = " + Q(long_id.substr(0, 95));
  ASSERT_EQ(SqlInt("SELECT COUNT(*)" + where), 1);

  const std::string to_value = to.substr(4);  // one line, ASCII: bytes are characters
  const std::string subject = "Re: [list] Fwd: BL\u00C5B\u00C6R " + tail;  // UTF-8
  struct Case {
    std::string column;
    std::string expected;
  };
  for (const Case& c : {
           Case{"to_char(IMM_SENT, 'YYYY/MM/DD HH24:MI:SS')", "1994/11/15 07:12:31"},
           Case{"IMM_FROM", "J\xC3\xB8rgen M\xC3\xB8ller <j@test>"},
           Case{"IMM_TO", to_value.substr(0, 475)},
           Case{"IMM_CC", "K\xC3\xA5re \xC3\x85s <k@test>"},
           Case{"COALESCE(IMM_BCC, '(null)')", "(null)"},
           Case{"IMM_MESSAGEID", long_id.substr(0, 95)},
           Case{"IMM_SUBJECT", subject.substr(0, 190)},
           Case{"IMM_SORTSUBJECT", "bl\u00E5b\u00E6r " + tail.substr(0, 28)},
       }) {
    SCOPED_TRACE(c.column);
    EXPECT_EQ(SqlValue("SELECT " + c.column + where), c.expected);
  }

  // A Date that cannot be read leaves the time of the call, in UTC.
  const std::string before = UtcNowText();
  ASSERT_EQ(
      Add(scratch_.Write("nodate.eml", MakeMail("<summary-nodate@test>", "x", 0, "not a date")),
          "Summary", user),
      kOk);
  const std::string after = UtcNowText();
  const std::string sent = SqlValue(
      "SELECT to_char(IMM_SENT, 'YYYY/MM/DD HH24:MI:SS') FROM NS_IMAPMESSAGE WHERE "
      "IMM_MESSAGEID = '<summary-nodate@test>'");
  EXPECT_GE(sent, before);
  EXPECT_LE(sent, after);
}

}  // namespace
}  // namespace mstest
