// ImapMailStorage on the private store. Each test owns the user ids 7300n00 to 7300n99.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "blob/BlobUtils.h"
#include "content/Charsets.h"
#include "db/ConnectionManager.h"
#include "db/DBTable.h"
#include "db/Dialect.h"
#include "db/Rows.h"
#include "foundation/ResultCodes.h"
#include "imap/ImapConditions.h"
#include "imap/ImapMailStorage.h"

namespace Nauvik::IMAP {
namespace {

using std::to_string;

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
  Exec(
      Q("INSERT INTO NS_COMPANY VALUES (?, 'c') ON CONFLICT DO NOTHING; INSERT INTO NS_USER "
        "(USR_USERID, COM_COMPANYID, USR_ROWSTATUS, USR_NAME) VALUES (?, ?, 0, '" +
            name + "')",
        {company ? company : id, id, company ? company : id}));
  return id;
}

std::string Mail(const std::string& message_id) {
  return "From: a@x.invalid\r\nSubject: unit\r\nMessage-ID: " + message_id + "\r\n\r\nBody\r\n";
}

class ImapMailStorageTest : public ::testing::Test {
 protected:
  void TearDown() override { CloseThreadDatabases(); }

  ImapFolder Create(const std::u16string& name, int64_t user) {
    ImapFolder folder;
    EXPECT_EQ(store_.CreateImapFolder(name, user, user, &folder), kImapOk);
    return folder;
  }
  // The full names of the folders the user sees, or of those below `parent`, sorted and joined.
  std::string List(int64_t user, int64_t company, const std::u16string& parent = u"") {
    ImapFolderList list;
    EXPECT_EQ(parent.empty() ? store_.GetAllFoldersForUser(user, company, &list)
                             : store_.GetAllSubfoldersForUser(user, company, parent, &list),
              kImapOk);
    std::vector<std::string> names;
    for (const auto& [id, folder] : list) names.push_back(ConvertFromUnicode(folder.full_name));
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const std::string& name : names) joined += (joined.empty() ? "" : ", ") + name;
    return joined;
  }
  // The links in the user's folders, in folder and UID order: folder, UID, Message-ID, answered
  // flagged deleted seen draft recent, internal date, mail recipient.
  std::string Links(int64_t user) {
    ImapFolderList folders;
    EXPECT_EQ(store_.GetAllFoldersForUser(user, user, &folders), kImapOk);
    std::string links;
    for (const auto& [id, folder] : folders) {
      DBTable<INFO_IMAPMESSAGE> link;
      link.UseViews(false);
      EXPECT_TRUE(link.Select(Q("IMF_IMAPFOLDERID = ?", {id}), "MIF_UID"));
      while (link.Fetch()) {
        links += ConvertFromUnicode(folder.full_name) + " " + to_string(link.MIF_UID) + " " +
                 link.IMM_MESSAGEID + " ";
        for (const int16_t flag : {link.MIF_ANSWERED, link.MIF_FLAGGED, link.MIF_DELETED,
                                   link.MIF_SEEN, link.MIF_DRAFT, link.MIF_RECENT}) {
          links += to_string(flag);
        }
        links += " " + std::string(link.MIF_INTERNALDATE) + (*link.MRP_MAILRECIPIENTID ? " " : "") +
                 link.MRP_MAILRECIPIENTID + "\n";
      }
    }
    return links;
  }
  MessageReference Insert(const std::string& mail, int64_t blob = 0) {
    MessageReference stored;
    EXPECT_EQ(store_.InsertMessage(mail.data(), static_cast<uint32_t>(mail.size()), &stored, blob),
              kImapOk);
    return stored;
  }
  int32_t AddPath(const std::string& path, int64_t user) {
    return store_.AddMessageToFolder(path, u"ByPath", true, user, user, kFlagRecent,
                                     KAVRO::NTime());
  }
  ImapMailStorage store_;
};

// Other users' folders appear under "#Shared.<owner name> (<id>)" when a lookup grant names the
// user, a group of the user or the company; dots in the name become "_".
TEST_F(ImapMailStorageTest, SharedNamespaceAndBrokenHierarchies) {
  const int64_t owner = MakeUser(7300200, "J. Smith");
  const int64_t reader = MakeUser(7300201, "Reader");
  const int64_t colleague = MakeUser(7300202, "Colleague", reader);
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
  // "jects" is shared without its parent: it starts its own tree.
  EXPECT_EQ(List(reader, reader),
            "#Shared.J_ Smith (7300200).Sent, #Shared.J_ Smith (7300200).jects");
  // With the inbox and "Pro" shared to the whole company, the full path shows.
  Grant(who, Q("IMF_IMAPFOLDERID, NULL, NULL, ?, 1 FROM NS_IMAPFOLDER WHERE USR_USERID = ? AND "
               "(IMF_INBOX = 1 OR IMF_FOLDERNAME = 'Pro')",
               {reader, owner}));
  EXPECT_EQ(List(reader, reader),
            "#Shared.J_ Smith (7300200).INBOX, #Shared.J_ Smith (7300200).INBOX.Pro, "
            "#Shared.J_ Smith (7300200).INBOX.Pro.jects, #Shared.J_ Smith (7300200).Sent");
  ImapFolder found;
  EXPECT_EQ(store_.GetImapFolder(u"#shared.j_ smith (7300200).inbox.pro", reader, reader, &found),
            kImapOk);
  EXPECT_EQ(found.owner, owner);
  // A company grant reaches every user of the company; a group grant only the members; base tables
  // list no shared folders at all.
  EXPECT_EQ(List(colleague, reader),
            "#Shared.J_ Smith (7300200).INBOX, #Shared.J_ Smith (7300200).INBOX.Pro");

  // Folders naming each other as parent are listed marked, not selectable; a parent of another
  // user fails the listing.
  const int64_t user = MakeUser(7300203, "Loops");
  const int64_t a = Create(u"A", user).folder_id, b = Create(u"B", user).folder_id;
  const char* set_parent =
      "UPDATE NS_IMAPFOLDER SET IMF_IMAPFOLDERID_PARENT = ? WHERE IMF_IMAPFOLDERID = ?";
  Exec(Q(set_parent, {b, a}));
  Exec(Q(set_parent, {a, b}));
  EXPECT_EQ(List(user, user),
            "[Error: Looping folders detected]-A.B, [Error: Looping folders detected]-B.A");
  EXPECT_EQ(store_.GetImapFolder(u"[Error: Looping folders detected]-B.A", user, user, &found),
            kImapFolderNotSelectable);
  Exec(Q(set_parent, {sent.folder_id, Create(u"Child", user).folder_id}));
  ImapFolderList list;
  EXPECT_EQ(store_.GetAllFoldersForUser(user, user, &list), kImapFolderParentNotFound);
  store_.SetUseViews(false);
  EXPECT_EQ(List(reader, reader), "");
}

// One user's folders, links and subscriptions, step by step, then the whole state. Folder ids
// carry the vessel id; only "inbox" at the top is the inbox. Rename and delete need the delete
// right, delete the delete-message right too; a refused delete changes nothing. No folder moves
// below another user's. A failed grant takes the new folder's row back; the ancestor stays.
TEST_F(ImapMailStorageTest, FoldersLinksAndSubscriptionsStepByStep) {
  const int64_t user = MakeUser(7300100, "Walker");
  const int64_t neighbour = MakeUser(7300101, "Neighbour");
  Grant("IMF_IMAPFOLDERID, USR_USERID, IFA_AR_LOOKUP, IFA_AR_INSERT, IFA_AR_CREATE",
        Q("?, ?, 1, 1, 1", {Create(u"Theirs", neighbour).folder_id, user}));
  EXPECT_EQ(Create(u"inbox.a.b", user).folder_id / 1000000000, 7);
  for (const char16_t* name :
       {u"Work.Old", u"Work2", u"Kept.Leaf", u"Box.Leaf", u"Closed", u"ReadOnly", u"Links"}) {
    Create(name, user);
  }
  EXPECT_EQ(List(user, user, u"work"), "Work.Old, Work2");
  // Kept without the delete right, Box and the leaves without the delete-message right, ReadOnly
  // without the insert right; Closed not selectable.
  Exec(
      Q("UPDATE NS_IMAPFOLDERACCESS A SET IFA_AR_DELETE_MBOX = (IMF_FOLDERNAME <> 'Kept')::int, "
        "IFA_AR_DELETE_MESSAGE = (IMF_FOLDERNAME NOT IN ('Box', 'Leaf'))::int, IFA_AR_INSERT = "
        "(IMF_FOLDERNAME <> 'ReadOnly')::int FROM NS_IMAPFOLDER F WHERE F.IMF_IMAPFOLDERID = "
        "A.IMF_IMAPFOLDERID AND F.USR_USERID = ?; UPDATE NS_IMAPFOLDER SET IMF_NOSELECT = 1 "
        "WHERE IMF_FOLDERNAME = 'Closed' AND USR_USERID = ?",
        {user, user}));
  Exec(
      "CREATE FUNCTION unit_refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN IF (SELECT "
      "IMF_FOLDERNAME FROM NS_IMAPFOLDER WHERE IMF_IMAPFOLDERID = NEW.IMF_IMAPFOLDERID) = "
      "'Refused' THEN RAISE EXCEPTION 'refused'; END IF; RETURN NEW; END $$; CREATE TRIGGER "
      "unit_refuse BEFORE INSERT ON NS_IMAPFOLDERACCESS FOR EACH ROW EXECUTE FUNCTION "
      "unit_refuse()");
  KAVRO::NTime added, changed;
  ASSERT_TRUE(added.ParseMailDate("Sat, 1 Jan 2000 10:20:30 +0000"));
  ASSERT_TRUE(changed.ParseMailDate("Mon, 1 Jan 2001 11:22:33 +0000"));
  LinkRequest request;
  request.internal_date = added;

  // A step: operation (capital: without the caller's id), folder, second folder or Message-ID.
  std::map<std::u16string, LinkResult> links;  // by Message-ID, the last link made
  const auto run = [&](char op, const std::u16string& name, const std::u16string& arg) {
    const int64_t who = std::isupper(op) ? 0 : user;
    const std::string mail = Mail(ConvertFromUnicode(arg));
    ImapFolder folder;
    LinkRequestSet requests(2, request);
    requests[1].flags = kFlagSeen;
    switch (std::tolower(op)) {
      case 'c':
        return store_.CreateImapFolder(name, user, who, &folder);
      case 'r':
        return store_.RenameImapFolder(name, arg, user, user);
      case 'd':
        return store_.DeleteImapFolder(name, who, user);
      case 'a':  // a new mail; 'n' without creating the folder
      case 'n':
        return store_.AddMessageToFolder(
            mail.data(), static_cast<uint32_t>(mail.size()), name, op == 'a', user, user,
            kFlagRecent | kFlagSeen | kFlagFlagged, added, &links[arg], 0, 0);
      case 'k':
        return store_.CopyMessage(links[arg].link_id, name, user, user);
      case 'x':
        return store_.DeleteMessage(links[arg].link_id);
      case 'l':
        return store_.LinkMessagesToFolder(&requests, name, who, user);
      case 's':
        return store_.SubscribeUserToFolder(name, user);
      case 'u':
        return store_.UnsubscribeUserFromFolder(name, user);
      default:
        return store_.IsUserSubscribedToFolder(name, user);
    }
  };

  // SetFlags touches only the columns it is asked to.
  ASSERT_EQ(run('a', u"Flags", u"<flags@unit>"), kImapOk);
  const int64_t flagged = links[u"<flags@unit>"].link_id;
  EXPECT_EQ(store_.SetFlags(flagged, kFlagFlagged, false, false, false, false, true), kImapOk);
  EXPECT_EQ(store_.SetFlags(flagged, kFlagAnswered | kFlagDeleted | kFlagDraft, true, true, true,
                            true, false),
            kImapOk);
  EXPECT_EQ(store_.SetFlags(987654321, 0, true, false, false, false, false), kImapMailNotFound);
  EXPECT_EQ(store_.SetInternalDate(flagged, changed), kImapOk);
  EXPECT_EQ(store_.SetInternalDate(987654321, changed), kImapMailNotFound);
  Exec(Q("UPDATE NS_IMAPMSGINFOLDER SET MRP_MAILRECIPIENTID = 4711 WHERE MIF_IMAPMSGINFOLDERID = ?",
         {flagged}));

  // FindMessage finds a mail only once it is linked. LinkMessagesToFolder links every request or
  // none: a refused (1023) or failed (1001) request takes back the earlier links.
  const std::string mail = Mail("<link@unit>");
  const uint32_t size = static_cast<uint32_t>(mail.size());
  const MessageReference stored = Insert(mail);
  EXPECT_EQ(store_.FindMessage("<link@unit>", size, &request.message), kImapMailNotFound);
  ASSERT_EQ(run('a', u"Links", u"<link@unit>"), kImapOk);
  ASSERT_EQ(store_.FindMessage("<link@unit>", size, &request.message), kImapOk);
  EXPECT_EQ(request.message.imap_message_id, stored.imap_message_id);
  EXPECT_EQ(request.message.file_storage_id, stored.file_storage_id);
  ASSERT_EQ(run('a', u"Work2", u"<work2@unit>"), kImapOk);
  MessageReference work2;
  ASSERT_EQ(store_.FindMessage("<work2@unit>", Mail("<work2@unit>").size(), &work2), kImapOk);

  // From a stored blob the message row uses that blob and the link the mail recipient. The blob
  // wrappers: the views' creator ids; a blob in use is kept (1006), none on the base tables.
  MessageReference blob, loose;
  ASSERT_EQ(CreateBlob(mail.data(), size, &blob, true), 0);
  ASSERT_EQ(CreateBlob(mail.data(), size, &loose, true), 0);
  const auto add_blob = [&](int64_t id, int64_t recipient, const char16_t* folder, bool create) {
    return store_.AddMessageToFolder(id, recipient, folder, create, user, user, kFlagRecent, added);
  };
  EXPECT_EQ(add_blob(blob.file_storage_id, 4712, u"FromBlob", true), kImapOk);
  EXPECT_EQ(add_blob(blob.file_storage_id, 0, u"frOMbLOB", false), kImapOk);
  EXPECT_EQ(add_blob(blob.file_storage_id, 0, u"Missing", false), kImapFolderNotFound);
  EXPECT_EQ(add_blob(987654321987, 0, u"FromBlob", true), kBlobNoSuchRecord);
  EXPECT_EQ(DeleteBlob(true, blob.file_storage_id), kImapMailAlreadyExists);
  EXPECT_EQ(DeleteBlob(false, loose.file_storage_id), kImapOk);
  KAVRO::MMFile mapping;
  EXPECT_EQ(GetBlob(loose.file_storage_id, true, &mapping), 0);
  mapping.Close();
  EXPECT_EQ(DeleteBlob(true, loose.file_storage_id), kImapOk);
  EXPECT_NE(GetBlob(loose.file_storage_id, true, &mapping), 0);

  const std::tuple<char, std::u16string, std::u16string, int32_t> steps[] = {
      {'c', u"Inbox.a.inbox", u"", kImapOk},
      {'c', u"INBOX.A.B", u"", kImapFolderAlreadyExists},
      {'c', u"", u"", kImapInvalidInput},
      {'C', u"x", u"", kImapInvalidInput},
      {'c', u"Refusal.Refused", u"", kImapOracleError},
      {'c', u"Refusal.Accepted", u"", kImapOk},
      {'r', u"Work", u"work.Below", kImapFolderParentNotFound},
      {'r', u"Work", u"Work2", kImapFolderAlreadyExists},
      {'r', u"Missing", u"Elsewhere", kImapFolderNotFound},
      {'r', u"Work.Old", u"Archive.2020.Old", kImapOk},
      {'r', u"Archive.2020.Old", u"Old", kImapOk},
      {'a', u"Kept", u"<kept@unit>", kImapOk},
      {'a', u"Kept.Leaf", u"<leaf@unit>", kImapOk},
      {'r', u"Kept", u"Moved", kImapAccessDenied},
      {'d', u"Kept", u"", kImapAccessDenied},
      {'d', u"Kept.Leaf", u"", kImapAccessDenied},
      {'d', u"Box", u"", kImapAccessDenied},
      {'d', u"", u"", kImapInvalidInput},
      {'D', u"Kept.Leaf", u"", kImapInvalidInput},
      {'r', u"Kept.Leaf", u"#Shared.Neighbour (7300101).Theirs.Leaf",
       kImapCannotCreateInOthersFolder},
      // A folder with subfolders stays as a non-selectable container without links; a leaf goes
      // with its sequence, its links, and the message with its blob when no other link is left.
      {'a', u"Archive", u"<archive@unit>", kImapOk},
      {'d', u"Archive", u"", kImapOk},
      {'d', u"Archive", u"", kImapFolderNotSelectable},
      {'d', u"Work2", u"", kImapOk},
      {'d', u"Work2", u"", kImapFolderNotFound},
      {'n', u"Missing", u"<unfiled@unit>", kImapFolderNotFound},
      // A copy takes the next UID, the flags and the internal date (on the base tables, below,
      // also the mail recipient). A message stays while another link is left.
      {'a', u"Target", u"<target@unit>", kImapOk},
      {'k', u"Target", u"<flags@unit>", kImapOk},
      {'k', u"Nowhere", u"<flags@unit>", kImapFolderNotFound},
      {'a', u"Target", u"<twice@unit>", kImapOk},
      {'a', u"Flags", u"<twice@unit>", kImapOk},
      {'x', u"", u"<twice@unit>", kImapOk},
      {'x', u"", u"<twice@unit>", kImapMailNotFound},
      {'l', u"Links", u"", kImapOk},
      {'l', u"", u"", kImapInvalidInput},
      {'L', u"Links", u"", kImapInvalidInput},
      {'l', u"Nowhere", u"", kImapFolderNotFound},
      {'l', u"ReadOnly", u"", kImapAccessDenied},
      {'l', u"Closed", u"", kImapFolderNotSelectable},
      {'s', u"INBOX.Sent", u"", kImapOk},
      {'s', u"inbox.sent", u"", kImapAlreadySubscribed},
      {'s', u"Bob's", u"", kImapOk},
      {'i', u"bob's", u"", kImapOk},
      {'i', u"Bob", u"", kImapNotSubscribed},
      {'s', u"C:\\mail", u"", kImapOk},
      {'i', u"c:\\MAIL", u"", kImapOk},
      {'i', u"c:mail", u"", kImapNotSubscribed},
      {'i', u"#Shared.Anyone.Anything", u"", kImapOk},
      {'u', u"#Shared.Anyone.Anything", u"", kImapInvalidInput},
      {'u', u"Never subscribed", u"", kImapOk},
      {'u', u"INBOX.SENT", u"", kImapOk},
      {'i', u"INBOX.Sent", u"", kImapNotSubscribed},
      {'i', u"", u"", kImapInvalidInput},
  };
  for (const auto& [op, name, arg, code] : steps) {
    EXPECT_EQ(run(op, name, arg), code) << op << " " << ConvertFromUnicode(name + arg);
  }
  Exec("DROP FUNCTION unit_refuse() CASCADE");
  for (const auto& [bad_message, code] :
       {std::pair<int64_t, int32_t>{0, kImapInvalidInput}, {987654321987, kImapOracleError}}) {
    LinkRequestSet requests(3, request);
    requests[1].message.imap_message_id = bad_message;
    EXPECT_EQ(store_.LinkMessagesToFolder(&requests, u"Links", user, user), code);
    EXPECT_NE(requests[0].result.link_id, 0) << code;  // linked, then taken back
    EXPECT_EQ(requests[2].result.link_id, 0) << code;  // never tried
  }
  EXPECT_EQ(
      List(user, user),
      "#Shared.Neighbour (7300101).Theirs, Archive, Archive.2020, Box, Box.Leaf, Closed, "
      "Flags, FromBlob, INBOX, INBOX.a, INBOX.a.b, INBOX.a.inbox, Kept, Kept.Leaf, Links, Old, "
      "ReadOnly, Refusal, Refusal.Accepted, Target, Work");
  store_.SetUseViews(false);
  EXPECT_EQ(run('k', u"Target", u"<flags@unit>"), kImapOk);
  EXPECT_EQ(store_.SetFlags(flagged, kFlagDraft, false, true, true, false, false), kImapOk);
  EXPECT_EQ(Links(user), R"(Kept 1 <kept@unit> 010101 2000/01/01 10:20:30
Kept.Leaf 1 <leaf@unit> 010101 2000/01/01 10:20:30
Links 1 <link@unit> 010101 2000/01/01 10:20:30
Links 2 <link@unit> 000001 2000/01/01 10:20:30
Links 3 <link@unit> 000101 2000/01/01 10:20:30
Flags 1 <flags@unit> 100011 2001/01/01 11:22:33 4711
FromBlob 1 <link@unit> 000001 2000/01/01 10:20:30 4712
FromBlob 2 <link@unit> 000001 2000/01/01 10:20:30
Target 1 <target@unit> 010101 2000/01/01 10:20:30
Target 2 <flags@unit> 101011 2001/01/01 11:22:33
Target 3 <twice@unit> 010101 2000/01/01 10:20:30
Target 4 <flags@unit> 101011 2001/01/01 11:22:33 4711
)");
  EXPECT_EQ(Count("NS_IMAPFOLDER", Q("IMF_INBOX = 1 AND USR_USERID = ?", {user})), 1);
  EXPECT_EQ(Count("NS_IMAPFOLDER", "IMF_FOLDERNAME = 'Refused'"), 0);
  // "Bob's", "C:\mail" and the three folders that adding a mail made.
  EXPECT_EQ(Count("NS_IMAPSUBSCRIPTION", Q("USR_USERID = ?", {user})), 5);
  EXPECT_EQ(Count("NS_IMAPMESSAGE", "IMM_MESSAGEID = '<unfiled@unit>'"), 1);
  EXPECT_EQ(Count("NS_IMAPMESSAGE", "IMM_MESSAGEID = '<work2@unit>'"), 0);
  EXPECT_EQ(Count("NS_FILESTORAGE", Q("FIS_DELETEDBY = 11 AND FIS_LOCATION IS NULL AND "
                                      "FIS_FILESTORAGEID = ?",
                                      {work2.file_storage_id})),
            1);
  EXPECT_EQ(Count("pg_class", Q("relkind = 'S' AND relname = 'imapfolder_?'",
                                {links[u"<work2@unit>"].folder_id})),
            0);
  EXPECT_EQ(Count("NS_IMAPMESSAGE", Q("FIS_FILESTORAGEID = ?", {blob.file_storage_id})), 1);
  EXPECT_EQ(Count("NS_FILESTORAGE",
                  Q("FIS_DELETED IS NULL AND FIS_CREATEDBY = 11 AND FIT_FILETYPEID = 11 AND "
                    "FIS_FILESTORAGEID IN (?, ?)",
                    {blob.file_storage_id, loose.file_storage_id})),
            1);
}

// InsertMessage stores a mail once: the same Message-ID and size find the stored copy (another size
// is another mail), a copy whose blob file is gone is stored again, a given file storage id is used
// as it is.
TEST_F(ImapMailStorageTest, InsertMessageStoresOnceWithItsBodyParts) {
  // A size no other test uses, so that the blob count sees only this test's.
  const auto blobs = [] { return Count("NS_FILESTORAGE", "FIS_SIZE = 1061"); };
  std::string mail = Mail("<insert-once-1@unit>");
  mail.append(1061 - mail.size(), 'x');
  const int64_t blobs_before = blobs();
  const MessageReference first = Insert(mail);
  EXPECT_EQ(first.imap_message_id / 1000000000, 7);
  EXPECT_EQ(blobs(), blobs_before + 1);

  const MessageReference again = Insert(mail);
  EXPECT_EQ(again.imap_message_id, first.imap_message_id);
  EXPECT_EQ(again.file_storage_id, first.file_storage_id);
  EXPECT_EQ(blobs(), blobs_before + 1);
  EXPECT_NE(Insert(mail + "y").imap_message_id, first.imap_message_id);
  EXPECT_EQ(Insert(mail, first.file_storage_id).imap_message_id, first.imap_message_id);
  // The stored copy's file is gone: the mail is new again, with a new blob.
  std::string path;
  ASSERT_EQ(BlobUtils(true).GetBlobFileName(first.file_storage_id, &path), 0);
  ASSERT_TRUE(KAVRO::DeleteFile(path));
  const MessageReference stored_again = Insert(mail);
  EXPECT_NE(stored_again.imap_message_id, first.imap_message_id);
  EXPECT_NE(stored_again.file_storage_id, first.file_storage_id);
  EXPECT_EQ(blobs(), blobs_before + 2);
  // A blob without a message row: the new row uses it, no blob is written.
  MessageReference bare, none;
  ASSERT_EQ(CreateBlob(mail.data(), static_cast<uint32_t>(mail.size()), &bare, true), kImapOk);
  const MessageReference on_bare = Insert(mail, bare.file_storage_id);
  EXPECT_EQ(on_bare.file_storage_id, bare.file_storage_id);
  EXPECT_NE(on_bare.imap_message_id, stored_again.imap_message_id);
  EXPECT_EQ(blobs(), blobs_before + 3);

  EXPECT_EQ(store_.InsertMessage(mail.data(), 0, &none, 0), kImapInvalidInput);
  EXPECT_EQ(store_.InsertMessage(nullptr, 1061, &none, 0), kImapInvalidInput);

  // The body-part rows (views and base tables) point into the blob file: each body starts after
  // the empty line, each part ends at the next delimiter, an encapsulated message with the part
  // that holds it; each row has its part's type, charset and encoding codes.
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
    const MessageReference stored = Insert(mail);
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

// A mail given by path is stored with exactly the file's bytes, read or mapped; an empty, missing,
// shrinking or unreadable file is refused as no bytes at all are.
TEST_F(ImapMailStorageTest, AddByPathStoresTheFileBytesAtAnySize) {
  const int64_t user = MakeUser(7301600, "Path Adder");
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
    ASSERT_EQ(AddPath(write(to_string(size), mail), user), kImapOk) << size;
    // The same bytes again find the stored message: same Message-ID, same size.
    KAVRO::MMFile blob;
    ASSERT_EQ(GetBlob(Insert(mail).file_storage_id, true, &blob), 0);
    EXPECT_EQ(Count("NS_IMAPMESSAGE", "IMM_MESSAGEID = '" + id + "'"), 1) << size;
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

// The store's WHERE texts: PostgreSQL, whose LIKE treats "\" as its escape, gets every "\" doubled
// so the pattern matches what Oracle's does. Mail text never leaves its literal.
const Dialect& Oracle() { return DialectFor(kProviderOracle); }
const Dialect& Postgres() { return DialectFor(kProviderPostgres); }

TEST(ImapConditions, MailTextStaysInsideItsLiteral) {
  // {Message-ID, Oracle literal, PostgreSQL literal}
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"<plain@x>", "'<plain@x>'", "'<plain@x>'"},
      {"", "''", "''"},
      {"<o'brien@x>", "'<o''brien@x>'", "'<o''brien@x>'"},
      {"<x' OR '1'='1@x>", "'<x'' OR ''1''=''1@x>'", "'<x'' OR ''1''=''1@x>'"},
      {"<back\\slash@x>", "'<back\\slash@x>'", "'<back\\\\slash@x>'"},
      {"<end\\'@x>", "'<end\\''@x>'", "'<end\\\\''@x>'"},
      {"<wild%_card@x>", "'<wild%_card@x>'", "'<wild%_card@x>'"},
  };
  for (const auto& [message_id, oracle, postgres] : cases) {
    for (const auto& [dialect, literal] : {std::pair{&Oracle(), oracle}, {&Postgres(), postgres}}) {
      EXPECT_EQ(ContentLookupCondition(*dialect, message_id, 4000000000u),
                "IMM_MESSAGEID LIKE " + literal +
                    " AND FIS_SIZE = 4000000000 AND FIS_DELETED IS NULL AND FIS_LOCATION IS NOT "
                    "NULL AND FSH_FILESTORAGEHOSTID IS NOT NULL");
      EXPECT_EQ(FindMessageCondition(*dialect, message_id, 17),
                "IMM_MESSAGEID LIKE " + literal + " AND FIS_SIZE = 17");
    }
  }
  EXPECT_EQ(SubscriptionCondition(Oracle(), u"Bob's \\ 100%", 42),
            u"LOWER(IMF_SUBSCRIPTIONNAME) LIKE LOWER('Bob''s \\ 100%') AND USR_USERID = 42");
  EXPECT_EQ(SubscriptionCondition(Postgres(), u"Bob's \\ 100%", 42),
            u"LOWER(IMF_SUBSCRIPTIONNAME) LIKE LOWER('Bob''s \\\\ 100%') AND USR_USERID = 42");
  EXPECT_THROW((void)SubscriptionCondition(Oracle(), u"", 42), std::runtime_error);
  EXPECT_THROW((void)SubscriptionCondition(Oracle(), u"x", 0), std::runtime_error);
}

}  // namespace
}  // namespace Nauvik::IMAP
