// ImapMailStorage on the private store. Each test owns the user ids 7300000 + 100 * n.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
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

using std::to_string;
using Names = std::vector<std::u16string>;

int64_t UserBase(int test) { return 7300000 + 100 * test; }

// `text` with each "?" replaced by the next value.
std::string Q(std::string text, std::initializer_list<int64_t> values) {
  for (int64_t v : values) text.replace(text.find('?'), 1, to_string(v));
  return text;
}
void Exec(const std::string& sql) { DbSimpleAccess().ExecuteDirect(sql); }
int64_t Count(const std::string& table, const std::string& where) {
  return DbSimpleAccess(table).Count(where);
}
// A grant row: the columns after the key, and the SELECT list that fills them.
void Grant(const std::string& columns, const std::string& values) {
  Exec("INSERT INTO NS_IMAPFOLDERACCESS (IFA_IMAPFOLDERACCESSID, " + columns +
       ") SELECT nextval('NS_IMAPFOLDERACCESS_SEQ'), " + values);
}

// A user row, by default with its own company (the shared namespace names the owner).
int64_t MakeUser(int64_t id, const std::string& name, int64_t company = 0) {
  company = company == 0 ? id : company;
  Exec(Q("INSERT INTO NS_COMPANY (COM_COMPANYID, COM_NAME) VALUES (?, 'c') ON CONFLICT DO NOTHING; "
         "INSERT INTO NS_USER (USR_USERID, COM_COMPANYID, USR_ROWSTATUS, USR_NAME) VALUES (?, ?, "
         "0, '",
         {company, id, company}) +
       name + "')");
  return id;
}

std::string Mail(const std::string& message_id) {
  return "From: a@x.invalid\r\nSubject: unit\r\nMessage-ID: " + message_id + "\r\n\r\nBody\r\n";
}

Names FullNames(const ImapFolderList& list) {
  Names names;
  for (const auto& [id, folder] : list) names.push_back(folder.full_name);
  std::sort(names.begin(), names.end());
  return names;
}

class ImapMailStorageTest : public ::testing::Test {
 protected:
  void TearDown() override { CloseThreadDatabases(); }

  ImapFolder Create(const std::u16string& name, int64_t user) {
    ImapFolder folder;
    EXPECT_EQ(store_.CreateImapFolder(name, user, user, &folder), kImapOk);
    return folder;
  }
  Names List(int64_t user, int64_t company) {
    ImapFolderList list;
    EXPECT_EQ(store_.GetAllFoldersForUser(user, company, &list), kImapOk);
    return FullNames(list);
  }
  LinkResult Add(const std::string& message_id, const std::u16string& folder, int64_t user,
                 uint32_t flags = kFlagRecent) {
    const std::string mail = Mail(message_id);
    LinkResult link;
    EXPECT_EQ(store_.AddMessageToFolder(mail.data(), static_cast<uint32_t>(mail.size()), folder,
                                        true, user, user, flags, KAVRO::NTime(), &link, 0, 0),
              kImapOk)
        << store_.GetLastExceptionText();
    return link;
  }
  int32_t AddBlob(int64_t blob, int64_t recipient, const std::u16string& folder, bool create,
                  int64_t user) {
    return store_.AddMessageToFolder(blob, recipient, folder, create, user, user, kFlagRecent,
                                     KAVRO::NTime());
  }
  int32_t AddPath(const std::string& path, int64_t user) {
    return store_.AddMessageToFolder(path, u"ByPath", true, user, user, kFlagRecent,
                                     KAVRO::NTime());
  }
  int64_t FolderId(const std::u16string& name, int64_t user) {
    ImapFolder folder;
    EXPECT_EQ(store_.GetImapFolder(name, user, user, &folder), kImapOk) << ConvertFromUnicode(name);
    return folder.folder_id;
  }
  ImapMailStorage store_;
};

// New folder ids carry the vessel id; "inbox" at the top is the inbox (below, an ordinary name),
// and creating an existing folder in any case returns it with 1016.
TEST_F(ImapMailStorageTest, CreateFolderAndItsAncestors) {
  const int64_t user = MakeUser(UserBase(1), "Creator");
  const ImapFolder leaf = Create(u"inbox.a.b", user);
  Create(u"Inbox.a.inbox", user);
  EXPECT_EQ(leaf.folder_id / 1000000000, 7);
  EXPECT_EQ(List(user, user), (Names{u"INBOX", u"INBOX.a", u"INBOX.a.b", u"INBOX.a.inbox"}));
  EXPECT_EQ(Count("NS_IMAPFOLDER", Q("IMF_INBOX = 1 AND USR_USERID = ?", {user})), 1);
  ImapFolder again;
  EXPECT_EQ(store_.CreateImapFolder(u"INBOX.A.B", user, user, &again), kImapFolderAlreadyExists);
  EXPECT_EQ(again.folder_id, leaf.folder_id);
  EXPECT_EQ(store_.CreateImapFolder(u"", user, user, &again), kImapInvalidInput);
  EXPECT_EQ(store_.CreateImapFolder(u"x", user, 0, &again), kImapInvalidInput);
}

// Other users' folders appear under "#Shared.<owner name> (<id>)" when a lookup grant names the
// user, a group of the user or the company; dots in the name become "_".
TEST_F(ImapMailStorageTest, SharedNamespace) {
  const int64_t owner = MakeUser(UserBase(2), "J. Smith");
  const int64_t reader = MakeUser(UserBase(2) + 1, "Reader");
  const int64_t colleague = MakeUser(UserBase(2) + 2, "Colleague", reader);
  Create(u"INBOX", owner);
  const ImapFolder projects = Create(u"INBOX.Pro.jects", owner);  // "jects" under "Pro"
  const ImapFolder sent = Create(u"Sent", owner);
  const std::string who =
      "IMF_IMAPFOLDERID, USR_USERID, USG_USERGROUPID, COM_COMPANYID, IFA_AR_LOOKUP";
  // "jects" to the reader, "Sent" to a group of the reader (group id = owner id).
  Grant(who, Q("?, ?, NULL, NULL, 1", {projects.folder_id, reader}));
  Grant(who, Q("?, NULL, ?, NULL, 1", {sent.folder_id, owner}));
  Exec(Q("INSERT INTO NS_USERGROUPMEMBER (USG_USERGROUPID, USR_USERID) VALUES (?, ?)",
         {owner, reader}));
  const std::u16string id = ConvertToUnicode(to_string(owner));
  const std::u16string prefix = u"#Shared.J_ Smith (" + id + u").";
  // "jects" is shared without its parent: it starts its own tree.
  EXPECT_EQ(List(reader, reader), (Names{prefix + u"Sent", prefix + u"jects"}));
  // With the inbox and "Pro" shared to the whole company, the full path shows.
  Grant(who, Q("IMF_IMAPFOLDERID, NULL, NULL, ?, 1 FROM NS_IMAPFOLDER WHERE USR_USERID = ? AND "
               "(IMF_INBOX = 1 OR IMF_FOLDERNAME = 'Pro')",
               {reader, owner}));
  EXPECT_EQ(List(reader, reader), (Names{prefix + u"INBOX", prefix + u"INBOX.Pro",
                                         prefix + u"INBOX.Pro.jects", prefix + u"Sent"}));
  ImapFolder found;
  EXPECT_EQ(
      store_.GetImapFolder(u"#shared.j_ smith (" + id + u").inbox.pro", reader, reader, &found),
      kImapOk);
  EXPECT_EQ(found.owner, owner);
  // A company grant reaches every user of the company; a group grant only the members; base tables
  // list no shared folders at all.
  EXPECT_EQ(List(colleague, reader).size(), 2u);
  store_.SetUseViews(false);
  EXPECT_TRUE(List(reader, reader).empty());
}

// Folders naming each other as parent are listed marked, not selectable; a parent of another user
// fails the listing.
TEST_F(ImapMailStorageTest, BrokenHierarchies) {
  const int64_t user = MakeUser(UserBase(3), "Loops");
  const int64_t a = Create(u"A", user).folder_id, b = Create(u"B", user).folder_id;
  const char* set_parent =
      "UPDATE NS_IMAPFOLDER SET IMF_IMAPFOLDERID_PARENT = ? WHERE IMF_IMAPFOLDERID = ?";
  Exec(Q(set_parent, {b, a}));
  Exec(Q(set_parent, {a, b}));
  EXPECT_EQ(List(user, user), (Names{u"[Error: Looping folders detected]-A.B",
                                     u"[Error: Looping folders detected]-B.A"}));
  ImapFolder found;
  EXPECT_EQ(store_.GetImapFolder(u"[Error: Looping folders detected]-B.A", user, user, &found),
            kImapFolderNotSelectable);

  const int64_t other = MakeUser(UserBase(3) + 1, "Other");
  Exec(Q(set_parent, {Create(u"Foreign", other).folder_id, Create(u"Child", user).folder_id}));
  ImapFolderList list;
  EXPECT_EQ(store_.GetAllFoldersForUser(user, user, &list), kImapFolderParentNotFound);
}

// Rename and delete need the delete right, delete the delete-message right too; a refused delete
// leaves folder and links as they were. No folder moves below another user's.
TEST_F(ImapMailStorageTest, RenameAndDelete) {
  const int64_t user = MakeUser(UserBase(4), "Renamer");
  const int64_t neighbour = MakeUser(UserBase(4) + 1, "Neighbour");
  Create(u"Theirs", neighbour);
  Grant("IMF_IMAPFOLDERID, USR_USERID, IFA_AR_LOOKUP, IFA_AR_INSERT, IFA_AR_CREATE",
        Q("?, ?, 1, 1, 1", {FolderId(u"Theirs", neighbour), user}));
  const std::u16string theirs =
      u"#Shared.Neighbour (" + ConvertToUnicode(to_string(neighbour)) + u").Theirs";
  Create(u"Work.Old", user);
  Create(u"Work2", user);
  const int64_t kept = Add("<refusal-1@unit>", u"Kept", user).folder_id;
  const int64_t leaf = Add("<refusal-2@unit>", u"Kept.Leaf", user).folder_id;
  ImapFolderList subfolders;
  ASSERT_EQ(store_.GetAllSubfoldersForUser(user, user, u"work", &subfolders), kImapOk);
  EXPECT_EQ(FullNames(subfolders), (Names{u"Work.Old", u"Work2"}));
  auto set_right = [&](const char* column, int value, int64_t folder) {
    Exec(std::string("UPDATE NS_IMAPFOLDERACCESS SET ") + column +
         Q(" = ? WHERE IMF_IMAPFOLDERID = ?", {value, folder}));
  };
  set_right("IFA_AR_DELETE_MBOX", 0, kept);
  set_right("IFA_AR_DELETE_MESSAGE", 0, leaf);
  // {what, the name, for a rename the new name (else a delete by `who`), who, result}
  const std::tuple<const char*, std::u16string, std::u16string, int64_t, int32_t> steps[] = {
      {"rename below itself", u"Work", u"work.Below", user, kImapFolderParentNotFound},
      {"rename onto a folder", u"Work", u"Work2", user, kImapFolderAlreadyExists},
      {"rename a missing folder", u"Missing", u"Elsewhere", user, kImapFolderNotFound},
      {"rename creating parents", u"Work.Old", u"Archive.2020.Old", user, kImapOk},
      {"rename to the top level", u"Archive.2020.Old", u"Old", user, kImapOk},
      {"rename without the delete right", u"Kept", u"Moved", user, kImapAccessDenied},
      {"delete without the delete right", u"Kept", u"", user, kImapAccessDenied},
      {"delete without the delete-message right", u"Kept.Leaf", u"", user, kImapAccessDenied},
      {"delete without a name", u"", u"", user, kImapInvalidInput},
      {"delete without a user", u"Kept.Leaf", u"", 0, kImapInvalidInput},
      {"rename below another user's folder", u"Kept.Leaf", theirs + u".Leaf", user,
       kImapCannotCreateInOthersFolder},
  };
  for (const auto& [what, name, to, who, code] : steps) {
    EXPECT_EQ(to.empty() ? store_.DeleteImapFolder(name, who, user)
                         : store_.RenameImapFolder(name, to, user, user),
              code)
        << what;
  }
  set_right("IFA_AR_DELETE_MBOX", 1, kept);
  set_right("IFA_AR_DELETE_MESSAGE", 0, kept);
  EXPECT_EQ(store_.DeleteImapFolder(u"Kept", user, user), kImapAccessDenied);
  EXPECT_EQ(List(user, user), (Names{theirs, u"Archive", u"Archive.2020", u"Kept", u"Kept.Leaf",
                                     u"Old", u"Work", u"Work2"}));
  const std::string both = Q("IMF_IMAPFOLDERID IN (?, ?)", {kept, leaf});
  EXPECT_EQ(Count("NS_IMAPFOLDER", "IMF_NOSELECT = 0 AND " + both), 2);
  EXPECT_EQ(Count("NS_IMAPMSGINFOLDER", both), 2);
  // A folder with subfolders stays as a non-selectable container.
  const int64_t archive = Add("<rename-1@unit>", u"Archive", user).folder_id;
  EXPECT_EQ(store_.DeleteImapFolder(u"Archive", user, user), kImapOk);
  EXPECT_EQ(Count("NS_IMAPFOLDER", Q("IMF_NOSELECT = 1 AND IMF_IMAPFOLDERID = ?", {archive})), 1);
  EXPECT_EQ(Count("NS_IMAPMSGINFOLDER", Q("IMF_IMAPFOLDERID = ?", {archive})), 0);
  EXPECT_EQ(store_.DeleteImapFolder(u"Archive", user, user), kImapFolderNotSelectable);
  // A leaf goes with its sequence, its links, and the message with its blob when no other link is
  // left.
  const int64_t work2 = Add("<rename-2@unit>", u"Work2", user).folder_id;
  MessageReference stored;
  ASSERT_EQ(store_.FindMessage("<rename-2@unit>", Mail("<rename-2@unit>").size(), &stored),
            kImapOk);
  EXPECT_EQ(store_.DeleteImapFolder(u"Work2", user, user), kImapOk);
  EXPECT_EQ(Count("NS_IMAPFOLDER", Q("IMF_IMAPFOLDERID = ?", {work2})), 0);
  EXPECT_EQ(Count("pg_class", Q("relkind = 'S' AND relname = 'imapfolder_?'", {work2})), 0);
  EXPECT_EQ(Count("NS_IMAPMESSAGE", "IMM_MESSAGEID = '<rename-2@unit>'"), 0);
  EXPECT_EQ(Count("NS_FILESTORAGE", Q("FIS_DELETEDBY = 11 AND FIS_LOCATION IS NULL AND "
                                      "FIS_FILESTORAGEID = ?",
                                      {stored.file_storage_id})),
            1);
  EXPECT_EQ(store_.DeleteImapFolder(u"Work2", user, user), kImapFolderNotFound);
}

TEST_F(ImapMailStorageTest, Subscriptions) {
  const int64_t user = MakeUser(UserBase(5), "Subscriber");
  using Op = int32_t (ImapMailStorage::*)(const std::u16string&, int64_t);
  const Op sub = &ImapMailStorage::SubscribeUserToFolder;
  const Op unsub = &ImapMailStorage::UnsubscribeUserFromFolder;
  const Op is = &ImapMailStorage::IsUserSubscribedToFolder;
  const std::tuple<Op, std::u16string, int32_t> steps[] = {
      {sub, u"INBOX.Sent", kImapOk},
      {sub, u"inbox.sent", kImapAlreadySubscribed},
      {sub, u"Bob's", kImapOk},
      {is, u"bob's", kImapOk},
      {is, u"Bob", kImapNotSubscribed},
      {sub, u"C:\\mail", kImapOk},
      {is, u"c:\\MAIL", kImapOk},
      {is, u"c:mail", kImapNotSubscribed},
      {is, u"#Shared.Anyone.Anything", kImapOk},
      {unsub, u"#Shared.Anyone.Anything", kImapInvalidInput},
      {unsub, u"Never subscribed", kImapOk},
      {unsub, u"INBOX.SENT", kImapOk},
      {is, u"INBOX.Sent", kImapNotSubscribed},
      {is, u"", kImapInvalidInput},
  };
  for (const auto& [op, name, code] : steps) {
    EXPECT_EQ((store_.*op)(name, user), code) << ConvertFromUnicode(name);
  }
  EXPECT_EQ(Count("NS_IMAPSUBSCRIPTION", Q("USR_USERID = ?", {user})), 2);
}

// SetFlags touches only the columns it is asked to; CopyMessage links the message into another
// folder with the next UID there, its flags and its internal date.
TEST_F(ImapMailStorageTest, FlagsDatesAndCopies) {
  const int64_t user = MakeUser(UserBase(6), "Flagger");
  const LinkResult link =
      Add("<flags-1@unit>", u"Flags", user, kFlagRecent | kFlagSeen | kFlagFlagged);
  ASSERT_EQ(link.uid, 1u);
  const auto flags = [&](const char* answered_flagged_deleted_seen_draft_recent) {
    return Count("NS_IMAPMSGINFOLDER",
                 Q("MIF_IMAPMSGINFOLDERID = ? AND CONCAT(MIF_ANSWERED, MIF_FLAGGED, MIF_DELETED, "
                   "MIF_SEEN, MIF_DRAFT, MIF_RECENT) = '",
                   {link.link_id}) +
                     answered_flagged_deleted_seen_draft_recent + "'");
  };
  EXPECT_EQ(flags("010101"), 1);
  EXPECT_EQ(store_.SetFlags(link.link_id, kFlagFlagged, false, false, false, false, true), kImapOk);
  EXPECT_EQ(flags("010001"), 1);
  EXPECT_EQ(store_.SetFlags(link.link_id, kFlagAnswered | kFlagDeleted | kFlagDraft, true, true,
                            true, true, false),
            kImapOk);
  EXPECT_EQ(flags("101011"), 1);
  EXPECT_EQ(store_.SetFlags(987654321, 0, true, false, false, false, false), kImapMailNotFound);

  KAVRO::NTime date;
  ASSERT_TRUE(date.ParseMailDate("Sat, 1 Jan 2000 10:20:30 +0000"));
  EXPECT_EQ(store_.SetInternalDate(link.link_id, date), kImapOk);
  EXPECT_EQ(store_.SetInternalDate(987654321, date), kImapMailNotFound);

  Add("<flags-2@unit>", u"Target", user);
  EXPECT_EQ(store_.CopyMessage(link.link_id, u"Target", user, user), kImapOk);
  const std::string copies =
      Q("IMF_IMAPFOLDERID <> ? AND IMM_IMAPMESSAGEID IN (SELECT IMM_IMAPMESSAGEID "
        "FROM NS_IMAPMSGINFOLDER WHERE MIF_IMAPMSGINFOLDERID = ?)",
        {link.folder_id, link.link_id});
  EXPECT_EQ(Count("NS_IMAPMSGINFOLDER", copies), 1);
  EXPECT_EQ(Count("NS_IMAPMSGINFOLDER", copies + " AND MIF_UID = 2 AND MIF_INTERNALDATE = "
                                                 "'2000-01-01 10:20:30' AND CONCAT(MIF_ANSWERED, "
                                                 "MIF_DELETED, MIF_DRAFT, MIF_RECENT) = '1111'"),
            1);
  EXPECT_EQ(store_.CopyMessage(link.link_id, u"Nowhere", user, user), kImapFolderNotFound);
  // On the base tables the copy carries the link's mail recipient as well.
  Exec(Q("UPDATE NS_IMAPMSGINFOLDER SET MRP_MAILRECIPIENTID = 4711 WHERE MIF_IMAPMSGINFOLDERID = ?",
         {link.link_id}));
  store_.SetUseViews(false);
  EXPECT_EQ(store_.CopyMessage(link.link_id, u"Target", user, user), kImapOk);
  EXPECT_EQ(Count("NS_IMAPMSGINFOLDER", copies + " AND MRP_MAILRECIPIENTID = 4711 AND MIF_UID = 3"),
            1);
  // A message stays while another link is left; its last link takes it along.
  store_.SetUseViews(true);
  const int64_t second = Add("<flags-3@unit>", u"Target", user).link_id;
  EXPECT_EQ(store_.DeleteMessage(Add("<flags-3@unit>", u"Flags", user).link_id), kImapOk);
  EXPECT_EQ(Count("NS_IMAPMESSAGE", "IMM_MESSAGEID = '<flags-3@unit>'"), 1);
  EXPECT_EQ(store_.DeleteMessage(second), kImapOk);
  EXPECT_EQ(store_.DeleteMessage(second), kImapMailNotFound);
  EXPECT_EQ(Count("NS_IMAPMESSAGE", "IMM_MESSAGEID = '<flags-3@unit>'"), 0);
}

// The blob wrappers: the views' creator ids; a blob in use is kept (1006), none on base tables.
TEST_F(ImapMailStorageTest, BlobWrappers) {
  const std::string bytes = "blob wrapper bytes\r\n";
  MessageReference blob;
  ASSERT_EQ(CreateBlob(bytes.data(), static_cast<uint32_t>(bytes.size()), &blob, true), 0);
  const int64_t id = blob.file_storage_id;
  const std::string live = Q("FIS_DELETED IS NULL AND FIS_FILESTORAGEID = ?", {id});
  EXPECT_EQ(Count("NS_FILESTORAGE", live + " AND FIS_CREATEDBY = 11 AND FIT_FILETYPEID = 11"), 1);
  KAVRO::MMFile mapping;
  ASSERT_EQ(GetBlob(id, true, &mapping), 0);
  EXPECT_EQ(mapping.Bytes(), bytes);
  mapping.Close();

  EXPECT_EQ(DeleteBlob(false, id), kImapOk);
  EXPECT_EQ(Count("NS_FILESTORAGE", live), 1);
  Exec(
      Q("INSERT INTO NS_IMAPMESSAGE (IMM_IMAPMESSAGEID, FIS_FILESTORAGEID) SELECT "
        "nextval('NS_IMAPMESSAGE_SEQ'), ?",
        {id}));
  EXPECT_EQ(DeleteBlob(true, id), kImapMailAlreadyExists);
  EXPECT_EQ(Count("NS_FILESTORAGE", live), 1);
  Exec(Q("DELETE FROM NS_IMAPMESSAGE WHERE FIS_FILESTORAGEID = ?", {id}));
  EXPECT_EQ(DeleteBlob(true, id), kImapOk);
  EXPECT_EQ(Count("NS_FILESTORAGE", live), 0);
  EXPECT_NE(GetBlob(id, true, &mapping), 0);
}

// InsertMessage stores a mail once: the same Message-ID and size find the stored copy (another size
// is another mail), a copy whose blob file is gone is stored again, a given file storage id is used
// as it is.
TEST_F(ImapMailStorageTest, InsertMessageStoresOnce) {
  // A size no other test uses, so that the blob count sees only this test's.
  const auto blobs = [] { return Count("NS_FILESTORAGE", "FIS_SIZE = 1061"); };
  std::string mail = Mail("<insert-once-1@unit>");
  mail.append(1061 - mail.size(), 'x');
  const uint32_t size = static_cast<uint32_t>(mail.size());
  const int64_t blobs_before = blobs();
  MessageReference first, again, longer, by_blob, stored_again, bare, on_bare, none;
  ASSERT_EQ(store_.InsertMessage(mail.data(), size, &first, 0), kImapOk);
  EXPECT_EQ(first.imap_message_id / 1000000000, 7);
  EXPECT_EQ(blobs(), blobs_before + 1);
  // The row names the blob and has its body structure.
  EXPECT_EQ(Count("NS_IMAPBODYPART", Q("IMB_PARENTID IS NULL AND IMM_IMAPMESSAGEID = (SELECT "
                                       "IMM_IMAPMESSAGEID FROM NS_IMAPMESSAGE WHERE "
                                       "IMM_IMAPMESSAGEID = ? AND FIS_FILESTORAGEID = ?)",
                                       {first.imap_message_id, first.file_storage_id})),
            1);

  ASSERT_EQ(store_.InsertMessage(mail.data(), size, &again, 0), kImapOk);
  EXPECT_EQ(again.imap_message_id, first.imap_message_id);
  EXPECT_EQ(again.file_storage_id, first.file_storage_id);
  EXPECT_EQ(blobs(), blobs_before + 1);
  ASSERT_EQ(store_.InsertMessage((mail + "y").data(), size + 1, &longer, 0), kImapOk);
  EXPECT_NE(longer.imap_message_id, first.imap_message_id);
  ASSERT_EQ(store_.InsertMessage(mail.data(), size, &by_blob, first.file_storage_id), kImapOk);
  EXPECT_EQ(by_blob.imap_message_id, first.imap_message_id);
  // The stored copy's file is gone: the mail is new again, with a new blob.
  std::string path;
  ASSERT_EQ(BlobUtils(true).GetBlobFileName(first.file_storage_id, &path), 0);
  ASSERT_TRUE(KAVRO::DeleteFile(path));
  ASSERT_EQ(store_.InsertMessage(mail.data(), size, &stored_again, 0), kImapOk);
  EXPECT_NE(stored_again.imap_message_id, first.imap_message_id);
  EXPECT_NE(stored_again.file_storage_id, first.file_storage_id);
  EXPECT_EQ(blobs(), blobs_before + 2);
  // A blob without a message row: the new row uses it, no blob is written.
  ASSERT_EQ(CreateBlob(mail.data(), size, &bare, true), kImapOk);
  ASSERT_EQ(store_.InsertMessage(mail.data(), size, &on_bare, bare.file_storage_id), kImapOk);
  EXPECT_EQ(on_bare.file_storage_id, bare.file_storage_id);
  EXPECT_NE(on_bare.imap_message_id, stored_again.imap_message_id);
  EXPECT_EQ(blobs(), blobs_before + 3);

  EXPECT_EQ(store_.InsertMessage(mail.data(), 0, &none, 0), kImapInvalidInput);
  EXPECT_EQ(store_.InsertMessage(nullptr, size, &none, 0), kImapInvalidInput);
}

// The body-part rows (views and base tables) point into the blob file: each body starts after the
// empty line, each part ends at the next delimiter, an encapsulated message with the part that
// holds it; each row has its part's type, charset and encoding codes.
TEST_F(ImapMailStorageTest, BodyPartOffsetsPointIntoTheStoredBlob) {
  for (const bool views : {true, false}) {
    SCOPED_TRACE(views ? "views" : "tables");
    store_.SetUseViews(views);
    const std::string mail =
        "From: a@x.invalid\r\nMessage-ID: <offsets-" + to_string(views) +
        "@unit>\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"outer\"\r\n\r\npreamble\r\n"
        "--outer\r\nContent-Type: text/plain; charset=utf-8\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n\r\nfirst body\r\n"
        "--outer\r\nContent-Type: message/rfc822\r\n\r\n"
        "Subject: inner\r\nContent-Type: multipart/alternative; boundary=\"inner\"\r\n\r\n"
        "--inner\r\nContent-Type: text/html\r\n\r\n<p>inner</p>\r\n--inner--\r\n"
        "\r\n--outer--\r\n";
    MessageReference stored;
    ASSERT_EQ(store_.InsertMessage(mail.data(), static_cast<uint32_t>(mail.size()), &stored, 0),
              kImapOk);
    KAVRO::MMFile blob;
    ASSERT_EQ(BlobUtils(views).GetBlobMapping(stored.file_storage_id, &blob), 0);
    const std::string bytes(blob.Bytes());
    ASSERT_EQ(bytes, mail);
    const auto at = [&](const char* text) { return static_cast<int64_t>(bytes.find(text)); };
    const int64_t end = static_cast<int64_t>(bytes.size());
    // In write order: {parent row, part number, header, body, end, type, charset, encoding}
    const std::vector<std::vector<int64_t>> expected = {
        {-1, 0, 0, at("preamble"), end, 5, 20, 99},
        {0, 1, at("Content-Type: text/plain"), at("first body"), at("--outer\r\nContent-Type: m"),
         0, 0, 3},
        {0, 2, at("Content-Type: message"), at("Subject: inner"), at("--outer--"), 6, 20, 99},
        {2, 0, at("Subject: inner"), at("--inner\r\n"), at("--outer--"), 5, 20, 99},
        {3, 1, at("Content-Type: text/html"), at("<p>inner"), at("--inner--"), 0, 20, 99},
    };
    DBTable<NV_IMAPBODYPART> rows;
    const std::string message = Q("IMM_IMAPMESSAGEID = ?", {stored.imap_message_id});
    ASSERT_TRUE(rows.Select(message, "IMB_IMAPBODYPARTID"));
    std::vector<int64_t> ids;
    std::vector<std::vector<int64_t>> seen;
    while (rows.Fetch()) {
      ids.push_back(IdOf(rows.IMB_IMAPBODYPARTID));
      const auto parent = std::find(ids.begin(), ids.end(), IdOf(rows.IMB_PARENTID));
      seen.push_back({parent == ids.end() ? -1 : parent - ids.begin(), rows.IMB_BODYNO,
                      static_cast<int32_t>(rows.IMB_HDRSTART),
                      static_cast<int32_t>(rows.IMB_BODYSTART),
                      static_cast<int32_t>(rows.IMB_BODYEND), rows.IMB_MIMEBASIC, rows.IMB_CHARSET,
                      rows.IMB_ENCODING});
      const int64_t body = seen.back()[3];
      EXPECT_EQ(body >= 4 ? bytes.substr(static_cast<size_t>(body) - 4, 4) : "", "\r\n\r\n");
    }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(
        Count("NS_IMAPBODYPART", message + " AND IMB_PARENTID IS NULL AND IMB_BODYNO IS NULL"), 1);
  }
}

// From a stored blob the message row uses that blob and the link the mail recipient. Without the
// create flag a missing folder is 1014 (the message row stays).
TEST_F(ImapMailStorageTest, AddFromAStoredBlobAndWithoutCreating) {
  const int64_t user = MakeUser(UserBase(8), "Blob Adder");
  const std::string mail = Mail("<from-blob-1@unit>");
  MessageReference blob;
  ASSERT_EQ(CreateBlob(mail.data(), static_cast<uint32_t>(mail.size()), &blob, true), 0);
  EXPECT_EQ(AddBlob(blob.file_storage_id, 4712, u"FromBlob", true, user), kImapOk)
      << store_.GetLastExceptionText();
  EXPECT_EQ(AddBlob(blob.file_storage_id, 0, u"frOMbLOB", false, user), kImapOk);
  EXPECT_EQ(Count("NS_IMAPMESSAGE", "IMM_MESSAGEID = '<from-blob-1@unit>'"), 1);
  const std::string links =
      Q("IMF_IMAPFOLDERID = ? AND IMM_IMAPMESSAGEID IN (SELECT IMM_IMAPMESSAGEID FROM "
        "NS_IMAPMESSAGE WHERE IMM_MESSAGEID = '<from-blob-1@unit>' AND FIS_FILESTORAGEID = ?)",
        {FolderId(u"FromBlob", user), blob.file_storage_id});
  EXPECT_EQ(Count("NS_IMAPMSGINFOLDER", links + " AND (MIF_UID, MRP_MAILRECIPIENTID) = (1, 4712)"),
            1);
  EXPECT_EQ(Count("NS_IMAPMSGINFOLDER", links + " AND MIF_UID = 2 AND MRP_MAILRECIPIENTID IS NULL"),
            1);
  EXPECT_EQ(Count("NS_IMAPSUBSCRIPTION", Q("USR_USERID = ?", {user})), 1);

  EXPECT_EQ(AddBlob(blob.file_storage_id, 0, u"Missing", false, user), kImapFolderNotFound);
  const std::string other = Mail("<from-blob-2@unit>");
  EXPECT_EQ(store_.AddMessageToFolder(other.data(), static_cast<uint32_t>(other.size()), u"Missing",
                                      false, user, user, kFlagRecent, KAVRO::NTime(), 0, 0),
            kImapFolderNotFound);
  EXPECT_EQ(Count("NS_IMAPMESSAGE", "IMM_MESSAGEID = '<from-blob-2@unit>'"), 1);
  EXPECT_EQ(Count("NS_IMAPFOLDER", Q("USR_USERID = ?", {user})), 1);
  EXPECT_EQ(AddBlob(987654321987, 0, u"FromBlob", true, user), kBlobNoSuchRecord);
}

// A mail given by path is stored with exactly the file's bytes, read or mapped; an empty, missing,
// shrinking or unreadable file is refused as no bytes at all are.
TEST_F(ImapMailStorageTest, AddByPathStoresTheFileBytesAtAnySize) {
  const int64_t user = MakeUser(UserBase(16), "Path Adder");
  char dir_template[] = "/tmp/imap-path-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  const auto write = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
    return dir + "/" + name;
  };
  for (const size_t size : {size_t{900}, (size_t{1} << 20) - 1, (size_t{1} << 20) + 4097}) {
    const std::string id = "<by-path-" + to_string(size) + "@unit>";
    std::string mail = Mail(id);
    for (size_t i = 0; mail.size() < size; ++i) mail += static_cast<char>('a' + i % 26);
    ASSERT_EQ(AddPath(write(to_string(size), mail), user), kImapOk)
        << size << ": " << store_.GetLastExceptionText();
    // The same bytes again find the stored message: same Message-ID, same size.
    MessageReference stored;
    ASSERT_EQ(store_.InsertMessage(mail.data(), static_cast<uint32_t>(mail.size()), &stored, 0),
              kImapOk);
    EXPECT_EQ(Count("NS_IMAPMESSAGE", "IMM_MESSAGEID = '" + id + "'"), 1) << size;
    std::string blob_path;
    ASSERT_EQ(BlobUtils(true).GetBlobFileName(stored.file_storage_id, &blob_path), 0);
    KAVRO::MMFile blob;
    ASSERT_TRUE(blob.Open(blob_path)) << blob_path;
    EXPECT_TRUE(blob.Bytes() == mail) << size << ": " << blob.Size() << " bytes stored";
  }
  const int32_t no_bytes = store_.AddMessageToFolder(nullptr, 0, u"ByPath", true, user, user,
                                                     kFlagRecent, KAVRO::NTime(), 0, 0);
  EXPECT_NE(no_bytes, kImapOk);
  for (const std::string& path : {write("empty", ""), dir + "/missing", dir}) {
    EXPECT_EQ(AddPath(path, user), no_bytes) << path;
  }
  // A file cut to half after its size was taken, and a read that fails after the first piece: no
  // part of the mail is stored.
  static bool cut;
  const auto reader = [](int fd, void* data, size_t len, off_t offset) -> ssize_t {
    if (offset == 0) {
      if (cut && ftruncate(fd, 600) != 0) return -1;
      return ::pread(fd, data, std::min<size_t>(len, 500), offset);
    }
    if (cut) return ::pread(fd, data, len, offset);
    errno = EIO;
    return -1;
  };
  for (const bool c : {true, false}) {
    cut = c;
    const std::string id = c ? "<cut-short@unit>" : "<read-error@unit>";
    const std::string path = write(c ? "cut" : "error", Mail(id) + std::string(900, 'b'));
    const KAVRO::PreadFunction old = KAVRO::SetPreadFunctionForTesting(reader);
    EXPECT_EQ(AddPath(path, user), no_bytes) << id;
    KAVRO::SetPreadFunctionForTesting(old);
    EXPECT_EQ(Count("NS_IMAPMESSAGE", "IMM_MESSAGEID = '" + id + "'"), 0) << id;
  }
  std::filesystem::remove_all(dir);
}

// FindMessage finds a mail only once it is linked. LinkMessagesToFolder links every request or
// none: a refused (1023) or failed (1001) request takes back the earlier links.
TEST_F(ImapMailStorageTest, LinkMessagesToFolderIsAllOrNothing) {
  const int64_t user = MakeUser(UserBase(9), "Linker");
  const std::string mail = Mail("<link-1@unit>");
  const uint32_t size = static_cast<uint32_t>(mail.size());
  MessageReference stored, message;
  ASSERT_EQ(store_.InsertMessage(mail.data(), size, &stored, 0), kImapOk);
  EXPECT_EQ(store_.FindMessage("<link-1@unit>", size, &message), kImapMailNotFound);
  Add("<link-1@unit>", u"Links", user);
  const std::string in_folder = Q("IMF_IMAPFOLDERID = ?", {FolderId(u"Links", user)});
  ASSERT_EQ(store_.FindMessage("<link-1@unit>", size, &message), kImapOk);
  EXPECT_EQ(message.imap_message_id, stored.imap_message_id);
  EXPECT_EQ(message.file_storage_id, stored.file_storage_id);

  for (const auto& [bad_message, code] :
       {std::pair<int64_t, int32_t>{0, kImapInvalidInput}, {987654321987, kImapOracleError}}) {
    SCOPED_TRACE(code);
    LinkRequestSet requests(3);
    for (LinkRequest& request : requests) request.message = message;
    requests[1].message.imap_message_id = bad_message;
    EXPECT_EQ(store_.LinkMessagesToFolder(&requests, u"Links", user, user), code);
    ASSERT_NE(requests[0].result.link_id, 0);  // linked, then taken back
    EXPECT_EQ(
        Count("NS_IMAPMSGINFOLDER", Q("MIF_IMAPMSGINFOLDERID = ?", {requests[0].result.link_id})),
        0);
    EXPECT_EQ(requests[2].result.link_id, 0);  // never tried
    EXPECT_EQ(Count("NS_IMAPMSGINFOLDER", in_folder), 1);
  }
  LinkRequestSet requests(2);
  for (LinkRequest& request : requests) request.message = message;
  requests[1].flags = kFlagSeen;
  ASSERT_EQ(store_.LinkMessagesToFolder(&requests, u"Links", user, user), kImapOk)
      << store_.GetLastExceptionText();
  EXPECT_LT(requests[0].result.uid, requests[1].result.uid);
  EXPECT_EQ(Count("NS_IMAPMSGINFOLDER", in_folder), 3);
  EXPECT_EQ(Count("NS_IMAPMSGINFOLDER", in_folder + " AND MIF_SEEN = 1"), 1);

  Create(u"Closed", user);
  Create(u"ReadOnly", user);
  Exec(
      Q("UPDATE NS_IMAPFOLDER SET IMF_NOSELECT = 1 WHERE IMF_IMAPFOLDERID = ?; UPDATE "
        "NS_IMAPFOLDERACCESS SET IFA_AR_INSERT = 0 WHERE IMF_IMAPFOLDERID = ?",
        {FolderId(u"Closed", user), FolderId(u"ReadOnly", user)}));
  const std::tuple<std::u16string, int64_t, int32_t> refusals[] = {
      {u"", user, kImapInvalidInput},
      {u"Links", 0, kImapInvalidInput},
      {u"Nowhere", user, kImapFolderNotFound},
      {u"ReadOnly", user, kImapAccessDenied},
      {u"Closed", user, kImapFolderNotSelectable},
  };
  for (const auto& [name, who, code] : refusals) {
    EXPECT_EQ(store_.LinkMessagesToFolder(&requests, name, who, user), code)
        << ConvertFromUnicode(name);
  }
  EXPECT_EQ(Count("NS_IMAPMSGINFOLDER", Q("IMM_IMAPMESSAGEID = ?", {message.imap_message_id})), 3);
}

// A failed grant takes the new folder's row back with it; the ancestor stays.
TEST_F(ImapMailStorageTest, CreateFolderTakesItsRowBackWhenTheGrantFails) {
  const int64_t user = MakeUser(UserBase(10), "Refused Grant");
  Exec(
      "CREATE OR REPLACE FUNCTION unit_refuse_grant() RETURNS trigger LANGUAGE plpgsql AS $$ "
      "BEGIN IF EXISTS (SELECT 1 FROM NS_IMAPFOLDER WHERE IMF_IMAPFOLDERID = NEW.IMF_IMAPFOLDERID "
      "AND IMF_FOLDERNAME = 'Refused') THEN RAISE EXCEPTION 'grant refused'; END IF; "
      "RETURN NEW; END $$; CREATE TRIGGER unit_refuse_grant BEFORE INSERT ON "
      "NS_IMAPFOLDERACCESS FOR EACH ROW EXECUTE FUNCTION unit_refuse_grant()");
  ImapFolder folder;
  const int32_t refused = store_.CreateImapFolder(u"Kept.Refused", user, user, &folder);
  const int32_t next = store_.CreateImapFolder(u"Kept.Accepted", user, user, &folder);
  Exec("DROP TRIGGER unit_refuse_grant ON NS_IMAPFOLDERACCESS; DROP FUNCTION unit_refuse_grant()");
  EXPECT_EQ(refused, kImapOracleError);
  EXPECT_EQ(next, kImapOk);
  EXPECT_EQ(List(user, user), (Names{u"Kept", u"Kept.Accepted"}));
  EXPECT_EQ(Count("NS_IMAPFOLDER", "IMF_FOLDERNAME = 'Refused'"), 0);
  EXPECT_EQ(Count("NS_IMAPFOLDERACCESS", Q("USR_USERID = ?", {user})), 2);
}

}  // namespace
}  // namespace Nauvik::IMAP
