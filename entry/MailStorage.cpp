// The two functions the library exports. Everything a call needs (its
// logger, its store object) is the call's own while it runs; the calling
// thread's database connection outlives it, until CloseDatabase, and so does
// the logger's thread, parked between calls.

#include "entry/MailStorage.h"

#include "db/ConnectionManager.h"
#include "entry/AddMailCall.h"
#include "entry/LoggedCall.h"
#include "entry/VersionNote.h"
#include "foundation/ResultCodes.h"
#include "imap/ImapMailStorage.h"

namespace {

MAILSTORAGE_VERSION_NOTE(MAILSTORAGE_VERSION);

// The public header spells the result codes for C hosts; they must stay the
// store's own.
static_assert(MAILSTORAGE_OK == Nauvik::IMAP::kImapOk);
static_assert(MAILSTORAGE_UNKNOWN_ERROR == Nauvik::IMAP::kImapUnknownError);
static_assert(MAILSTORAGE_DATABASE_ERROR == Nauvik::IMAP::kImapOracleError);
static_assert(MAILSTORAGE_FILE_NOT_FOUND == Nauvik::IMAP::kImapFileNotFound);
static_assert(MAILSTORAGE_EMPTY_MAIL == Nauvik::IMAP::kImapEmptyMail);
static_assert(MAILSTORAGE_INVALID_MAIL_CONTENT == Nauvik::IMAP::kImapInvalidMailContent);
static_assert(MAILSTORAGE_MAIL_NOT_FOUND == Nauvik::IMAP::kImapMailNotFound);
static_assert(MAILSTORAGE_MAIL_ALREADY_EXISTS == Nauvik::IMAP::kImapMailAlreadyExists);
static_assert(MAILSTORAGE_UNABLE_TO_PARSE_MAIL == Nauvik::IMAP::kImapUnableToParseMail);
static_assert(MAILSTORAGE_MAIL_TOO_BIG == Nauvik::IMAP::kImapMailTooBig);
static_assert(MAILSTORAGE_USER_DELETED == Nauvik::IMAP::kImapUserDeleted);
static_assert(MAILSTORAGE_INVALID_USER == Nauvik::IMAP::kImapInvalidUser);
static_assert(MAILSTORAGE_QUOTA_EXCEEDED == Nauvik::IMAP::kImapQuotaExceeded);
static_assert(MAILSTORAGE_INVALID_FOLDER == Nauvik::IMAP::kImapInvalidFolder);
static_assert(MAILSTORAGE_LOOPING_FOLDERS == Nauvik::IMAP::kImapLoopingFolders);
static_assert(MAILSTORAGE_FOLDER_NOT_FOUND == Nauvik::IMAP::kImapFolderNotFound);
static_assert(MAILSTORAGE_FOLDER_PARENT_NOT_FOUND == Nauvik::IMAP::kImapFolderParentNotFound);
static_assert(MAILSTORAGE_FOLDER_ALREADY_EXISTS == Nauvik::IMAP::kImapFolderAlreadyExists);
static_assert(MAILSTORAGE_ILLEGAL_FOLDER_NAME == Nauvik::IMAP::kImapIllegalFolderName);
static_assert(MAILSTORAGE_ALREADY_SUBSCRIBED == Nauvik::IMAP::kImapAlreadySubscribed);
static_assert(MAILSTORAGE_NOT_SUBSCRIBED == Nauvik::IMAP::kImapNotSubscribed);
static_assert(MAILSTORAGE_ACCESS_DENIED == Nauvik::IMAP::kImapAccessDenied);
static_assert(MAILSTORAGE_FOLDER_NOT_SELECTABLE == Nauvik::IMAP::kImapFolderNotSelectable);
static_assert(MAILSTORAGE_CANNOT_CREATE_IN_OTHERS_FOLDER ==
              Nauvik::IMAP::kImapCannotCreateInOthersFolder);
static_assert(MAILSTORAGE_INVALID_INPUT == Nauvik::IMAP::kImapInvalidInput);
static_assert(MAILSTORAGE_INVALID_POINTER == Nauvik::IMAP::kImapInvalidPointer);

}  // namespace

extern "C" {

int32_t AddMailToMailStore(const char* mail_file, const char* folder, const char* user_id,
                           const char* company_id, const char* internal_date, bool seen, bool draft,
                           bool use_views) {
  return Nauvik::AddMailCall(mail_file, folder, user_id, company_id, internal_date, seen, draft,
                             use_views);
}

void CloseDatabase(void) {
  try {
    Nauvik::CloseThreadDatabases();
    Nauvik::StopParkedLoggers();
  } catch (...) {
    // Closing is best effort; a C host cannot receive an exception.
  }
}

}  // extern "C"
