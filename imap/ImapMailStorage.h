#pragma once

// The IMAP mail store: message records and duplicate detection, folders with
// their UID sequences, messages in folders (UIDs, flags, internal dates),
// subscriptions and the folder listing with the shared namespace.
//
// An ImapMailStorage object is a thin, single-threaded handle: it holds no
// database handle (connections belong to the calling thread and are owned by
// the connection manager), only the UseViews switch, the vessel ID read at
// construction and the text of the last exception one of its operations
// caught. Every operation returns a result code of foundation/ResultCodes.h;
// a database error inside an operation is logged once at WARNING, kept as the
// last exception text, closes the calling thread's connections (dropping any
// uncommitted work) and becomes kImapOracleError. No std::runtime_error (the
// database layer's exceptions among them) leaves an operation, with two
// deliberate exceptions: InsertMessage and FindMessage are steps of the
// operations that call them and let database errors through to the caller's
// handler; so do the blob wrappers below.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Files.h"
#include "foundation/NTime.h"

namespace Nauvik::IMAP {

// Where a stored mail lives: its blob, its message row and its size.
struct MessageReference {
  int64_t file_storage_id = 0;  // FIS_FILESTORAGEID
  int64_t imap_message_id = 0;  // IMM_IMAPMESSAGEID; 0 while not stored
  uint32_t size = 0;            // FIS_SIZE
};

// One folder as the operations fill and pass it around.
struct ImapFolder {
  int64_t folder_id = 0;
  int64_t parent_id = 0;  // 0: top level
  uint32_t uid_validity = 0;
  std::u16string name;       // u"INBOX" for the inbox, else IMF_FOLDERNAME
  std::u16string full_name;  // filled by the folder listing only
  int64_t owner = 0;
  bool inbox = false;
  bool marked = false;
  bool no_inferiors = false;
  bool no_select = false;
  // Set by the listing only, for a folder whose parent chain loops: it is
  // listed (under a marked name) but GetImapFolder refuses to select it.
  bool listed_only = false;
};

// Folder listing: folder ID to record, each with its full name.
using ImapFolderList = std::map<int64_t, ImapFolder>;

// What LinkMessageToFolder made; all zero until it succeeds.
struct LinkResult {
  int64_t link_id = 0;    // MIF_IMAPMSGINFOLDERID
  uint64_t uid = 0;       // MIF_UID (32 bits used)
  int64_t folder_id = 0;  // IMF_IMAPFOLDERID
};

// One message to link; LinkMessagesToFolder fills `result`.
struct LinkRequest {
  MessageReference message;
  int64_t mail_recipient_id = 0;
  KAVRO::NTime internal_date;
  uint32_t flags = 0;
  LinkResult result;
};

// The requests of one LinkMessagesToFolder call, linked in this order.
using LinkRequestSet = std::vector<LinkRequest>;

// One mail of a batch; StoreBatch fills the last two members of the mails
// it takes.
struct BatchMail {
  const char* bytes = nullptr;  // borrowed; must outlive the call
  uint32_t length = 0;
  std::u16string folder;
  uint32_t flags = 0;
  KAVRO::NTime internal_date;
  bool stored_new = false;  // false: a stored copy (or one of the batch) was linked
  LinkResult link;          // folder ID and UID (0 when it could not be read back)
};

// Bits of the flags word of a message-in-folder row.
inline constexpr uint32_t kFlagAnswered = 0x01;
inline constexpr uint32_t kFlagFlagged = 0x02;
inline constexpr uint32_t kFlagDeleted = 0x04;
inline constexpr uint32_t kFlagSeen = 0x08;
inline constexpr uint32_t kFlagDraft = 0x10;
inline constexpr uint32_t kFlagRecent = 0x20;  // read by no operation

class ImapMailStorage {
 public:
  // Reads the vessel ID (first row of NV_VESSEL). A database error is logged,
  // kept as the last exception text and leaves the vessel ID 0; the object is
  // usable either way. Never throws a std::exception.
  ImapMailStorage();
  virtual ~ImapMailStorage();
  ImapMailStorage(const ImapMailStorage&) = delete;
  ImapMailStorage& operator=(const ImapMailStorage&) = delete;

  virtual void SetUseViews(bool use_views);
  virtual void SetUseTables(bool use_tables);
  [[nodiscard]] virtual bool GetUseViews() const;
  [[nodiscard]] virtual std::string GetLastExceptionText() const;
  // Closes the calling thread's database connections.
  virtual void CloseDatabase();

  // From the stored blob `file_storage_id`.
  [[nodiscard]] virtual int32_t AddMessageToFolder(int64_t file_storage_id,
                                                   int64_t mail_recipient_id,
                                                   const std::u16string& folder, bool create,
                                                   int64_t user_id, int64_t company_id,
                                                   uint32_t flags, KAVRO::NTime internal_date);
  // From a mail file; a missing, unreadable or empty file gives no content
  // and so kImapInvalidInput.
  [[nodiscard]] virtual int32_t AddMessageToFolder(const std::string& mail_path,
                                                   const std::u16string& folder, bool create,
                                                   int64_t user_id, int64_t company_id,
                                                   uint32_t flags, KAVRO::NTime internal_date);
  // From bytes held by the caller (they must outlive the call).
  [[nodiscard]] virtual int32_t AddMessageToFolder(const char* bytes, uint32_t length,
                                                   const std::u16string& folder, bool create,
                                                   int64_t user_id, int64_t company_id,
                                                   uint32_t flags, KAVRO::NTime internal_date,
                                                   int64_t file_storage_id,
                                                   int64_t mail_recipient_id);
  // As above, reporting the new link.
  [[nodiscard]] virtual int32_t AddMessageToFolder(const char* bytes, uint32_t length,
                                                   const std::u16string& folder, bool create,
                                                   int64_t user_id, int64_t company_id,
                                                   uint32_t flags, KAVRO::NTime internal_date,
                                                   LinkResult* link, int64_t file_storage_id,
                                                   int64_t mail_recipient_id);

  // Finds a message linked into some folder by its raw Message-ID text (a
  // LIKE pattern) and size. kImapMailNotFound when there is none.
  [[nodiscard]] virtual int32_t FindMessage(const std::string& message_id, uint32_t size,
                                            MessageReference* out);
  // Stores the mail once (blob, message row, body-part rows in one
  // transaction) or finds the stored copy; fills `ref` either way. Database
  // errors are not caught here: they reach the calling operation's handler.
  [[nodiscard]] virtual int32_t InsertMessage(const char* bytes, uint32_t length,
                                              MessageReference* ref, int64_t file_storage_id);
  [[nodiscard]] virtual int32_t LinkMessagesToFolder(LinkRequestSet* requests,
                                                     const std::u16string& folder, int64_t user_id,
                                                     int64_t company_id);
  [[nodiscard]] virtual int32_t CopyMessage(int64_t link_id, const std::u16string& folder,
                                            int64_t user_id, int64_t company_id);
  // Removes one link, and the message with its blob when no link is left.
  [[nodiscard]] virtual int32_t DeleteMessage(int64_t link_id);

  // Creates the folder and its missing ancestors, each with its UID sequence
  // and every right for the user. kImapFolderAlreadyExists (with `out`
  // filled) when it exists; kImapAccessDenied without the create right on
  // the parent; kImapCannotCreateInOthersFolder when the parent is another
  // user's (shared) folder.
  [[nodiscard]] virtual int32_t CreateImapFolder(const std::u16string& name, int64_t user_id,
                                                 int64_t company_id, ImapFolder* out);
  [[nodiscard]] virtual int32_t GetImapFolder(const std::u16string& name, int64_t user_id,
                                              int64_t company_id, ImapFolder* out);
  [[nodiscard]] virtual int32_t RenameImapFolder(const std::u16string& old_name,
                                                 const std::u16string& new_name, int64_t user_id,
                                                 int64_t company_id);
  [[nodiscard]] virtual int32_t DeleteImapFolder(const std::u16string& name, int64_t user_id,
                                                 int64_t company_id);

  [[nodiscard]] virtual int32_t SubscribeUserToFolder(const std::u16string& name, int64_t user_id);
  [[nodiscard]] virtual int32_t UnsubscribeUserFromFolder(const std::u16string& name,
                                                          int64_t user_id);
  // 0 when subscribed, kImapNotSubscribed when not.
  [[nodiscard]] virtual int32_t IsUserSubscribedToFolder(const std::u16string& name,
                                                         int64_t user_id);
  [[nodiscard]] virtual int32_t GetAllFoldersForUser(int64_t user_id, int64_t company_id,
                                                     ImapFolderList* out);
  [[nodiscard]] virtual int32_t GetAllSubfoldersForUser(int64_t user_id, int64_t company_id,
                                                        const std::u16string& folder,
                                                        ImapFolderList* out);

  [[nodiscard]] virtual int32_t LinkMessageToFolder(const ImapFolder& folder,
                                                    const MessageReference& message, uint32_t flags,
                                                    LinkResult* link, KAVRO::NTime internal_date,
                                                    int64_t mail_recipient_id);
  [[nodiscard]] virtual int32_t SetInternalDate(int64_t link_id, KAVRO::NTime internal_date);
  [[nodiscard]] virtual int32_t SetFlags(int64_t link_id, uint32_t flags, bool set_answered,
                                         bool set_deleted, bool set_draft, bool set_flagged,
                                         bool set_seen);

  // Stores a run of mails of one user as the per-mail AddMessageToFolder
  // (with create) would, one after the other, but with one transaction for
  // the whole run: blob files first (each written and synced), then every
  // row in multi-row INSERTs while the target folders' rows are locked, so
  // that another writer into them waits and the run's UIDs, drawn in mail
  // order, commit together. Takes mails from the front and stops before the
  // first that needs the per-mail operation (no bytes, unparsable, a folder
  // that does not exist or cannot be selected, no insert right): *taken says
  // how many it stored; 0 means the first mail needs the per-mail way.
  // Another code means nothing of the run was stored (its blob files are
  // removed); the caller then replays the mails one at a time.
  [[nodiscard]] virtual int32_t StoreBatch(BatchMail* mails, size_t count, int64_t user_id,
                                           int64_t company_id, size_t* taken);

  [[nodiscard]] int64_t VesselId() const { return vessel_id_; }

 private:
  // The handler every operation ends in: WARNING line, last exception text,
  // the thread's connections closed; returns kImapOracleError.
  int32_t OracleError(std::string_view operation, const std::exception& e);

  int32_t AddMessageToFolderBody(const char* bytes, uint32_t length, const std::u16string& folder,
                                 bool create, int64_t user_id, int64_t company_id, uint32_t flags,
                                 const KAVRO::NTime& internal_date, LinkResult* link,
                                 int64_t file_storage_id, int64_t mail_recipient_id);
  int32_t CreateImapFolderBody(const std::u16string& name, int64_t user_id, int64_t company_id,
                               ImapFolder* out);
  int32_t GetImapFolderBody(const std::u16string& name, int64_t user_id, int64_t company_id,
                            ImapFolder* out);
  int32_t DeleteMessageBody(int64_t link_id);
  int32_t RemoveFolderLinks(const ImapFolder& folder, int64_t user_id, int64_t company_id);
  int32_t LinkMessagesBody(LinkRequestSet* requests, const std::u16string& folder, int64_t user_id,
                           int64_t company_id);
  struct BatchState;
  int32_t StoreBatchBody(BatchMail* mails, size_t count, int64_t user_id, int64_t company_id,
                         size_t* taken, BatchState* state);
  int32_t ReadSharedFolders(int64_t user_id, int64_t company_id, ImapFolderList* out);

  bool use_views_ = true;
  int64_t vessel_id_ = 0;
  std::string last_exception_text_;
};

// Blob wrappers of the store. Each builds a short-lived BlobUtils for the
// UseViews flag and returns its code (below 1000) unchanged.
// Stores `length` bytes as a new blob; fills ref->file_storage_id.
[[nodiscard]] int32_t CreateBlob(const char* bytes, uint32_t length, MessageReference* ref,
                                 bool use_views);
// Maps the blob of `file_storage_id` for reading.
[[nodiscard]] int32_t GetBlob(int64_t file_storage_id, bool use_views, KAVRO::MMFile* out);
// Removes a blob no message row uses any more: 0, kImapMailAlreadyExists when
// one still does, or the blob storage's code. Removes nothing on base tables.
[[nodiscard]] int32_t DeleteBlob(bool use_views, int64_t file_storage_id);

}  // namespace Nauvik::IMAP
