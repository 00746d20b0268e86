// ImapMailStorage operations on the private PostgreSQL store: the folder
// listing with its shared namespace, rename and delete, subscriptions, flags,
// internal dates and copies. Each test owns the user ids 7300000 + 100 * n.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "blob/BlobUtils.h"
#include "content/Charsets.h"
#include "db/ConnectionManager.h"
#include "db/DBTable.h"
#include "db/Rows.h"
#include "foundation/ResultCodes.h"
#include "imap/ImapMailStorage.h"

namespace Nauvik::IMAP {
namespace {

int64_t UserBase(int test) { return 7300000 + 100 * test; }

void Exec(const std::string& sql) {
  DbSimpleAccess db;
  db.ExecuteDirect(sql);
}

int64_t Count(const std::string& table, const std::string& where) {
  DbSimpleAccess db(table);
  return db.Count(where);
}

// A user row with its own company (the shared namespace names the owner).
int64_t MakeUser(int64_t id, const std::string& name) {
  Exec("INSERT INTO NS_COMPANY (COM_COMPANYID, COM_NAME) VALUES (" + std::to_string(id) +
       ", 'c') ON CONFLICT DO NOTHING");
  Exec("INSERT INTO NS_USER (USR_USERID, COM_COMPANYID, USR_NAME, USR_ROWSTATUS) VALUES (" +
       std::to_string(id) + ", " + std::to_string(id) + ", '" + name + "', 0)");
  return id;
}

std::string Mail(const std::string& message_id) {
  return "From: a@example.invalid\r\nSubject: unit\r\nMessage-ID: " + message_id +
         "\r\n\r\nBody\r\n";
}

std::vector<std::u16string> FullNames(const ImapFolderList& list) {
  std::vector<std::u16string> names;
  for (const auto& [id, folder] : list) names.push_back(folder.full_name);
  std::sort(names.begin(), names.end());
  return names;
}

class ImapMailStorageTest : public ::testing::Test {
 protected:
  void TearDown() override { CloseThreadDatabases(); }

  // Creates a folder (and its ancestors) and returns its record.
  ImapFolder Create(const std::u16string& name, int64_t user) {
    ImapFolder folder;
    EXPECT_EQ(store_.CreateImapFolder(name, user, user, &folder), kImapOk);
    return folder;
  }

  // Stores a mail into `folder` and returns the new link.
  LinkResult Add(const std::string& message_id, const std::u16string& folder, int64_t user,
                 uint32_t flags = kFlagRecent) {
    const std::string mail = Mail(message_id);
    LinkResult link;
    KAVRO::NTime date;
    EXPECT_TRUE(date.ParseMailDate("Tue, 15 Nov 1994 08:12:31 +0000"));
    EXPECT_EQ(store_.AddMessageToFolder(mail.data(), static_cast<uint32_t>(mail.size()), folder,
                                        true, user, user, flags, date, &link, 0, 0),
              kImapOk)
        << store_.GetLastExceptionText();
    return link;
  }

  void GrantLookup(const ImapFolder& folder, const std::string& grantee_columns,
                   const std::string& grantee_values) {
    Exec("INSERT INTO NS_IMAPFOLDERACCESS (IFA_IMAPFOLDERACCESSID, IMF_IMAPFOLDERID, " +
         grantee_columns + ", IFA_AR_LOOKUP) VALUES (nextval('NS_IMAPFOLDERACCESS_SEQ'), " +
         std::to_string(folder.folder_id) + ", " + grantee_values + ", 1)");
  }

  ImapMailStorage store_;
};

TEST_F(ImapMailStorageTest, ReadsTheVesselId) { EXPECT_EQ(store_.VesselId(), 7); }

// New folder ids carry the vessel id; "inbox" at the top is the inbox, and
// creating an existing folder returns it with 1016.
TEST_F(ImapMailStorageTest, CreateFolderAndItsAncestors) {
  const int64_t user = MakeUser(UserBase(1), "Creator");
  const ImapFolder leaf = Create(u"inbox.a.b", user);
  EXPECT_GT(leaf.folder_id, 7000000000);
  EXPECT_EQ(leaf.name, u"b");
  ImapFolderList list;
  ASSERT_EQ(store_.GetAllFoldersForUser(user, user, &list), kImapOk);
  EXPECT_EQ(FullNames(list), (std::vector<std::u16string>{u"INBOX", u"INBOX.a", u"INBOX.a.b"}));
  for (const auto& [id, folder] : list) EXPECT_EQ(folder.inbox, folder.full_name == u"INBOX");

  ImapFolder again;
  EXPECT_EQ(store_.CreateImapFolder(u"INBOX.A.B", user, user, &again), kImapFolderAlreadyExists);
  EXPECT_EQ(again.folder_id, leaf.folder_id);
  EXPECT_EQ(store_.CreateImapFolder(u"", user, user, &again), kImapInvalidInput);
  EXPECT_EQ(store_.CreateImapFolder(u"x", user, 0, &again), kImapInvalidInput);
}

// Other users' folders appear under "#Shared.<owner name> (<id>)" when a
// grant with the lookup right names the user, one of the user's groups or
// the user's whole company; dots in the owner's name become "_" there only.
TEST_F(ImapMailStorageTest, SharedNamespace) {
  const int64_t owner = MakeUser(UserBase(2), "J. Smith");
  const int64_t reader = MakeUser(UserBase(2) + 1, "Reader");
  const int64_t company_user = UserBase(2) + 2;
  Exec("INSERT INTO NS_USER (USR_USERID, COM_COMPANYID, USR_NAME, USR_ROWSTATUS) VALUES (" +
       std::to_string(company_user) + ", " + std::to_string(reader) + ", 'Colleague', 0)");
  Create(u"INBOX", owner);
  const ImapFolder projects = Create(u"INBOX.Pro.jects", owner);  // "jects" under "Pro"
  const ImapFolder sent = Create(u"Sent", owner);
  GrantLookup(projects, "USR_USERID", std::to_string(reader));
  GrantLookup(sent, "USG_USERGROUPID", std::to_string(UserBase(2)));
  Exec("INSERT INTO NS_USERGROUPMEMBER (USG_USERGROUPID, USR_USERID) VALUES (" +
       std::to_string(UserBase(2)) + ", " + std::to_string(reader) + ")");

  const std::u16string prefix =
      u"#Shared.J_ Smith (" + ConvertToUnicode(std::to_string(owner)) + u").";
  ImapFolderList list;
  ASSERT_EQ(store_.GetAllFoldersForUser(reader, reader, &list), kImapOk);
  // "jects" is shared without its parent: it starts its own tree.
  EXPECT_EQ(FullNames(list), (std::vector<std::u16string>{prefix + u"Sent", prefix + u"jects"}));

  // With the inbox and "Pro" shared to the whole company, the full path shows.
  Exec(
      "INSERT INTO NS_IMAPFOLDERACCESS (IFA_IMAPFOLDERACCESSID, IMF_IMAPFOLDERID, "
      "COM_COMPANYID, IFA_AR_LOOKUP) SELECT nextval('NS_IMAPFOLDERACCESS_SEQ'), "
      "IMF_IMAPFOLDERID, " +
      std::to_string(reader) + ", 1 FROM NS_IMAPFOLDER WHERE USR_USERID = " +
      std::to_string(owner) + " AND (IMF_INBOX = 1 OR IMF_FOLDERNAME = 'Pro')");
  ASSERT_EQ(store_.GetAllFoldersForUser(reader, reader, &list), kImapOk);
  EXPECT_EQ(FullNames(list),
            (std::vector<std::u16string>{prefix + u"INBOX", prefix + u"INBOX.Pro",
                                         prefix + u"INBOX.Pro.jects", prefix + u"Sent"}));
  ImapFolder found;
  EXPECT_EQ(store_.GetImapFolder(
                u"#shared.j_ smith (" + ConvertToUnicode(std::to_string(owner)) + u").inbox.pro",
                reader, reader, &found),
            kImapOk);
  EXPECT_EQ(found.owner, owner);

  // A company grant reaches every user of the company; a group grant only
  // the members; base tables list no shared folders at all.
  ASSERT_EQ(store_.GetAllFoldersForUser(company_user, reader, &list), kImapOk);
  EXPECT_EQ(list.size(), 2u);
  store_.SetUseViews(false);
  ASSERT_EQ(store_.GetAllFoldersForUser(reader, reader, &list), kImapOk);
  EXPECT_TRUE(list.empty());
}

// Two folders naming each other as parent are listed with a marked name and
// cannot be selected; a parent that is not the user's fails the listing.
TEST_F(ImapMailStorageTest, BrokenHierarchies) {
  const int64_t user = MakeUser(UserBase(3), "Loops");
  const ImapFolder a = Create(u"A", user);
  const ImapFolder b = Create(u"B", user);
  Exec("UPDATE NS_IMAPFOLDER SET IMF_IMAPFOLDERID_PARENT = " + std::to_string(b.folder_id) +
       " WHERE IMF_IMAPFOLDERID = " + std::to_string(a.folder_id));
  Exec("UPDATE NS_IMAPFOLDER SET IMF_IMAPFOLDERID_PARENT = " + std::to_string(a.folder_id) +
       " WHERE IMF_IMAPFOLDERID = " + std::to_string(b.folder_id));
  ImapFolderList list;
  ASSERT_EQ(store_.GetAllFoldersForUser(user, user, &list), kImapOk);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[a.folder_id].full_name, u"[Error: Looping folders detected]-B.A");
  EXPECT_EQ(list[b.folder_id].full_name, u"[Error: Looping folders detected]-A.B");
  ImapFolder found;
  EXPECT_EQ(store_.GetImapFolder(u"[Error: Looping folders detected]-B.A", user, user, &found),
            kImapFolderNotSelectable);

  const int64_t other = MakeUser(UserBase(3) + 1, "Other");
  const ImapFolder foreign = Create(u"Foreign", other);
  const ImapFolder child = Create(u"Child", user);
  Exec("UPDATE NS_IMAPFOLDER SET IMF_IMAPFOLDERID_PARENT = " + std::to_string(foreign.folder_id) +
       " WHERE IMF_IMAPFOLDERID = " + std::to_string(child.folder_id));
  EXPECT_EQ(store_.GetAllFoldersForUser(user, user, &list), kImapFolderParentNotFound);
}

TEST_F(ImapMailStorageTest, RenameAndDelete) {
  const int64_t user = MakeUser(UserBase(4), "Renamer");
  Create(u"Work.Old", user);
  Create(u"Work2", user);
  ImapFolderList subfolders;
  ASSERT_EQ(store_.GetAllSubfoldersForUser(user, user, u"work", &subfolders), kImapOk);
  EXPECT_EQ(FullNames(subfolders), (std::vector<std::u16string>{u"Work.Old", u"Work2"}));

  struct Case {
    std::u16string from;
    std::u16string to;
    int32_t code;
  };
  for (const Case& c : std::vector<Case>{
           {u"Work", u"work.Below", kImapFolderParentNotFound},
           {u"Work", u"Work2", kImapFolderAlreadyExists},
           {u"Missing", u"Elsewhere", kImapFolderNotFound},
           {u"Work.Old", u"Archive.2020.Old", kImapOk},  // creates Archive.2020
           {u"Archive.2020.Old", u"Old", kImapOk},       // back to the top level
       }) {
    EXPECT_EQ(store_.RenameImapFolder(c.from, c.to, user, user), c.code)
        << ConvertFromUnicode(c.from) << " -> " << ConvertFromUnicode(c.to);
  }
  ImapFolderList list;
  ASSERT_EQ(store_.GetAllFoldersForUser(user, user, &list), kImapOk);
  EXPECT_EQ(FullNames(list),
            (std::vector<std::u16string>{u"Archive", u"Archive.2020", u"Old", u"Work", u"Work2"}));

  // A folder with subfolders stays as a non-selectable container.
  const LinkResult link = Add("<rename-1@unit>", u"Archive", user);
  ASSERT_NE(link.link_id, 0);
  EXPECT_EQ(store_.DeleteImapFolder(u"Archive", user, user), kImapOk);
  EXPECT_EQ(Count("NS_IMAPFOLDER",
                  "IMF_NOSELECT = 1 AND IMF_IMAPFOLDERID = " + std::to_string(link.folder_id)),
            1);
  EXPECT_EQ(Count("NS_IMAPMSGINFOLDER", "IMF_IMAPFOLDERID = " + std::to_string(link.folder_id)), 0);
  EXPECT_EQ(store_.DeleteImapFolder(u"Archive", user, user), kImapFolderNotSelectable);

  // A leaf goes with its sequence, its links, and the message with its blob
  // when no other link is left.
  const LinkResult leaf_link = Add("<rename-2@unit>", u"Work2", user);
  int64_t blob = 0;
  {
    DBTable<NV_IMAPMESSAGE> message;
    ASSERT_TRUE(message.Select("IMM_MESSAGEID = '<rename-2@unit>'", ""));
    ASSERT_TRUE(message.Fetch());
    blob = IdOf(message.FIS_FILESTORAGEID);
  }
  ASSERT_NE(blob, 0);
  EXPECT_EQ(store_.DeleteImapFolder(u"Work2", user, user), kImapOk);
  EXPECT_EQ(Count("NS_IMAPFOLDER", "IMF_IMAPFOLDERID = " + std::to_string(leaf_link.folder_id)), 0);
  EXPECT_EQ(Count("pg_class", "relkind = 'S' AND relname = 'imapfolder_" +
                                  std::to_string(leaf_link.folder_id) + "'"),
            0);
  EXPECT_EQ(Count("NS_IMAPMESSAGE", "IMM_MESSAGEID = '<rename-2@unit>'"), 0);
  EXPECT_EQ(Count("NS_FILESTORAGE",
                  "FIS_DELETED IS NOT NULL AND FIS_DELETEDBY = 11 AND "
                  "FIS_LOCATION IS NULL AND FIS_FILESTORAGEID = " +
                      std::to_string(blob)),
            1);
  EXPECT_EQ(store_.DeleteImapFolder(u"Work2", user, user), kImapFolderNotFound);
}

TEST_F(ImapMailStorageTest, Subscriptions) {
  const int64_t user = MakeUser(UserBase(5), "Subscriber");
  struct Step {
    enum { kSubscribe, kUnsubscribe, kIsSubscribed } op;
    std::u16string name;
    int32_t code;
  };
  const std::vector<Step> steps = {
      {Step::kSubscribe, u"INBOX.Sent", kImapOk},
      {Step::kSubscribe, u"INBOX.Sent", kImapAlreadySubscribed},
      {Step::kSubscribe, u"inbox.sent", kImapAlreadySubscribed},
      {Step::kIsSubscribed, u"Inbox.SENT", kImapOk},
      {Step::kSubscribe, u"Bob's", kImapOk},
      {Step::kIsSubscribed, u"bob's", kImapOk},
      {Step::kIsSubscribed, u"Bob", kImapNotSubscribed},
      {Step::kSubscribe, u"C:\\mail", kImapOk},
      {Step::kIsSubscribed, u"c:\\MAIL", kImapOk},
      {Step::kIsSubscribed, u"c:mail", kImapNotSubscribed},
      {Step::kIsSubscribed, u"#Shared.Anyone.Anything", kImapOk},
      {Step::kUnsubscribe, u"#Shared.Anyone.Anything", kImapInvalidInput},
      {Step::kUnsubscribe, u"Never subscribed", kImapOk},
      {Step::kUnsubscribe, u"INBOX.SENT", kImapOk},
      {Step::kIsSubscribed, u"INBOX.Sent", kImapNotSubscribed},
      {Step::kIsSubscribed, u"", kImapInvalidInput},
  };
  for (const Step& step : steps) {
    int32_t code = -1;
    switch (step.op) {
      case Step::kSubscribe:
        code = store_.SubscribeUserToFolder(step.name, user);
        break;
      case Step::kUnsubscribe:
        code = store_.UnsubscribeUserFromFolder(step.name, user);
        break;
      case Step::kIsSubscribed:
        code = store_.IsUserSubscribedToFolder(step.name, user);
        break;
    }
    EXPECT_EQ(code, step.code) << step.op << " " << ConvertFromUnicode(step.name);
  }
  EXPECT_EQ(Count("NS_IMAPSUBSCRIPTION", "USR_USERID = " + std::to_string(user)), 2);
}

// SetFlags touches only the columns it is asked to; CopyMessage links the
// same message into another folder with the next UID there, its flags and
// its internal date.
TEST_F(ImapMailStorageTest, FlagsDatesAndCopies) {
  const int64_t user = MakeUser(UserBase(6), "Flagger");
  const LinkResult link =
      Add("<flags-1@unit>", u"Flags", user, kFlagRecent | kFlagSeen | kFlagFlagged);
  ASSERT_EQ(link.uid, 1u);
  const std::string where = "MIF_IMAPMSGINFOLDERID = " + std::to_string(link.link_id);
  auto flags = [&] {
    DBTable<NV_IMAPMSGINFOLDER> row;
    EXPECT_TRUE(row.Select(where, ""));
    EXPECT_TRUE(row.Fetch());
    return std::to_string(row.MIF_ANSWERED) + std::to_string(row.MIF_FLAGGED) +
           std::to_string(row.MIF_DELETED) + std::to_string(row.MIF_SEEN) +
           std::to_string(row.MIF_DRAFT) + std::to_string(row.MIF_RECENT);
  };
  EXPECT_EQ(flags(), "010101");
  EXPECT_EQ(store_.SetFlags(link.link_id, 0, false, false, false, false, true), kImapOk);
  EXPECT_EQ(flags(), "010001");
  EXPECT_EQ(store_.SetFlags(link.link_id, kFlagAnswered | kFlagDeleted | kFlagDraft, true, true,
                            true, true, false),
            kImapOk);
  EXPECT_EQ(flags(), "101011");
  EXPECT_EQ(store_.SetFlags(987654321, 0, true, false, false, false, false), kImapMailNotFound);

  KAVRO::NTime date;
  ASSERT_TRUE(date.ParseMailDate("Sat, 1 Jan 2000 10:20:30 +0000"));
  EXPECT_EQ(store_.SetInternalDate(link.link_id, date), kImapOk);
  EXPECT_EQ(store_.SetInternalDate(987654321, date), kImapMailNotFound);

  Add("<flags-2@unit>", u"Target", user);
  EXPECT_EQ(store_.CopyMessage(link.link_id, u"Target", user, user), kImapOk);
  DBTable<NV_IMAPMSGINFOLDER> copy;
  ASSERT_TRUE(copy.Select("IMF_IMAPFOLDERID <> " + std::to_string(link.folder_id) +
                              " AND IMM_IMAPMESSAGEID IN (SELECT IMM_IMAPMESSAGEID FROM "
                              "NS_IMAPMSGINFOLDER WHERE " +
                              where + ")",
                          ""));
  ASSERT_TRUE(copy.Fetch());
  EXPECT_EQ(copy.MIF_UID, 2);
  EXPECT_EQ(TextOf(copy.MIF_INTERNALDATE), "2000/01/01 10:20:30");
  EXPECT_EQ(std::to_string(copy.MIF_ANSWERED) + std::to_string(copy.MIF_DELETED) +
                std::to_string(copy.MIF_DRAFT) + std::to_string(copy.MIF_RECENT),
            "1111");
  EXPECT_FALSE(copy.Fetch());
  EXPECT_EQ(store_.CopyMessage(link.link_id, u"Nowhere", user, user), kImapFolderNotFound);
  // On the base tables the copy carries the link's mail recipient as well.
  Exec("UPDATE NS_IMAPMSGINFOLDER SET MRP_MAILRECIPIENTID = 4711 WHERE " + where);
  store_.SetUseViews(false);
  EXPECT_EQ(store_.CopyMessage(link.link_id, u"Target", user, user), kImapOk);
  store_.SetUseViews(true);
  EXPECT_EQ(Count("NS_IMAPMSGINFOLDER",
                  "MRP_MAILRECIPIENTID = 4711 AND MIF_UID = 3 AND "
                  "IMF_IMAPFOLDERID <> " +
                      std::to_string(link.folder_id)),
            1);

  // Deleting the last link of a message removes the message.
  EXPECT_EQ(store_.DeleteMessage(link.link_id), kImapOk);
  EXPECT_EQ(store_.DeleteMessage(link.link_id), kImapMailNotFound);
  EXPECT_EQ(Count("NS_IMAPMESSAGE", "IMM_MESSAGEID = '<flags-1@unit>'"), 1);  // the copy stays
}

// The blob wrappers: the creator ids follow UseViews, a blob a message row
// still uses is kept (1006), and nothing is removed on base tables.
TEST_F(ImapMailStorageTest, BlobWrappers) {
  const std::string bytes = "blob wrapper bytes\r\n";
  MessageReference views_blob;
  MessageReference tables_blob;
  ASSERT_EQ(CreateBlob(bytes.data(), static_cast<uint32_t>(bytes.size()), &views_blob, true), 0);
  ASSERT_EQ(CreateBlob(bytes.data(), static_cast<uint32_t>(bytes.size()), &tables_blob, false), 0);
  const std::string id = std::to_string(views_blob.file_storage_id);
  EXPECT_EQ(Count("NS_FILESTORAGE",
                  "FIS_CREATEDBY = 11 AND FIT_FILETYPEID = 11 AND "
                  "FIS_FILESTORAGEID = " +
                      id),
            1);
  EXPECT_EQ(Count("NS_FILESTORAGE",
                  "FIS_CREATEDBY = 46 AND FIT_FILETYPEID = 21 AND "
                  "FIS_FILESTORAGEID = " +
                      std::to_string(tables_blob.file_storage_id)),
            1);
  KAVRO::MMFile mapping;
  ASSERT_EQ(GetBlob(views_blob.file_storage_id, true, &mapping), 0);
  EXPECT_EQ(mapping.Bytes(), bytes);
  mapping.Close();

  EXPECT_EQ(DeleteBlob(false, views_blob.file_storage_id), kImapOk);
  EXPECT_EQ(Count("NS_FILESTORAGE", "FIS_DELETED IS NULL AND FIS_FILESTORAGEID = " + id), 1);
  Exec(
      "INSERT INTO NS_IMAPMESSAGE (IMM_IMAPMESSAGEID, FIS_FILESTORAGEID) VALUES "
      "(nextval('NS_IMAPMESSAGE_SEQ'), " +
      id + ")");
  EXPECT_EQ(DeleteBlob(true, views_blob.file_storage_id), kImapMailAlreadyExists);
  EXPECT_EQ(Count("NS_FILESTORAGE", "FIS_DELETED IS NULL AND FIS_FILESTORAGEID = " + id), 1);
  Exec("DELETE FROM NS_IMAPMESSAGE WHERE FIS_FILESTORAGEID = " + id);
  EXPECT_EQ(DeleteBlob(true, views_blob.file_storage_id), kImapOk);
  EXPECT_EQ(Count("NS_FILESTORAGE", "FIS_DELETED IS NULL AND FIS_FILESTORAGEID = " + id), 0);
  EXPECT_NE(GetBlob(views_blob.file_storage_id, true, &mapping), 0);
}

// A database error inside an operation: WARNING, last exception text, the
// thread's connection closed, 1001; the next operation reconnects.
TEST_F(ImapMailStorageTest, DatabaseErrorClosesTheConnection) {
  const int64_t user = MakeUser(UserBase(7), "Broken");
  const ImapFolder folder = Create(u"Broken", user);
  Exec("DROP SEQUENCE IMAPFOLDER_" + std::to_string(folder.folder_id));
  const uint32_t thread = ConnectionManager::CurrentThreadId();
  EXPECT_EQ(ConnectionManager::Instance().ConnectionCount(thread), 1u);
  const std::string mail = Mail("<broken-1@unit>");
  EXPECT_EQ(store_.AddMessageToFolder(mail.data(), static_cast<uint32_t>(mail.size()), u"Broken",
                                      false, user, user, kFlagRecent, KAVRO::NTime(), 0, 0),
            kImapOracleError);
  EXPECT_NE(store_.GetLastExceptionText().find("imapfolder_" + std::to_string(folder.folder_id)),
            std::string::npos)
      << store_.GetLastExceptionText();
  EXPECT_EQ(ConnectionManager::Instance().ConnectionCount(thread), 0u);
  ImapFolder found;
  EXPECT_EQ(store_.GetImapFolder(u"broken", user, user, &found), kImapOk);
}

// InsertMessage stores a mail once: the message id carries the vessel id,
// the same Message-ID and size find the stored copy (no new row, no new
// blob), a copy whose blob file is gone is stored again, and a given file
// storage id is used instead of a new blob.
TEST_F(ImapMailStorageTest, InsertMessageStoresOnce) {
  // A size no other test uses, so that the blob count sees only this test's.
  const auto blobs = [] { return Count("NS_FILESTORAGE", "FIS_SIZE = 1061"); };
  std::string mail = Mail("<insert-once-1@unit>");
  mail.append(1061 - mail.size(), 'x');
  const uint32_t size = static_cast<uint32_t>(mail.size());
  const int64_t blobs_before = blobs();

  MessageReference first;
  ASSERT_EQ(store_.InsertMessage(mail.data(), size, &first, 0), kImapOk);
  EXPECT_EQ(first.imap_message_id / 1000000000, 7);
  EXPECT_GT(first.file_storage_id, 0);
  EXPECT_EQ(first.size, size);
  EXPECT_EQ(blobs(), blobs_before + 1);
  const std::string first_id = std::to_string(first.imap_message_id);
  EXPECT_EQ(Count("NS_IMAPMESSAGE", "FIS_FILESTORAGEID = " + std::to_string(first.file_storage_id) +
                                        " AND IMM_IMAPMESSAGEID = " + first_id),
            1);
  EXPECT_EQ(Count("NS_IMAPBODYPART", "IMB_PARENTID IS NULL AND IMM_IMAPMESSAGEID = " + first_id),
            1);

  MessageReference again;
  ASSERT_EQ(store_.InsertMessage(mail.data(), size, &again, 0), kImapOk);
  EXPECT_EQ(again.imap_message_id, first.imap_message_id);
  EXPECT_EQ(again.file_storage_id, first.file_storage_id);
  EXPECT_EQ(again.size, size);
  EXPECT_EQ(blobs(), blobs_before + 1);

  MessageReference by_blob;
  ASSERT_EQ(store_.InsertMessage(mail.data(), size, &by_blob, first.file_storage_id), kImapOk);
  EXPECT_EQ(by_blob.imap_message_id, first.imap_message_id);

  // The stored copy's file is gone: the mail is new again, with a new blob.
  std::string path;
  ASSERT_EQ(BlobUtils(true).GetBlobFileName(first.file_storage_id, &path), 0);
  ASSERT_TRUE(KAVRO::DeleteFile(path));
  MessageReference stored_again;
  ASSERT_EQ(store_.InsertMessage(mail.data(), size, &stored_again, 0), kImapOk);
  EXPECT_NE(stored_again.imap_message_id, first.imap_message_id);
  EXPECT_NE(stored_again.file_storage_id, first.file_storage_id);
  EXPECT_EQ(blobs(), blobs_before + 2);

  // A blob without a message row: the new row uses it, no blob is written.
  MessageReference bare;
  ASSERT_EQ(CreateBlob(mail.data(), size, &bare, true), kImapOk);
  MessageReference on_bare;
  ASSERT_EQ(store_.InsertMessage(mail.data(), size, &on_bare, bare.file_storage_id), kImapOk);
  EXPECT_EQ(on_bare.file_storage_id, bare.file_storage_id);
  EXPECT_NE(on_bare.imap_message_id, 0);
  EXPECT_NE(on_bare.imap_message_id, stored_again.imap_message_id);
  EXPECT_EQ(blobs(), blobs_before + 3);

  MessageReference none;
  EXPECT_EQ(store_.InsertMessage(mail.data(), 0, &none, 0), kImapInvalidInput);
  EXPECT_EQ(store_.InsertMessage(nullptr, size, &none, 0), kImapInvalidInput);
}

}  // namespace
}  // namespace Nauvik::IMAP
