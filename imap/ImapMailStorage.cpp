#include "imap/ImapMailStorage.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <utility>

#include "blob/BlobUtils.h"
#include "content/BodyStructure.h"
#include "content/Charsets.h"
#include "content/HeaderSummary.h"
#include "content/MimeMessage.h"
#include "db/ConnectionManager.h"
#include "db/DBTable.h"
#include "db/Dialect.h"
#include "db/Rows.h"
#include "foundation/Files.h"
#include "foundation/ResultCodes.h"
#include "imap/ImapConditions.h"
#include "log/Log.h"
#include "users/FolderRights.h"
#include "users/VelmoraUser.h"

namespace Nauvik::IMAP {
namespace {

constexpr int64_t kVesselIdFactor = 1000000000;
constexpr char16_t kSeparator = u'.';
constexpr std::u16string_view kInbox = u"INBOX";
constexpr std::u16string_view kSharedNamespace = u"#Shared";
constexpr std::u16string_view kLoopingPrefix = u"[Error: Looping folders detected]-";

// Mail files up to this size are read into memory, larger ones mapped: for a
// small mail a read costs less than setting up a mapping and tearing it down,
// and the unmap interrupts every other core the process runs on.
constexpr uint64_t kReadMailUpTo = uint64_t{1} << 20;

// The bytes of a mail file, as a mapping of it would give them: none for a
// missing, empty or unreadable file, one of 4 GiB or more, or one that fails
// or is cut short while it is read.
class MailFileBytes {
 public:
  bool Open(const std::string& path) {
    switch (KAVRO::ReadWholeFile(path, kReadMailUpTo, &held_)) {
      case KAVRO::WholeRead::kRead:
        bytes_ = held_;
        return true;
      case KAVRO::WholeRead::kLarger:
        if (!mapping_.Open(path)) return false;
        bytes_ = mapping_.Bytes();
        return true;
      case KAVRO::WholeRead::kFailed:
        break;
    }
    return false;
  }
  const char* Data() const { return bytes_.data(); }
  uint32_t Size() const { return static_cast<uint32_t>(bytes_.size()); }

 private:
  std::string held_;
  KAVRO::MMFile mapping_;
  std::string_view bytes_;
};

// Creator IDs of the blobs the store writes: the mail system's own for the
// views, the migration tool's for the base tables.
constexpr int32_t kBlobFileTypeViews = 11;
constexpr int32_t kBlobCreatorViews = 11;
constexpr int32_t kBlobFileTypeTables = 21;
constexpr int32_t kBlobCreatorTables = 46;
constexpr int32_t kBlobDeletedBy = 11;

// Join of message rows with their file storage rows, as views or base tables.
constexpr char kMessageAndSizeViews[] =
    "NV_IMAPMESSAGE IMM INNER JOIN NV_FILESTORAGE FIS ON IMM.FIS_FILESTORAGEID = "
    "FIS.FIS_FILESTORAGEID";
constexpr char kMessageAndSizeTables[] =
    "NS_IMAPMESSAGE IMM INNER JOIN NS_FILESTORAGE FIS ON IMM.FIS_FILESTORAGEID = "
    "FIS.FIS_FILESTORAGEID";

std::string Dec(int64_t n) { return std::to_string(n); }
std::string UDec(uint64_t n) { return std::to_string(n); }

std::u16string Wide(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// Quotes doubled, for a text placed inside '...'.
template <typename S>
S DoubleQuotes(const S& text) {
  S out;
  out.reserve(text.size());
  for (auto c : text) {
    out.push_back(c);
    if (c == '\'') out.push_back(c);
  }
  return out;
}

char16_t AsciiUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? c - (u'a' - u'A') : c; }

// Compares the first `limit` units without regard to ASCII letter case, as
// the folder name comparisons of the store always have.
bool EqualsNoCase(std::u16string_view a, std::u16string_view b, size_t limit) {
  a = a.substr(0, limit);
  b = b.substr(0, limit);
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

// A folder row keeps at most this many UTF-16 units of its own name.
constexpr size_t kFolderNameUnits = sizeof(NV_IMAPFOLDER::IMF_FOLDERNAME) / sizeof(char16_t) - 1;

// The path as the store keeps it: every level cut to what its name column
// holds (never inside a surrogate pair). Creating, finding, renaming and
// listing below a folder all go through this, so a name that was cut when
// its folder was made still finds that folder the next time.
std::u16string StoredFolderPath(std::u16string_view path) {
  std::u16string out;
  out.reserve(path.size());
  while (true) {
    const size_t dot = path.find(kSeparator);
    std::u16string_view level = path.substr(0, dot);
    if (level.size() > kFolderNameUnits) {
      size_t keep = kFolderNameUnits;
      if (level[keep - 1] >= 0xD800 && level[keep - 1] <= 0xDBFF) --keep;
      level = level.substr(0, keep);
    }
    out += level;
    if (dot == std::u16string_view::npos) return out;
    out += kSeparator;
    path.remove_prefix(dot + 1);
  }
}

// The stored paths (as StoredFolderPath gives them) of the levels whose name
// was cut, for the outermost folder operation of the thread: the row of such
// a level logs the table layer's ERROR line when it is written, as the
// layer itself would have had the name reached it whole.
thread_local std::set<std::u16string> t_cut_levels;
thread_local int t_folder_depth = 0;

class CutLevels {
 public:
  explicit CutLevels(std::u16string_view given) {
    if (t_folder_depth++ > 0) return;
    std::u16string stored;
    while (true) {
      const size_t dot = given.find(kSeparator);
      const std::u16string_view level = given.substr(0, dot);
      const std::u16string kept = StoredFolderPath(level);
      stored += kept;
      if (kept.size() < level.size()) t_cut_levels.insert(stored);
      if (dot == std::u16string_view::npos) break;
      stored += kSeparator;
      given.remove_prefix(dot + 1);
    }
  }
  ~CutLevels() {
    if (--t_folder_depth == 0) t_cut_levels.clear();
  }
  CutLevels(const CutLevels&) = delete;
  CutLevels& operator=(const CutLevels&) = delete;

  // Logs the line when the level at this stored path was cut.
  static void Writing(const std::u16string& stored_path) {
    if (t_cut_levels.count(stored_path) > 0) {
      Log(kLogError, true, "Truncating string field before input to database");
    }
  }
};

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string Narrow(std::u16string_view text) {
  try {
    return ConvertFromUnicode(text);
  } catch (const std::exception&) {
    return std::string(text.begin(), text.end());
  }
}

// Reads the current folder row into a record; the listing's flag is clear.
ImapFolder FolderFromRow(const DBTable<NV_IMAPFOLDER>& row) {
  ImapFolder folder;
  folder.folder_id = IdOf(row.IMF_IMAPFOLDERID);
  folder.parent_id = IdOf(row.IMF_IMAPFOLDERID_PARENT);
  folder.uid_validity = static_cast<uint32_t>(row.IMF_UID);
  folder.inbox = row.IMF_INBOX == 1;
  folder.marked = row.IMF_MARKED == 1;
  folder.no_inferiors = row.IMF_NOINFERIORS == 1;
  folder.no_select = row.IMF_NOSELECT == 1;
  folder.name = folder.inbox ? std::u16string(kInbox) : WTextOf(row.IMF_FOLDERNAME);
  folder.owner = IdOf(row.USR_USERID);
  return folder;
}

// Fills each folder's full name by walking up its parents inside `list`.
// A parent outside the list is kImapFolderParentNotFound; a loop marks the
// name and the folder instead of failing.
int32_t BuildFullNames(ImapFolderList* list) {
  for (auto& [id, folder] : *list) {
    std::u16string full = folder.name;
    std::set<int64_t> visited{id};
    const ImapFolder* current = &folder;
    bool looping = false;
    while (current->parent_id != 0) {
      auto parent = list->find(current->parent_id);
      if (parent == list->end()) return kImapFolderParentNotFound;
      if (!visited.insert(parent->first).second) {
        looping = true;
        break;
      }
      current = &parent->second;
      full = current->name + kSeparator + full;
    }
    if (looping) {
      full = std::u16string(kLoopingPrefix) + full;
      folder.listed_only = true;
    }
    folder.full_name = std::move(full);
  }
  return kImapOk;
}

}  // namespace

// ---------------------------------------------------------------------------
// Blob wrappers

int32_t CreateBlob(const char* bytes, uint32_t length, MessageReference* ref, bool use_views) {
  if (LogLevelAtLeast(kLogDebug4)) Log(kLogDebug4, false, "CreateBlob() start.");
  BlobUtils blob(use_views);
  int64_t id = 0;
  const int32_t code =
      use_views ? blob.InsertBlob(bytes, length, kBlobFileTypeViews, kBlobCreatorViews, &id)
                : blob.InsertBlob(bytes, length, kBlobFileTypeTables, kBlobCreatorTables, &id);
  if (code == 0) ref->file_storage_id = id;
  return code;
}

int32_t GetBlob(int64_t file_storage_id, bool use_views, KAVRO::MMFile* out) {
  if (LogLevelAtLeast(kLogDebug4)) Log(kLogDebug4, false, "GetBlob() start.");
  BlobUtils blob(use_views);
  return blob.GetBlobMapping(file_storage_id, out);
}

int32_t DeleteBlob(bool use_views, int64_t file_storage_id) {
  if (LogLevelAtLeast(kLogDebug4)) Log(kLogDebug4, false, "DeleteBlob() start.");
  // The migration tool's blobs (base tables) are never removed here.
  if (!use_views) return kImapOk;
  DBTable<NV_IMAPMESSAGE> messages;
  if (messages.Count("FIS_FILESTORAGEID = " + Dec(file_storage_id)) > 0) {
    return kImapMailAlreadyExists;
  }
  BlobUtils blob(use_views);
  return blob.DeleteBlob(file_storage_id, kBlobDeletedBy);
}

// ---------------------------------------------------------------------------
// Message records

namespace {

// Sets a message row's values. With `every_column`, the header columns the
// mail lacks are named as NULL, so that rows of one multi-row INSERT share
// their column list.
void SetMessageValues(DBTableBase& row, const HeaderSummary& summary, int64_t message_id,
                      int64_t file_storage_id, bool every_column) {
  row.SetLiteral("IMM_IMAPMESSAGEID", Dec(message_id));
  row.SetLiteral("FIS_FILESTORAGEID", Dec(file_storage_id));
  row.SetDateValue("IMM_SENT", summary.sent);
  auto text = [&](const char* column, const auto& value) {
    if (value) {
      row.SetValue(column, *value, false);
    } else if (every_column) {
      row.SetLiteral(column, "NULL");
    }
  };
  text("IMM_TO", summary.to);
  text("IMM_CC", summary.cc);
  text("IMM_BCC", summary.bcc);
  text("IMM_FROM", summary.from);
  text("IMM_MESSAGEID", summary.message_id);
  text("IMM_SUBJECT", summary.subject);
  text("IMM_SORTSUBJECT", summary.sort_subject);
}

// Locks the rows of the folders (ids as SQL text, comma-separated) until the
// transaction ends. Every writer takes it before it draws a UID from a
// folder's sequence, so writers into one folder commit their UIDs in the
// order they drew them: an IMAP client that synchronises in between never
// sees a UID above one that is still to commit.
void LockFolders(bool use_views, const std::string& ids) {
  DBTable<NV_IMAPFOLDER> lock;
  if (!use_views) lock.SetTableName("NS_IMAPFOLDER", true);
  if (lock.Select("IMF_IMAPFOLDERID IN (" + ids + ") FOR UPDATE", "")) {
    while (lock.Fetch()) {
    }
  }
}

// Sets a link row's values; `link_id` is SQL text (a number or a sequence
// expression). The UID is drawn from the folder's own sequence inside the
// insert. With `every_column` the flags left clear are written as 0 (their
// default), so that rows of one multi-row INSERT share their column list.
void SetLinkValues(DBTableBase& row, const std::string& link_id, int64_t folder_id,
                   int64_t message_id, uint32_t flags, const KAVRO::NTime& internal_date,
                   int64_t mail_recipient_id, bool every_column) {
  row.SetLiteral("MIF_IMAPMSGINFOLDERID", link_id);
  row.SetLiteral("IMF_IMAPFOLDERID", Dec(folder_id));
  row.SetLiteral("IMM_IMAPMESSAGEID", Dec(message_id));
  row.SetLiteral("MIF_RECENT", "1");
  // The database draws the UID from the folder's own sequence inside the
  // insert, so concurrent inserts into one folder never share a UID.
  row.SetLiteral("MIF_UID", row.GetDialect().FolderUidNextValue(folder_id));
  row.SetDateValue("MIF_INTERNALDATE", internal_date);
  auto flag = [&](const char* column, uint32_t bit) {
    if (flags & bit) {
      row.SetLiteral(column, "1");
    } else if (every_column) {
      row.SetLiteral(column, "0");
    }
  };
  flag("MIF_ANSWERED", kFlagAnswered);
  flag("MIF_FLAGGED", kFlagFlagged);
  flag("MIF_DELETED", kFlagDeleted);
  flag("MIF_SEEN", kFlagSeen);
  flag("MIF_DRAFT", kFlagDraft);
  if (mail_recipient_id != 0) row.SetLiteral("MRP_MAILRECIPIENTID", Dec(mail_recipient_id));
}

// Writes one message row with its header summary; the new ID goes to
// *message_id before the insert and back to 0 on failure. Catches database
// errors itself (closing the thread's connections, which ends the caller's
// transaction) and reports them as false.
bool CreateNvImapMessageTableEntry(const Mime::MimeMessage& mail, int64_t* message_id,
                                   int64_t file_storage_id, bool use_views, int64_t vessel_id) {
  try {
    DBTable<NV_IMAPMESSAGE> row;
    if (!use_views) row.SetTableName("NS_IMAPMESSAGE", true);
    *message_id = static_cast<int64_t>(row.GetNextSequenceValue()) + vessel_id * kVesselIdFactor;
    SetMessageValues(row, MakeHeaderSummary(mail), *message_id, file_storage_id, false);
    if (row.Insert()) return true;
  } catch (const std::runtime_error& e) {
    if (LogLevelAtLeast(kLogWarning)) {
      Log(kLogWarning, false,
          std::string("CreateNvImapMessageTableEntry(): Oracle error: ") + e.what());
    }
    CloseThreadDatabases();
  }
  *message_id = 0;
  return false;
}

// Removes a message row, then its blob when no other row uses it.
void DeleteNvImapMessage(bool use_views, int64_t message_id, int64_t file_storage_id) {
  if (LogLevelAtLeast(kLogDebug4)) Log(kLogDebug4, false, "DeleteNvImapMessage() start.");
  DbSimpleAccess messages;
  messages.SetTableName(use_views ? "NV_IMAPMESSAGE" : "NS_IMAPMESSAGE", false);
  messages.Delete("IMM_IMAPMESSAGEID = " + Dec(message_id));
  (void)DeleteBlob(use_views, file_storage_id);
}

// The stored copy whose blob is `file_storage_id`, or an empty reference.
MessageReference LookupByFileStorageId(bool use_views, int64_t file_storage_id) {
  MessageReference ref;
  DBTable<JOIN_IMAPMESSAGEANDSIZE> join;
  join.SetTableName(use_views ? kMessageAndSizeViews : kMessageAndSizeTables, false);
  if (join.Select("FIS.FIS_FILESTORAGEID = " + Dec(file_storage_id), "") && join.Fetch()) {
    ref.imap_message_id = IdOf(join.IMM_IMAPMESSAGEID);
    ref.file_storage_id = IdOf(join.FIS_FILESTORAGEID);
    ref.size = static_cast<uint32_t>(join.FIS_SIZE);
  }
  return ref;
}

// The stored copy of a mail with this raw Message-ID text (a LIKE pattern,
// as on Oracle) and size whose blob can still be opened, or an empty
// reference.
MessageReference LookupByContent(const std::string& message_id, uint32_t size, bool use_views) {
  MessageReference ref;
  DBTable<JOIN_IMAPMESSAGEANDSIZE> join;
  join.SetTableName(use_views ? kMessageAndSizeViews : kMessageAndSizeTables, false);
  if (!join.Select(ContentLookupCondition(join.GetDialect(), message_id, size), "") ||
      !join.Fetch()) {
    return ref;
  }
  const int64_t found_message = IdOf(join.IMM_IMAPMESSAGEID);
  const int64_t found_blob = IdOf(join.FIS_FILESTORAGEID);
  KAVRO::MMFile mapping;
  if (GetBlob(found_blob, use_views, &mapping) == 0) {
    ref.imap_message_id = found_message;
    ref.file_storage_id = found_blob;
    ref.size = size;
  }
  mapping.Close();
  return ref;
}

}  // namespace

ImapMailStorage::ImapMailStorage() {
  try {
    DBTable<NV_VESSEL> vessel;
    if (vessel.Select("", "") && vessel.Fetch()) vessel_id_ = IdOf(vessel.VES_VESSELID);
  } catch (const std::runtime_error& e) {
    if (LogLevelAtLeast(kLogWarning)) {
      Log(kLogWarning, false,
          std::string("ImapMailStorage::ImapMailStorage(): Unable to get vessel ID. Is this "
                      "really a ship installation? Will continue with 0 as vessel ID. Error: ") +
              e.what());
    }
    CloseThreadDatabases();
    last_exception_text_ = e.what();
  }
}

ImapMailStorage::~ImapMailStorage() = default;

void ImapMailStorage::SetUseViews(bool use_views) { use_views_ = use_views; }
void ImapMailStorage::SetUseTables(bool use_tables) { use_views_ = !use_tables; }
bool ImapMailStorage::GetUseViews() const { return use_views_; }
std::string ImapMailStorage::GetLastExceptionText() const { return last_exception_text_; }
void ImapMailStorage::CloseDatabase() { CloseThreadDatabases(); }

int32_t ImapMailStorage::OracleError(std::string_view operation, const std::exception& e) {
  if (LogLevelAtLeast(kLogWarning)) {
    Log(kLogWarning, false,
        "ImapMailStorage::" + std::string(operation) + "(): Oracle error: " + e.what());
  }
  last_exception_text_ = e.what();
  CloseThreadDatabases();
  return kImapOracleError;
}

int32_t ImapMailStorage::InsertMessage(const char* bytes, uint32_t length, MessageReference* ref,
                                       int64_t file_storage_id) {
  if (bytes == nullptr || length == 0) return kImapInvalidInput;
  Mime::MimeMessage mail;
  const int32_t parsed = ByteStream::ParseMail(bytes, length, mail);
  if (parsed != kImapOk) return parsed;

  *ref = file_storage_id != 0
             ? LookupByFileStorageId(use_views_, file_storage_id)
             : LookupByContent(mail.GetFieldBody("Message-ID"), length, use_views_);
  if (ref->imap_message_id != 0) return kImapOk;

  ref->size = length;
  if (file_storage_id != 0) {
    ref->file_storage_id = file_storage_id;
  } else {
    const int32_t code = CreateBlob(bytes, length, ref, use_views_);
    if (code != kImapOk) return code;
  }

  int32_t failure = kImapOk;
  {
    ManualCommit transaction;
    if (!CreateNvImapMessageTableEntry(mail, &ref->imap_message_id, ref->file_storage_id,
                                       use_views_, vessel_id_)) {
      transaction.Rollback();
      failure = kImapOracleError;
    } else if (!ParseBodyStructure(std::string_view(bytes, length), 0, 0, ref->imap_message_id,
                                   use_views_)) {
      transaction.Rollback();
      failure = kImapUnableToParseMail;
    } else {
      transaction.Commit();
    }
  }
  // The blob goes only once the connection commits automatically again, so
  // its record's update does not hang on the rolled-back transaction.
  if (failure != kImapOk) (void)DeleteBlob(use_views_, ref->file_storage_id);
  return failure;
}

int32_t ImapMailStorage::FindMessage(const std::string& message_id, uint32_t size,
                                     MessageReference* out) {
  DBTable<INFO_IMAPMESSAGE> info;
  if (!use_views_) info.UseViews(false);
  if (info.Select(FindMessageCondition(info.GetDialect(), message_id, size), "") && info.Fetch()) {
    out->file_storage_id = IdOf(info.FIS_FILESTORAGEID);
    out->imap_message_id = IdOf(info.IMM_IMAPMESSAGEID);
    return kImapOk;
  }
  return kImapMailNotFound;
}

int32_t ImapMailStorage::DeleteMessage(int64_t link_id) {
  try {
    return DeleteMessageBody(link_id);
  } catch (const std::exception& e) {
    return OracleError("DeleteMessage", e);
  }
}

int32_t ImapMailStorage::DeleteMessageBody(int64_t link_id) {
  if (link_id == 0) return kImapInvalidInput;
  const std::string condition = "MIF_IMAPMSGINFOLDERID = " + Dec(link_id);
  int64_t message_id = 0;
  {
    DBTable<NV_IMAPMSGINFOLDER> link;
    if (!use_views_) link.SetTableName("NS_IMAPMSGINFOLDER", true);
    if (!link.Select(condition, "") || !link.Fetch()) return kImapMailNotFound;
    message_id = IdOf(link.IMM_IMAPMESSAGEID);
    if (link.Delete(condition) <= 0) return kImapMailNotFound;
  }
  if (use_views_) {
    DBTable<NV_IMAPMSGINFOLDER> links;
    if (links.Count("IMM_IMAPMESSAGEID = " + Dec(message_id)) == 0) {
      DBTable<NV_IMAPMESSAGE> message;
      int64_t file_storage_id = 0;
      if (message.Select("IMM_IMAPMESSAGEID = " + Dec(message_id), "") && message.Fetch()) {
        file_storage_id = IdOf(message.FIS_FILESTORAGEID);
      }
      DeleteNvImapMessage(use_views_, message_id, file_storage_id);
    }
  }
  return kImapOk;
}

// ---------------------------------------------------------------------------
// Messages in folders

int32_t ImapMailStorage::AddMessageToFolder(int64_t file_storage_id, int64_t mail_recipient_id,
                                            const std::u16string& folder, bool create,
                                            int64_t user_id, int64_t company_id, uint32_t flags,
                                            KAVRO::NTime internal_date) {
  KAVRO::MMFile mapping;
  const int32_t code = BlobUtils(use_views_).GetBlobMapping(file_storage_id, &mapping);
  if (code != kImapOk) return code;
  const int32_t result = AddMessageToFolder(
      reinterpret_cast<const char*>(mapping.View()), mapping.Size(), folder, create, user_id,
      company_id, flags, internal_date, file_storage_id, mail_recipient_id);
  mapping.Close();
  return result;
}

int32_t ImapMailStorage::AddMessageToFolder(const std::string& mail_path,
                                            const std::u16string& folder, bool create,
                                            int64_t user_id, int64_t company_id, uint32_t flags,
                                            KAVRO::NTime internal_date) {
  MailFileBytes mail;
  const char* bytes = nullptr;
  uint32_t length = 0;
  if (mail.Open(mail_path)) {
    bytes = mail.Data();
    length = mail.Size();
  } else {
    Log(kLogError, true, "Failed to open memory mapped file: " + mail_path);
  }
  return AddMessageToFolder(bytes, length, folder, create, user_id, company_id, flags,
                            internal_date, 0, 0);
}

int32_t ImapMailStorage::AddMessageToFolder(const char* bytes, uint32_t length,
                                            const std::u16string& folder, bool create,
                                            int64_t user_id, int64_t company_id, uint32_t flags,
                                            KAVRO::NTime internal_date, int64_t file_storage_id,
                                            int64_t mail_recipient_id) {
  LinkResult link;
  return AddMessageToFolder(bytes, length, folder, create, user_id, company_id, flags,
                            internal_date, &link, file_storage_id, mail_recipient_id);
}

int32_t ImapMailStorage::AddMessageToFolder(const char* bytes, uint32_t length,
                                            const std::u16string& folder, bool create,
                                            int64_t user_id, int64_t company_id, uint32_t flags,
                                            KAVRO::NTime internal_date, LinkResult* link,
                                            int64_t file_storage_id, int64_t mail_recipient_id) {
  try {
    return AddMessageToFolderBody(bytes, length, folder, create, user_id, company_id, flags,
                                  internal_date, link, file_storage_id, mail_recipient_id);
  } catch (const std::runtime_error& e) {
    return OracleError("AddMessageToFolder", e);
  }
}

int32_t ImapMailStorage::AddMessageToFolderBody(const char* bytes, uint32_t length,
                                                const std::u16string& folder, bool create,
                                                int64_t user_id, int64_t company_id, uint32_t flags,
                                                const KAVRO::NTime& internal_date, LinkResult* link,
                                                int64_t file_storage_id,
                                                int64_t mail_recipient_id) {
  MessageReference message;
  int32_t code = InsertMessage(bytes, length, &message, file_storage_id);
  if (code != kImapOk) return code;

  ImapFolder target;
  if (create) {
    code = CreateImapFolder(folder, user_id, company_id, &target);
    if (code == kImapOk) {
      code = SubscribeUserToFolder(folder, user_id);
      if (code != kImapOk) return code;
    } else if (code != kImapFolderAlreadyExists) {
      return code;
    }
  } else {
    code = GetImapFolder(folder, user_id, company_id, &target);
    if (code != kImapOk) return code;
  }

  const uint32_t rights =
      GetFolderRights(use_views_, static_cast<uint64_t>(user_id), static_cast<uint64_t>(company_id),
                      static_cast<uint64_t>(target.folder_id));
  if ((rights & kRightInsert) == 0) return kImapAccessDenied;

  return LinkMessageToFolder(target, message, flags, link, internal_date, mail_recipient_id);
}

int32_t ImapMailStorage::LinkMessageToFolder(const ImapFolder& folder,
                                             const MessageReference& message, uint32_t flags,
                                             LinkResult* link, KAVRO::NTime internal_date,
                                             int64_t mail_recipient_id) {
  try {
    *link = LinkResult{};
    if (folder.folder_id == 0 || message.imap_message_id == 0) return kImapInvalidInput;
    DBTable<NV_IMAPMSGINFOLDER> row;
    if (!use_views_) row.SetTableName("NS_IMAPMSGINFOLDER", true);
    const int64_t link_id = static_cast<int64_t>(row.GetNextSequenceValue());
    // A link of its own holds the folder in a transaction of its own; within
    // the caller's transaction the lock lasts until the caller ends it.
    CODBCDatabase* db = CODBCDatabase::FindDB(std::string(), kProviderDefault);
    std::optional<ManualCommit> own;
    if (db == nullptr || db->AutoCommit()) own.emplace();
    LockFolders(use_views_, Dec(folder.folder_id));

    SetLinkValues(row, Dec(link_id), folder.folder_id, message.imap_message_id, flags,
                  internal_date, mail_recipient_id, false);
    if (!row.Insert()) return kImapOracleError;
    if (own) {
      own->Commit();
      own.reset();
    }
    if (!row.Select("MIF_IMAPMSGINFOLDERID=" + Dec(link_id), "") || !row.Fetch()) {
      return kImapOracleError;
    }
    link->link_id = link_id;
    link->folder_id = folder.folder_id;
    link->uid = static_cast<uint32_t>(row.MIF_UID);
    return kImapOk;
  } catch (const std::runtime_error& e) {
    return OracleError("LinkMessageToFolder", e);
  }
}

int32_t ImapMailStorage::LinkMessagesToFolder(LinkRequestSet* requests,
                                              const std::u16string& folder, int64_t user_id,
                                              int64_t company_id) {
  try {
    return LinkMessagesBody(requests, folder, user_id, company_id);
  } catch (const std::runtime_error& e) {
    return OracleError("LinkMessagesToFolder", e);
  }
}

int32_t ImapMailStorage::LinkMessagesBody(LinkRequestSet* requests, const std::u16string& folder,
                                          int64_t user_id, int64_t company_id) {
  if (folder.empty() || user_id == 0 || company_id == 0) return kImapInvalidInput;
  ImapFolder target;
  int32_t code = GetImapFolder(folder, user_id, company_id, &target);
  if (code != kImapOk) return code;
  const uint32_t rights =
      GetFolderRights(use_views_, static_cast<uint64_t>(user_id), static_cast<uint64_t>(company_id),
                      static_cast<uint64_t>(target.folder_id));
  if ((rights & kRightInsert) == 0) return kImapAccessDenied;
  if (target.no_select) return kImapFolderNotSelectable;

  ManualCommit transaction;
  for (LinkRequest& request : *requests) {
    code = LinkMessageToFolder(target, request.message, request.flags, &request.result,
                               request.internal_date, request.mail_recipient_id);
    if (code != kImapOk) {
      transaction.Rollback();
      return code;
    }
  }
  transaction.Commit();
  return kImapOk;
}

int32_t ImapMailStorage::CopyMessage(int64_t link_id, const std::u16string& folder, int64_t user_id,
                                     int64_t company_id) {
  try {
    if (link_id == 0 || folder.empty() || user_id == 0 || company_id == 0) {
      return kImapInvalidInput;
    }
    LinkRequestSet requests;
    {
      DBTable<INFO_IMAPMESSAGE> info;
      if (!use_views_) info.UseViews(false);
      if (!info.Select("MIF_IMAPMSGINFOLDERID = " + Dec(link_id), "") || !info.Fetch()) {
        // Nothing to copy. No code is set aside for a missing link;
        // "not found" is the one every other lookup of a link gives.
        return kImapMailNotFound;
      }
      LinkRequest request;
      request.message.imap_message_id = IdOf(info.IMM_IMAPMESSAGEID);
      request.message.file_storage_id = IdOf(info.FIS_FILESTORAGEID);
      request.message.size = static_cast<uint32_t>(info.FIS_SIZE);
      if (!use_views_) request.mail_recipient_id = IdOf(info.MRP_MAILRECIPIENTID);
      request.internal_date = DateOf(info.MIF_INTERNALDATE);
      request.flags = (info.MIF_ANSWERED == 1 ? kFlagAnswered : 0) |
                      (info.MIF_FLAGGED == 1 ? kFlagFlagged : 0) |
                      (info.MIF_DELETED == 1 ? kFlagDeleted : 0) |
                      (info.MIF_SEEN == 1 ? kFlagSeen : 0) | (info.MIF_DRAFT == 1 ? kFlagDraft : 0);
      requests.push_back(request);
    }
    return LinkMessagesToFolder(&requests, folder, user_id, company_id);
  } catch (const std::exception& e) {
    return OracleError("CopyMessage", e);
  }
}

int32_t ImapMailStorage::SetInternalDate(int64_t link_id, KAVRO::NTime internal_date) {
  try {
    DBTable<NV_IMAPMSGINFOLDER> row;
    if (!use_views_) row.SetTableName("NS_IMAPMSGINFOLDER", true);
    row.SetDateValue("MIF_INTERNALDATE", internal_date);
    return row.Update("MIF_IMAPMSGINFOLDERID = " + Dec(link_id)) > 0 ? kImapOk : kImapMailNotFound;
  } catch (const std::runtime_error& e) {
    return OracleError("SetInternalDate", e);
  }
}

int32_t ImapMailStorage::SetFlags(int64_t link_id, uint32_t flags, bool set_answered,
                                  bool set_deleted, bool set_draft, bool set_flagged,
                                  bool set_seen) {
  try {
    DBTable<NV_IMAPMSGINFOLDER> row;
    if (!use_views_) row.SetTableName("NS_IMAPMSGINFOLDER", true);
    auto bit = [flags](uint32_t mask) { return std::string((flags & mask) ? "1" : "0"); };
    if (set_answered) row.SetLiteral("MIF_ANSWERED", bit(kFlagAnswered));
    if (set_deleted) row.SetLiteral("MIF_DELETED", bit(kFlagDeleted));
    if (set_draft) row.SetLiteral("MIF_DRAFT", bit(kFlagDraft));
    if (set_flagged) row.SetLiteral("MIF_FLAGGED", bit(kFlagFlagged));
    if (set_seen) row.SetLiteral("MIF_SEEN", bit(kFlagSeen));
    return row.Update("MIF_IMAPMSGINFOLDERID = " + Dec(link_id)) > 0 ? kImapOk : kImapMailNotFound;
  } catch (const std::exception& e) {
    return OracleError("SetFlags", e);
  }
}

// ---------------------------------------------------------------------------
// Folders

int32_t ImapMailStorage::CreateImapFolder(const std::u16string& name, int64_t user_id,
                                          int64_t company_id, ImapFolder* out) {
  try {
    return CreateImapFolderBody(name, user_id, company_id, out);
  } catch (const std::runtime_error& e) {
    return OracleError("CreateImapFolder", e);
  }
}

int32_t ImapMailStorage::CreateImapFolderBody(const std::u16string& given, int64_t user_id,
                                              int64_t company_id, ImapFolder* out) {
  const CutLevels cut(given);
  const std::u16string name = StoredFolderPath(given);
  if (name.empty() || user_id == 0 || company_id == 0) return kImapInvalidInput;
  ImapFolder existing;
  if (GetImapFolder(name, user_id, company_id, &existing) == kImapOk) {
    *out = existing;
    return kImapFolderAlreadyExists;
  }

  ImapFolder folder;
  folder.name = name;
  folder.full_name = name;
  ImapFolder parent;
  const size_t last_dot = name.rfind(kSeparator);
  if (last_dot != std::u16string::npos) {
    const int32_t code = CreateImapFolder(name.substr(0, last_dot), user_id, company_id, &parent);
    if (code != kImapOk && code != kImapFolderAlreadyExists) return code;
    folder.name = name.substr(last_dot + 1);
  }
  if (parent.folder_id != 0) {
    const uint32_t rights =
        GetFolderRights(use_views_, static_cast<uint64_t>(user_id),
                        static_cast<uint64_t>(company_id), static_cast<uint64_t>(parent.folder_id));
    if ((rights & kRightCreate) == 0) return kImapAccessDenied;
    // A folder is listed only within its owner's tree: one of ours below a
    // shared folder of another user would break our own listing (its parent
    // is not among our folders) and so every later call for us.
    if (parent.owner != user_id) return kImapCannotCreateInOthersFolder;
    folder.parent_id = parent.folder_id;
  }

  ManualCommit transaction;
  DBTable<NV_IMAPFOLDER> row;
  if (!use_views_) row.SetTableName("NS_IMAPFOLDER", true);
  const uint64_t sequence = row.GetNextSequenceValue();
  folder.uid_validity = static_cast<uint32_t>(sequence);
  folder.folder_id = static_cast<int64_t>(sequence) + vessel_id_ * kVesselIdFactor;
  folder.owner = user_id;

  row.SetLiteral("IMF_IMAPFOLDERID", Dec(folder.folder_id));
  row.SetLiteral("IMF_UID", UDec(folder.uid_validity));
  row.SetLiteral("USR_USERID", Dec(user_id));
  if (folder.parent_id == 0 && EqualsNoCase(folder.name, kInbox, 100)) {
    row.SetLiteral("IMF_INBOX", "1");
    folder.inbox = true;
    folder.name = kInbox;
  } else {
    CutLevels::Writing(name);
    row.SetValue("IMF_FOLDERNAME", folder.name, false);
  }
  if (folder.parent_id != 0) row.SetLiteral("IMF_IMAPFOLDERID_PARENT", Dec(folder.parent_id));
  (void)row.Insert();

  const int32_t granted = AddFolderRightToUser(use_views_, static_cast<uint64_t>(user_id),
                                               static_cast<uint64_t>(folder.folder_id));
  if (granted != kImapOk) {
    transaction.Rollback();
    return granted;
  }
  DbSimpleAccess ddl;
  ddl.ExecuteDirect(ddl.GetDialect().CreateFolderUidSequence(folder.folder_id));
  transaction.Commit();
  *out = folder;
  return kImapOk;
}

int32_t ImapMailStorage::GetImapFolder(const std::u16string& name, int64_t user_id,
                                       int64_t company_id, ImapFolder* out) {
  try {
    return GetImapFolderBody(name, user_id, company_id, out);
  } catch (const std::exception& e) {
    return OracleError("GetImapFolder", e);
  }
}

int32_t ImapMailStorage::GetImapFolderBody(const std::u16string& name, int64_t user_id,
                                           int64_t company_id, ImapFolder* out) {
  ImapFolderList folders;
  const int32_t code = GetAllFoldersForUser(user_id, company_id, &folders);
  if (code != kImapOk) return code;
  const std::u16string stored = StoredFolderPath(name);
  for (const auto& [id, folder] : folders) {
    if (!EqualsNoCase(folder.full_name, stored, 8000)) continue;
    if (folder.listed_only) return kImapFolderNotSelectable;
    *out = folder;
    return kImapOk;
  }
  return kImapFolderNotFound;
}

int32_t ImapMailStorage::RenameImapFolder(const std::u16string& given_old,
                                          const std::u16string& given_new, int64_t user_id,
                                          int64_t company_id) {
  try {
    const CutLevels cut(given_new);
    const std::u16string old_name = StoredFolderPath(given_old);
    const std::u16string new_name = StoredFolderPath(given_new);
    ImapFolder folder;
    int32_t code = GetImapFolder(old_name, user_id, company_id, &folder);
    if (code != kImapOk) return code;
    if ((GetFolderRights(use_views_, static_cast<uint64_t>(user_id),
                         static_cast<uint64_t>(company_id),
                         static_cast<uint64_t>(folder.folder_id)) &
         kRightDeleteMbox) == 0) {
      return kImapAccessDenied;
    }
    ImapFolder clash;
    if (GetImapFolder(new_name, user_id, company_id, &clash) != kImapFolderNotFound) {
      return kImapFolderAlreadyExists;
    }
    const std::u16string below = old_name + kSeparator;
    if (new_name.size() >= below.size() &&
        EqualsNoCase(new_name.substr(0, below.size()), below, below.size())) {
      return kImapFolderParentNotFound;
    }
    std::u16string last = new_name;
    int64_t new_parent = 0;
    const size_t last_dot = new_name.rfind(kSeparator);
    if (last_dot != std::u16string::npos) {
      ImapFolder parent;
      code = CreateImapFolder(new_name.substr(0, last_dot), user_id, company_id, &parent);
      if (code == kImapFolderAlreadyExists && parent.owner != user_id) {
        return kImapCannotCreateInOthersFolder;
      }
      if (code != kImapOk && code != kImapFolderAlreadyExists) return code;
      new_parent = parent.folder_id;
      last = new_name.substr(last_dot + 1);
    }
    DBTable<NV_IMAPFOLDER> row;
    if (!use_views_) row.SetTableName("NS_IMAPFOLDER", true);
    CutLevels::Writing(new_name);
    row.SetValue("IMF_FOLDERNAME", last, false);
    row.SetLiteral("IMF_IMAPFOLDERID_PARENT", new_parent != 0 ? Dec(new_parent) : "NULL");
    return row.Update("IMF_IMAPFOLDERID = " + Dec(folder.folder_id)) > 0 ? kImapOk
                                                                         : kImapUnknownError;
  } catch (const std::runtime_error& e) {
    return OracleError("RenameImapFolder", e);
  }
}

int32_t ImapMailStorage::DeleteImapFolder(const std::u16string& name, int64_t user_id,
                                          int64_t company_id) {
  try {
    if (name.empty() || user_id == 0) return kImapInvalidInput;
    ImapFolder folder;
    int32_t code = GetImapFolder(name, user_id, company_id, &folder);
    if (code != kImapOk) return code;
    if ((GetFolderRights(use_views_, static_cast<uint64_t>(user_id),
                         static_cast<uint64_t>(company_id),
                         static_cast<uint64_t>(folder.folder_id)) &
         kRightDeleteMbox) == 0) {
      return kImapAccessDenied;
    }
    ImapFolderList subfolders;
    code = GetAllSubfoldersForUser(user_id, company_id, name, &subfolders);
    if (code != kImapOk) return code;

    const std::string where = "IMF_IMAPFOLDERID = " + Dec(folder.folder_id);
    DBTable<NV_IMAPFOLDER> row;
    if (!use_views_) row.SetTableName("NS_IMAPFOLDER", true);
    if (!subfolders.empty()) {
      if (folder.no_select) return kImapFolderNotSelectable;
      code = RemoveFolderLinks(folder, user_id, company_id);
      if (code != kImapOk) return code;
      row.SetLiteral("IMF_NOSELECT", "1");
      (void)row.Update(where);
      return kImapOk;
    }
    code = RemoveFolderLinks(folder, user_id, company_id);
    if (code != kImapOk) return code;
    (void)row.Delete(where);
    DbSimpleAccess ddl;
    ddl.ExecuteDirect(ddl.GetDialect().DropFolderUidSequence(folder.folder_id));
    return kImapOk;
  } catch (const std::runtime_error& e) {
    return OracleError("DeleteImapFolder", e);
  }
}

int32_t ImapMailStorage::RemoveFolderLinks(const ImapFolder& folder, int64_t user_id,
                                           int64_t company_id) {
  if ((GetFolderRights(use_views_, static_cast<uint64_t>(user_id),
                       static_cast<uint64_t>(company_id), static_cast<uint64_t>(folder.folder_id)) &
       kRightDeleteMessage) == 0) {
    return kImapAccessDenied;
  }
  std::vector<int64_t> links;
  {
    DBTable<NV_IMAPMSGINFOLDER> row;
    if (!use_views_) row.SetTableName("NS_IMAPMSGINFOLDER", true);
    if (row.Select("IMF_IMAPFOLDERID = " + Dec(folder.folder_id), "")) {
      while (row.Fetch()) links.push_back(IdOf(row.MIF_IMAPMSGINFOLDERID));
    }
  }
  for (int64_t link : links) {
    const int32_t code = DeleteMessageBody(link);
    if (code != kImapOk) return code;
  }
  return kImapOk;
}

// ---------------------------------------------------------------------------
// Subscriptions and folder listing

int32_t ImapMailStorage::SubscribeUserToFolder(const std::u16string& name, int64_t user_id) {
  try {
    if (name.empty() || user_id == 0) return kImapInvalidInput;
    if (IsUserSubscribedToFolder(name, user_id) == kImapOk) return kImapAlreadySubscribed;
    DBTable<NV_IMAPSUBSCRIPTION> row;
    if (!use_views_) row.SetTableName("NS_IMAPSUBSCRIPTION", true);
    row.SetLiteral("IMS_IMAPSUBSCRIPTIONID", UDec(row.GetNextSequenceValue()));
    row.SetLiteral("USR_USERID", Dec(user_id));
    row.SetValue("IMF_SUBSCRIPTIONNAME", name, false);
    (void)row.Insert();
    return kImapOk;
  } catch (const std::runtime_error& e) {
    return OracleError("SubscribeUserToFolder", e);
  }
}

int32_t ImapMailStorage::UnsubscribeUserFromFolder(const std::u16string& name, int64_t user_id) {
  try {
    if (name.empty() || user_id == 0 || StartsWith(name, kSharedNamespace)) {
      return kImapInvalidInput;
    }
    DBTable<NV_IMAPSUBSCRIPTION> row;
    if (!use_views_) row.SetTableName("NS_IMAPSUBSCRIPTION", true);
    if (row.DeleteW(SubscriptionCondition(row.GetDialect(), name, user_id)) == 0 &&
        LogLevelAtLeast(kLogWarning)) {
      Log(kLogWarning, false,
          "ImapMailStorage::UnsubscribeUserFromFolder(): User " + Dec(user_id) +
              " attempted to unsubscribe from " + Narrow(name) +
              ", but no subscription was found. Ignoring.");
    }
    return kImapOk;
  } catch (const std::runtime_error& e) {
    return OracleError("UnsubscribeUserFromFolder", e);
  }
}

int32_t ImapMailStorage::IsUserSubscribedToFolder(const std::u16string& name, int64_t user_id) {
  try {
    if (name.empty() || user_id == 0) return kImapInvalidInput;
    if (StartsWith(name, kSharedNamespace)) return kImapOk;
    DBTable<NV_IMAPSUBSCRIPTION> row;
    if (!use_views_) row.SetTableName("NS_IMAPSUBSCRIPTION", true);
    return row.CountW(SubscriptionCondition(row.GetDialect(), name, user_id)) > 0
               ? kImapOk
               : kImapNotSubscribed;
  } catch (const std::runtime_error& e) {
    return OracleError("IsUserSubscribedToFolder", e);
  }
}

int32_t ImapMailStorage::GetAllFoldersForUser(int64_t user_id, int64_t company_id,
                                              ImapFolderList* out) {
  try {
    out->clear();
    {
      DBTable<NV_IMAPFOLDER> row;
      if (!use_views_) row.SetTableName("NS_IMAPFOLDER", true);
      if (row.Select("USR_USERID = " + Dec(user_id), "")) {
        while (row.Fetch()) {
          ImapFolder folder = FolderFromRow(row);
          (*out)[folder.folder_id] = std::move(folder);
        }
      }
    }
    const int32_t code = BuildFullNames(out);
    if (code != kImapOk) return code;
    if (use_views_) return ReadSharedFolders(user_id, company_id, out);
    return kImapOk;
  } catch (const std::runtime_error& e) {
    return OracleError("GetAllFoldersForUser", e);
  }
}

int32_t ImapMailStorage::ReadSharedFolders(int64_t user_id, int64_t company_id,
                                           ImapFolderList* out) {
  ImapFolderList shared;
  {
    DBTable<NV_IMAPFOLDER> row;
    if (row.Select(SharedFoldersCondition(user_id, company_id), "")) {
      while (row.Fetch()) {
        ImapFolder folder = FolderFromRow(row);
        shared[folder.folder_id] = std::move(folder);
      }
    }
  }
  // A shared folder whose parent is not shared with the user starts its own
  // tree in the owner's part of the namespace.
  for (auto& [id, folder] : shared) {
    if (folder.parent_id != 0 && shared.find(folder.parent_id) == shared.end()) {
      folder.parent_id = 0;
    }
  }
  (void)BuildFullNames(&shared);  // every parent is in the list now

  std::map<int64_t, std::u16string> prefixes;  // owner ID -> "#Shared.<owner>"
  for (auto& [id, folder] : shared) {
    auto prefix = prefixes.find(folder.owner);
    if (prefix == prefixes.end()) {
      std::u16string owner_name;
      if (folder.owner != 0) {
        VelmoraUser owner;
        if (owner.lookupUserById(Dec(folder.owner))) owner_name = owner.GetName();
      }
      std::u16string part = owner_name + u" (" + ConvertToUnicode(Dec(folder.owner)) + u")";
      for (char16_t& c : part) {
        if (c == kSeparator) c = u'_';
      }
      prefix = prefixes.emplace(folder.owner, std::u16string(kSharedNamespace) + kSeparator + part)
                   .first;
    }
    folder.full_name = prefix->second + kSeparator + folder.full_name;
    (*out)[id] = std::move(folder);
  }
  return kImapOk;
}

int32_t ImapMailStorage::GetAllSubfoldersForUser(int64_t user_id, int64_t company_id,
                                                 const std::u16string& folder,
                                                 ImapFolderList* out) {
  try {
    out->clear();
    ImapFolderList all;
    const int32_t code = GetAllFoldersForUser(user_id, company_id, &all);
    if (code != kImapOk) return code;
    const std::u16string stored = StoredFolderPath(folder);
    std::u16string lower_name;
    if (!ToLowerWithLocale("English", stored, &lower_name)) lower_name = stored;
    for (const auto& [id, candidate] : all) {
      std::u16string lower_full;
      if (!ToLowerWithLocale("English", candidate.full_name, &lower_full)) {
        lower_full = candidate.full_name;
      }
      if (lower_full != lower_name && StartsWith(lower_full, lower_name)) (*out)[id] = candidate;
    }
    return kImapOk;
  } catch (const std::runtime_error& e) {
    return OracleError("GetAllSubfoldersForUser", e);
  }
}

// ---------------------------------------------------------------------------
// Batches

namespace {

// Rows per multi-row INSERT: large enough that round trips stop mattering,
// small enough that a statement of hostile, deeply nested mail stays a few MB.
constexpr size_t kRowsPerStatement = 500;

// Collects the rows of one table into multi-row INSERTs. Each row is set on
// the table object as for a single insert; its VALUES list is cut from the
// statement the object would send, so a row of a batch is written exactly as
// the per-mail path writes it.
class RowBatch {
 public:
  explicit RowBatch(DBTableBase* table) : table_(table) {}
  RowBatch(const RowBatch&) = delete;
  RowBatch& operator=(const RowBatch&) = delete;

  // Takes the values set on the table object and clears them.
  void Add() {
    const std::u16string text = table_->InsertTextW();
    table_->ClearValues();
    constexpr std::u16string_view kValues = u") VALUES (";
    const size_t at = text.find(kValues);
    if (at == std::u16string::npos) throw std::runtime_error("Unexpected INSERT text");
    const size_t cut = at + kValues.size() - 1;
    if (rows_ == 0) {
      head_ = text.substr(0, cut);
      statement_ = head_;
    } else if (text.compare(0, cut, head_) != 0) {
      throw std::runtime_error("Rows of one batch INSERT name different columns");
    } else {
      statement_ += u", ";
    }
    statement_.append(text, cut, std::u16string::npos);
    if (++rows_ == kRowsPerStatement) Flush();
  }
  void Flush() {
    if (rows_ == 0) return;
    (void)table_->ExecuteDirectW(statement_);
    rows_ = 0;
    statement_.clear();
  }

 private:
  DBTableBase* table_;
  std::u16string head_;
  std::u16string statement_;
  size_t rows_ = 0;
};

// `count` values of the table object's sequence, in one statement.
std::vector<int64_t> DrawSequence(const DBTableBase& named, size_t count) {
  std::vector<int64_t> out;
  if (count == 0) return out;
  out.reserve(count);
  DBTable<SEQUENCE_VALUES> values;
  values.SetTableName(values.GetDialect().NextValuesSource(named.GetSequence(), count), false);
  if (values.Select("", "")) {
    while (values.Fetch()) out.push_back(IdOf(values.NEXT_VALUE));
  }
  if (out.size() != count) throw std::runtime_error("Sequence " + named.GetSequence() + " gave too few values");
  return out;
}

// Whether the stored text `text` may match the lookup text `pattern` as a
// LIKE pattern ("%" any run, "_" any one character): never false when the
// database would match them. Backslashes are left out of both sides, since
// the texts the database compares may differ from these in them.
bool MayLikeMatch(std::string_view stored, std::string_view lookup) {
  std::string text;
  std::string pattern;
  for (char c : stored) {
    if (c != '\\') text += c;
  }
  for (char c : lookup) {
    if (c != '\\') pattern += c;
  }
  size_t t = 0;
  size_t p = 0;
  size_t star = std::string::npos;
  size_t resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '%') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && (pattern[p] == '_' || pattern[p] == text[t])) {
      ++t;
      ++p;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '%') ++p;
  return p == pattern.size();
}

}  // namespace

// What a failed batch must undo: the blob files it wrote.
struct ImapMailStorage::BatchState {
  std::vector<std::string> files;
  void RemoveFiles() {
    for (const std::string& file : files) KAVRO::DeleteFile(file);
    files.clear();
  }
};

int32_t ImapMailStorage::StoreBatch(BatchMail* mails, size_t count, int64_t user_id,
                                    int64_t company_id, size_t* taken) {
  *taken = 0;
  BatchState state;
  try {
    const int32_t code = StoreBatchBody(mails, count, user_id, company_id, taken, &state);
    if (code != kImapOk) {
      *taken = 0;
      state.RemoveFiles();
    }
    return code;
  } catch (const std::runtime_error& e) {
    *taken = 0;
    const int32_t code = OracleError("StoreBatch", e);
    state.RemoveFiles();
    return code;
  }
}

int32_t ImapMailStorage::StoreBatchBody(BatchMail* mails, size_t count, int64_t user_id,
                                        int64_t company_id, size_t* taken, BatchState* state) {
  if (user_id == 0 || company_id == 0) return kImapOk;  // the per-mail way refuses it
  // What each mail is: its header summary, the text its lookup matches
  // with, its folder, and where its message comes from.
  struct Pending {
    HeaderSummary summary;
    std::string lookup;
    int64_t folder_id = 0;
    MessageReference message;  // a stored copy, or the new message
    size_t same_as = SIZE_MAX;  // an earlier mail of the batch whose message it links
    std::vector<BodyPartRow> parts;
  };
  std::vector<Pending> pending;
  std::map<std::u16string, int64_t> folders;  // the batch's folders, as given
  size_t k = 0;
  for (; k < count; ++k) {
    const BatchMail& m = mails[k];
    if (m.bytes == nullptr || m.length == 0) break;
    Mime::MimeMessage mail;
    if (ByteStream::ParseMail(m.bytes, m.length, mail) != kImapOk) break;
    auto folder = folders.find(m.folder);
    if (folder == folders.end()) {
      const std::u16string name = StoredFolderPath(m.folder);
      ImapFolder found;
      if (name.empty() || GetImapFolderBody(name, user_id, company_id, &found) != kImapOk) break;
      const uint32_t rights = GetFolderRights(use_views_, static_cast<uint64_t>(user_id),
                                              static_cast<uint64_t>(company_id),
                                              static_cast<uint64_t>(found.folder_id));
      if ((rights & kRightInsert) == 0) break;
      folder = folders.emplace(m.folder, found.folder_id).first;
    }
    Pending p;
    p.summary = MakeHeaderSummary(mail);
    p.lookup = mail.GetFieldBody("Message-ID");
    p.folder_id = folder->second;
    pending.push_back(std::move(p));
  }
  *taken = 0;
  if (k == 0) return kImapOk;

  // Stored copies, found as the per-mail lookup finds them: one query for
  // the whole batch, a union of the per-mail conditions. The same query asks
  // the database whether a mail would find the message an earlier mail of
  // the batch stores, with the stored text as the per-mail path writes it
  // and the lookup's own LIKE pattern, for the pairs that can match at all.
  const char* join = use_views_ ? kMessageAndSizeViews : kMessageAndSizeTables;
  std::vector<std::pair<int64_t, int64_t>> found(k, {0, 0});  // message, blob
  std::vector<std::vector<size_t>> earlier(k);  // batch mails a mail's lookup finds
  {
    DBTable<CONTENT_MATCH> match;
    const Dialect& dialect = match.GetDialect();
    std::vector<std::string> stored_literal(k);
    for (size_t j = 0; j < k; ++j) {
      if (!pending[j].summary.message_id) continue;
      DBTable<NV_IMAPMESSAGE> literal;
      literal.SetValue("IMM_MESSAGEID", *pending[j].summary.message_id, false);
      const std::string text = literal.InsertText();
      const size_t open = text.find(") VALUES (") + 10;
      stored_literal[j] = text.substr(open, text.size() - open - 1);
    }
    std::string source = "(";
    for (size_t i = 0; i < k; ++i) {
      const std::string condition =
          ContentLookupCondition(dialect, pending[i].lookup, mails[i].length);
      if (i > 0) source += " UNION ALL ";
      source += "SELECT " + UDec(i) +
                " AS ITEM_NO, IMM.IMM_IMAPMESSAGEID, IMM.FIS_FILESTORAGEID FROM " + join +
                " WHERE " + condition;
      const std::string like = condition.substr(
          condition.find(" LIKE "), condition.find(" AND FIS_SIZE = ") - condition.find(" LIKE "));
      for (size_t j = 0; j < i; ++j) {
        if (mails[j].length != mails[i].length || stored_literal[j].empty() ||
            !MayLikeMatch(*pending[j].summary.message_id, pending[i].lookup)) {
          continue;
        }
        source += " UNION ALL SELECT " + UDec(i) + " AS ITEM_NO, -" + UDec(j + 1) +
                  " AS IMM_IMAPMESSAGEID, 0 AS FIS_FILESTORAGEID" + dialect.FromNoTable() +
                  " WHERE " + stored_literal[j] + like;
      }
    }
    source += ") M";
    match.SetTableName(source, false);
    if (match.Select("", "")) {
      while (match.Fetch()) {
        const auto i = static_cast<size_t>(IdOf(match.ITEM_NO));
        const int64_t message = IdOf(match.IMM_IMAPMESSAGEID);
        if (i >= k) continue;
        if (message < 0) {
          earlier[i].push_back(static_cast<size_t>(-message - 1));
        } else if (found[i].first == 0) {
          found[i] = {message, IdOf(match.FIS_FILESTORAGEID)};
        }
      }
    }
  }
  for (size_t i = 0; i < k; ++i) {
    if (found[i].first == 0) continue;
    // As the per-mail lookup: a copy whose blob cannot be opened is none.
    KAVRO::MMFile mapping;
    if (GetBlob(found[i].second, use_views_, &mapping) == 0) {
      pending[i].message = {found[i].second, found[i].first, mails[i].length};
    }
    mapping.Close();
  }
  std::vector<size_t> fresh;
  for (size_t i = 0; i < k; ++i) {
    if (pending[i].message.imap_message_id != 0) continue;
    std::sort(earlier[i].begin(), earlier[i].end());
    for (size_t j : earlier[i]) {
      if (pending[j].message.imap_message_id == 0 && pending[j].same_as == SIZE_MAX) {
        pending[i].same_as = j;
        break;
      }
    }
    if (pending[i].same_as == SIZE_MAX) fresh.push_back(i);
  }

  // Identifiers for the new messages, their blobs and body parts.
  DBTable<NS_FILESTORAGE> records;
  records.SetTableName(use_views_ ? "NV_FILESTORAGE" : "NS_FILESTORAGE", true);
  DBTable<NV_IMAPMESSAGE> messages;
  if (!use_views_) messages.SetTableName("NS_IMAPMESSAGE", true);
  DBTable<NV_IMAPBODYPART> parts;
  if (!use_views_) parts.SetTableName("NS_IMAPBODYPART", true);
  DBTable<NV_IMAPMSGINFOLDER> links;
  if (!use_views_) links.SetTableName("NS_IMAPMSGINFOLDER", true);

  const std::vector<int64_t> blob_ids = DrawSequence(records, fresh.size());
  const std::vector<int64_t> message_ids = DrawSequence(messages, fresh.size());
  size_t part_count = 0;
  for (size_t n = 0; n < fresh.size(); ++n) {
    Pending& p = pending[fresh[n]];
    p.message = {blob_ids[n], message_ids[n] + vessel_id_ * kVesselIdFactor,
                 mails[fresh[n]].length};
    // Temporary numbers (1, 2, ... over the batch) until the real ones are
    // drawn; children carry them as their parent.
    const BodyPartSink sink = [&](BodyPartRow& row) {
      row.id = static_cast<int64_t>(++part_count);
      p.parts.push_back(row);
      return true;
    };
    if (!ScanBodyStructure(std::string_view(mails[fresh[n]].bytes, mails[fresh[n]].length), 0, 0,
                           p.message.imap_message_id, sink)) {
      return kImapUnableToParseMail;
    }
  }
  const std::vector<int64_t> part_ids = DrawSequence(parts, part_count);

  // Blob files, each written and synced before any record names it.
  std::vector<std::pair<std::string, int64_t>> places(fresh.size());  // location, host
  for (size_t n = 0; n < fresh.size(); ++n) {
    const BatchMail& m = mails[fresh[n]];
    BlobSource source;
    source.data = m.bytes;
    source.length = m.length;
    std::string host_path;
    BlobUtils blob(use_views_);
    const int32_t code = blob.StoreInBestStorage(blob_ids[n], source, &places[n].first,
                                                 &host_path, &places[n].second);
    if (code != kBlobOk) return code;
    state->files.push_back(host_path + places[n].first);
  }

  ManualCommit transaction;
  {
    // The folders stay locked until the commit: a writer into them waits, so
    // no UID of theirs commits above one of ours that is still to commit.
    std::string ids;
    for (const auto& [name, id] : folders) ids += (ids.empty() ? "" : ", ") + Dec(id);
    LockFolders(use_views_, ids);
  }
  {
    RowBatch batch(&records);
    const int32_t creator = use_views_ ? kBlobCreatorViews : kBlobCreatorTables;
    const int32_t type = use_views_ ? kBlobFileTypeViews : kBlobFileTypeTables;
    for (size_t n = 0; n < fresh.size(); ++n) {
      BlobUtils::SetRecordValues(records, blob_ids[n], creator, places[n].first,
                                 mails[fresh[n]].length, type, places[n].second);
      batch.Add();
    }
    batch.Flush();
  }
  {
    RowBatch batch(&messages);
    for (size_t i : fresh) {
      SetMessageValues(messages, pending[i].summary, pending[i].message.imap_message_id,
                       pending[i].message.file_storage_id, true);
      batch.Add();
    }
    batch.Flush();
  }
  {
    RowBatch batch(&parts);
    for (size_t i : fresh) {
      for (BodyPartRow& row : pending[i].parts) {
        row.id = part_ids[static_cast<size_t>(row.id) - 1];
        if (row.parent_id != 0) row.parent_id = part_ids[static_cast<size_t>(row.parent_id) - 1];
        SetBodyPartValues(parts, row, true);
        batch.Add();
      }
    }
    batch.Flush();
  }
  {
    RowBatch batch(&links);
    const std::string next_link = links.SequenceNextValueSql();
    for (size_t i = 0; i < k; ++i) {
      const Pending& p = pending[i];
      const MessageReference& message =
          p.same_as == SIZE_MAX ? p.message : pending[p.same_as].message;
      SetLinkValues(links, next_link, p.folder_id, message.imap_message_id, mails[i].flags,
                    mails[i].internal_date, 0, true);
      batch.Add();
    }
    batch.Flush();
  }
  // The UIDs the links drew, read while the folders are still held: each
  // folder's newest links are the batch's, in mail order. A link that does
  // not hold the expected message leaves every UID of its folder unknown (0).
  std::map<int64_t, std::vector<size_t>> by_folder;
  for (size_t i = 0; i < k; ++i) by_folder[pending[i].folder_id].push_back(i);
  std::vector<uint32_t> uids(k, 0);
  for (const auto& [folder_id, members] : by_folder) {
    DBTable<NV_IMAPMSGINFOLDER> drawn;
    if (!use_views_) drawn.SetTableName("NS_IMAPMSGINFOLDER", true);
    const std::string folder = Dec(folder_id);
    if (!drawn.Select("IMF_IMAPFOLDERID = " + folder + " AND MIF_UID > (SELECT MAX(MIF_UID) FROM " +
                          drawn.GetTableName() + " WHERE IMF_IMAPFOLDERID = " + folder + ") - " +
                          UDec(members.size()),
                      "MIF_UID")) {
      continue;
    }
    std::vector<uint32_t> found;
    for (size_t j = 0; drawn.Fetch(); ++j) {
      const size_t i = j < members.size() ? members[j] : SIZE_MAX;
      const MessageReference& message =
          i == SIZE_MAX ? MessageReference{}
          : pending[i].same_as == SIZE_MAX ? pending[i].message
                                           : pending[pending[i].same_as].message;
      if (i != SIZE_MAX && IdOf(drawn.IMM_IMAPMESSAGEID) == message.imap_message_id) {
        found.push_back(static_cast<uint32_t>(drawn.MIF_UID));
      }
    }
    if (found.size() != members.size()) continue;
    for (size_t j = 0; j < members.size(); ++j) uids[members[j]] = found[j];
  }

  // From here the blob files stay whatever happens: a commit that reports
  // failure may still have reached the server.
  state->files.clear();
  transaction.Commit();

  for (size_t i = 0; i < k; ++i) {
    mails[i].stored_new = false;
    mails[i].link = LinkResult{};
    mails[i].link.folder_id = pending[i].folder_id;
    mails[i].link.uid = uids[i];
  }
  for (size_t i : fresh) mails[i].stored_new = true;
  *taken = k;
  return kImapOk;
}

// ---------------------------------------------------------------------------
// Conditions

std::string ContentLookupCondition(const Dialect& dialect, const std::string& message_id,
                                   uint32_t size) {
  return "IMM_MESSAGEID LIKE '" + dialect.LikeText(DoubleQuotes(message_id)) +
         "' AND FIS_SIZE = " + UDec(size) +
         " AND FIS_DELETED IS NULL AND FIS_LOCATION IS NOT NULL AND FSH_FILESTORAGEHOSTID IS "
         "NOT NULL";
}

std::string FindMessageCondition(const Dialect& dialect, const std::string& message_id,
                                 uint32_t size) {
  return "IMM_MESSAGEID LIKE '" + dialect.LikeText(DoubleQuotes(message_id)) +
         "' AND FIS_SIZE = " + UDec(size);
}

std::u16string SubscriptionCondition(const Dialect& dialect, const std::u16string& name,
                                     int64_t user_id) {
  if (name.empty() || user_id == 0) throw std::runtime_error("Invalid input");
  return u"LOWER(IMF_SUBSCRIPTIONNAME) LIKE LOWER('" + dialect.LikeText(DoubleQuotes(name)) +
         u"') AND USR_USERID = " + Wide(Dec(user_id));
}

std::string SharedFoldersCondition(int64_t user_id, int64_t company_id) {
  const std::string user = Dec(user_id);
  return "USR_USERID <> " + user +
         " AND ( IMF_IMAPFOLDERID IN (SELECT IMF_IMAPFOLDERID FROM NV_IMAPFOLDERACCESS WHERE ( "
         "USR_USERID = " +
         user +
         " OR USG_USERGROUPID IN (SELECT USG_USERGROUPID FROM NV_USERGROUPMEMBER WHERE "
         "USR_USERID = " +
         user + ") OR ( USR_USERID IS NULL AND USG_USERGROUPID IS NULL AND COM_COMPANYID = " +
         Dec(company_id) + ") ) AND IFA_AR_LOOKUP = 1) )";
}

}  // namespace Nauvik::IMAP
